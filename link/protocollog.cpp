#include "protocollog.h"

#include <QByteArray>
#include <QDebug>
#include <QHostAddress>

namespace protocollog {

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
