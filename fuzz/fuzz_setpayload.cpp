// Write request payloads as they come from the broker: one JSON value or a list of them, turned
// into element texts. Whatever the bytes, the parse ends with elements or a refusal; elements
// written back as JSON texts (as the gateway publishes texts) parse to the same elements, every
// character kept; and the write check of each type takes or refuses them without harm.
//
// Input: a type code (8 bits), the payload.

#include "fuzzsupport.h"
#include "recordformat.h"
#include "setpayload.h"
#include "writevalues.h"

#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    const int type = in.u8() % 14;
    const QByteArray payload = in.rest();
    QStringList texts;
    const QString why = setPayloadElements(payload, &texts);
    static const QSet<QString> refusals = {
        QStringLiteral("the payload is not one JSON value or list"),
        QStringLiteral("elements are numbers, true, false or texts")};
    FUZZ_CHECK(why.isEmpty() || refusals.contains(why), why);
    if (!why.isEmpty())
        return 0;

    QStringList quoted;
    for (const QString &t : qAsConst(texts))
        quoted << recordformat::jsonString(t);
    QStringList again;
    const QByteArray asTexts = ('[' + quoted.join(QLatin1Char(',')) + ']').toUtf8();
    FUZZ_CHECK(setPayloadElements(asTexts, &again).isEmpty() && again == texts,
               QString::fromUtf8(asTexts.left(200)));

    QVariant typed;
    writePayload(type, texts, &typed);
    return 0;
}
