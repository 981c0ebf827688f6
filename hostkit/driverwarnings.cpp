#include "driverwarnings.h"

#include "protocollog.h"

#include <QRegularExpression>

#include <array>

namespace driverwarnings {
namespace {

// What each of the library's warning lines reports, told by a piece of its text: the kind it is
// counted as, and the line in English for the reader of the log.
struct Kind
{
    const char *marker;
    const char *words;
    const char *english;
};
constexpr std::array<Kind, 7> kinds = {{
    {protocollog::wrongSequenceMarker, "answers with wrong sequence bytes",
     "the sequence number returned is wrong: the answer does not repeat the request's first two "
     "bytes; the read fails with 8"},
    {protocollog::noAnswerMarker, "no answer within the wait",
     "the message returned has length 0: no answer within the wait; the read fails with 8"},
    {protocollog::shortMarker, "answers shorter than the request asked for",
     "the message returned is too short: fewer bytes than the request asked for; the read fails "
     "with 8"},
    {protocollog::trailingMarker, "answers followed by more bytes on the line",
     "more bytes came right after a complete answer (another talker, an echo); the read fails "
     "with 8"},
    {protocollog::foreignSummaryMarker, "datagrams from other senders dropped",
     "datagrams from other addresses than the device's were dropped"},
    {protocollog::foreignMarker, "datagrams from other senders dropped",
     "a datagram from another address than the device's was dropped; the wait goes on"},
    {protocollog::socketErrorMarker, "socket errors",
     "the UDP socket reported this error when it closed"},
}};

const Kind *kindFor(const QString &line)
{
    for (const Kind &k : kinds) {
        if (line.contains(QString::fromUtf8(k.marker)))
            return &k;
    }
    return nullptr;
}

} // namespace

QString english(const QString &line, const QString &serialPort)
{
    const Kind *k = kindFor(line);
    if (!k)
        return QString();
    // The serial port's name goes where the library's line shows only ":0".
    static const QRegularExpression noEndpoint(QStringLiteral("(^|[\\s\\]\"]):0\\s"));
    const bool unnamed = !serialPort.isEmpty() && noEndpoint.match(line).hasMatch();
    return QString::fromUtf8(k->english) +
           (unnamed ? QStringLiteral(" (serial port %1)").arg(serialPort) : QString());
}

QString kindOf(const QString &line)
{
    const Kind *k = kindFor(line);
    return k ? QString::fromUtf8(k->words) : QStringLiteral("other warnings");
}

} // namespace driverwarnings
