#include "protocollog.h"

#include <QByteArray>
#include <QDebug>
#include <QHostAddress>

#include <iterator>

namespace protocollog {
namespace {

constexpr char lineTail[] = " %1:%2  %3 len = %4 msg : %5";
constexpr auto missingFormat = joined("lib[Tarvik]", noAnswerMarker, lineTail);
constexpr auto notTrustedFormat =
    joined("lib[Tarvik]%1:%2  %3 len = %4 ", trailingMarker, ", line drained msg : %5");
constexpr auto wrongSequenceFormat = joined("lib[Tarvik]", wrongSequenceMarker, lineTail);
constexpr auto shortFormat = joined("lib[Tarvik]", shortMarker, lineTail);

// Indexed by frame::AnswerFault, whose last fault is Short.
constexpr const char *faultFormats[] = {
    nullptr,
    missingFormat.data(),
    notTrustedFormat.data(),
    wrongSequenceFormat.data(),
    shortFormat.data(),
};
static_assert(std::size(faultFormats) == size_t(frame::AnswerFault::Short) + 1,
              "one format for each fault of a read answer");

} // namespace

const char *answerFaultFormat(frame::AnswerFault fault)
{
    return faultFormats[size_t(fault)];
}

QString line(const char *format, const QHostAddress &peer, int port, const QString &tag, int length,
             const QByteArray &bytes)
{
    return QString::fromUtf8(format)
        .arg(peer.toString(), 0, QLatin1Char(' '))
        .arg(port, 0, 10, QLatin1Char(' '))
        .arg(tag, 0, QLatin1Char(' '))
        .arg(length, 0, 10, QLatin1Char(' '))
        .arg(QString::fromLatin1(bytes.toHex()), 0, QLatin1Char(' '));
}

QString peerHead(const QHostAddress &peer, int port)
{
    return QStringLiteral("lib[Tarvik]%1:%2 ")
        .arg(peer.toString(), 0, QLatin1Char(' '))
        .arg(port, 0, 10, QLatin1Char(' '));
}

void warnLine(const QString &text)
{
    qWarning() << text;
}

void warnLine(const QString &text, QAbstractSocket::SocketError error)
{
    qWarning() << text << error;
}

void traceLine(const QString &text)
{
    qDebug() << text;
}

} // namespace protocollog
