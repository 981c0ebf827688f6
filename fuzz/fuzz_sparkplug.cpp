// Sparkplug B payloads as they come from the broker (a host's commands). Whatever the bytes, the
// decode ends with a payload or a refusal, within the bounds it sets; a payload it takes encodes
// again, and those bytes decode to a payload that encodes to the same bytes.
//
// Input: the payload.

#include "fuzzsupport.h"
#include "sparkplugpayload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    SparkplugPayload payload;
    QString why;
    if (!sparkplug::decode(bytes, &payload, &why)) {
        FUZZ_CHECK(!why.isEmpty() && payload.metrics.empty(), why);
        return 0;
    }
    const QByteArray again = sparkplug::encode(payload);
    // Only a payload with nothing in it encodes to no bytes.
    FUZZ_CHECK(!again.isEmpty() ||
                   (payload.metrics.empty() && !payload.seq && !payload.timestampMs),
               QStringLiteral("a decoded payload does not encode"));
    SparkplugPayload back;
    FUZZ_CHECK(sparkplug::decode(again, &back, &why), why);
    FUZZ_CHECK(back.metrics.size() == payload.metrics.size(), QStringLiteral("metrics lost"));
    FUZZ_CHECK(sparkplug::encode(back) == again, QString::fromLatin1(again.toHex().left(200)));
    for (const SparkplugMetric &m : back.metrics) {
        QStringList texts;
        sparkplug::writeTexts(m, &texts);
    }
    return 0;
}
