#include "simprocess.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QRegularExpression>
#include <QThread>
#include <QUdpSocket>

#ifndef TARVIK_SIM_PATH
#error "TARVIK_SIM_PATH must name the simulator executable"
#endif

namespace {

// "udp 127.0.0.1:700" or "udp [::1]:700": the port follows the last colon.
quint16 portOf(const QString &endpoint)
{
    return quint16(endpoint.mid(endpoint.lastIndexOf(QLatin1Char(':')) + 1).toUInt());
}

QString hostOf(const QString &endpoint)
{
    QString host = endpoint.left(endpoint.lastIndexOf(QLatin1Char(':')));
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    return host;
}

} // namespace

SimProcess::SimProcess()
{
    // The simulator's log lands next to the test's own output.
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SimProcess::~SimProcess()
{
    stop();
}

bool SimProcess::start(const QStringList &args, int timeoutMs)
{
    stop();
    udpPort_ = controlPort_ = 0;
    udpPorts_.clear();
    ptyPath_.clear();
    ready_ = false;

    QStringList all{QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--control-port"),
                    QStringLiteral("0")};
    all += args;
    process_.start(QStringLiteral(TARVIK_SIM_PATH), all);
    if (!process_.waitForStarted(timeoutMs))
        return false;
    if (readAnnouncements(timeoutMs))
        return true;
    stop();
    return false;
}

bool SimProcess::readAnnouncements(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!ready_) {
        while (!ready_ && process_.canReadLine())
            takeAnnouncement(QString::fromUtf8(process_.readLine()).trimmed());
        if (ready_)
            break;
        if (process_.state() != QProcess::Running || deadline.hasExpired())
            return false;
        process_.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 100)));
    }
    return true;
}

void SimProcess::takeAnnouncement(const QString &line)
{
    const QString what = line.section(QLatin1Char(' '), 0, 0);
    const QString rest = line.section(QLatin1Char(' '), 1);
    if (what == QLatin1String("udp")) {
        udpPorts_ << portOf(rest);
        udpPort_ = udpPorts_.first();
    } else if (what == QLatin1String("control")) {
        controlPort_ = portOf(rest);
        host_ = hostOf(rest);
    } else if (what == QLatin1String("pty")) {
        ptyPath_ = rest;
    } else if (what == QLatin1String("ready")) {
        ready_ = true;
    }
}

void SimProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(2000);
    }
}

QString SimProcess::udpConnectionString() const
{
    return QStringLiteral("%1:%2").arg(host_).arg(udpPort_);
}

QStringList SimProcess::udpConnectionStrings() const
{
    QStringList strings;
    for (const quint16 port : udpPorts_)
        strings << QStringLiteral("%1:%2").arg(host_).arg(port);
    return strings;
}

QString SimProcess::serialConnectionString(int baud) const
{
    return QStringLiteral("%1,%2,8,1").arg(ptyPath_).arg(baud);
}

QString SimProcess::control(const QString &command, int timeoutMs)
{
    const QHostAddress host(host_);
    QUdpSocket socket;
    if (!socket.bind(host, 0))
        return {};
    const QByteArray text = command.toUtf8();
    if (socket.writeDatagram(text, host, controlPort_) != text.size())
        return {};

    QDeadlineTimer deadline(timeoutMs);
    while (!socket.hasPendingDatagrams()) {
        if (deadline.hasExpired())
            return {};
        socket.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 100)));
    }
    QByteArray reply(int(qMax<qint64>(0, socket.pendingDatagramSize())), Qt::Uninitialized);
    const qint64 got = socket.readDatagram(reply.data(), reply.size());
    return QString::fromUtf8(reply.left(int(qMax<qint64>(0, got))));
}

bool SimProcess::awaitRepeatsSent(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (control(QStringLiteral("repeats")) != QLatin1String("ok due=0")) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(2);
    }
    return true;
}

int SimProcess::requestsSeen()
{
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("requests=(\\d+)"))
                                          .match(control(QStringLiteral("stats")));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}
