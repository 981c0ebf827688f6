#include "brokerprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <pwd.h>
#include <unistd.h>

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

namespace {

// Started as root, mosquitto takes on another user unless told to stay who started it: it then
// reads the test's files (TLS keys in a private folder) as the test does.
QString currentUser()
{
    const passwd *pw = ::getpwuid(::geteuid());
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QStringLiteral("root");
}

} // namespace

BrokerProcess::BrokerProcess()
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

BrokerProcess::~BrokerProcess()
{
    stop();
}

bool BrokerProcess::start(const QStringList &listenerLines, bool samePort, int timeoutMs)
{
    // A port found free may be taken by another test before the broker binds it: a few tries.
    for (int attempt = 0; attempt < 3; ++attempt) {
        stop();
        if (!samePort || port_ == 0)
            port_ = freeLoopbackPort();
        if (port_ != 0 && startOnPort(listenerLines, timeoutMs))
            return true;
        if (samePort)
            return false;
    }
    return false;
}

bool BrokerProcess::startOnPort(const QStringList &listenerLines, int timeoutMs)
{
    QFile config(dir_.filePath(QStringLiteral("broker.conf")));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const QStringList persistence =
        keepState_ ? QStringList{"persistence true",
                                 "persistence_location " + dir_.path() + QLatin1Char('/')}
                   : QStringList{"persistence false"};
    const QStringList lines = QStringList{QStringLiteral("listener %1 127.0.0.1").arg(port_)} +
                              listenerLines + persistence +
                              QStringList{"allow_anonymous true", "user " + currentUser(),
                                          "log_dest stderr", "log_type error"};
    config.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    config.close();
    process_.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), config.fileName()});
    return process_.waitForStarted(timeoutMs) && accepting(timeoutMs);
}

bool BrokerProcess::accepting(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && process_.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port_);
        if (probe.waitForConnected(200))
            return true;
        QThread::msleep(20);
    }
    return false;
}

void BrokerProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(3000)) {
        process_.kill();
        process_.waitForFinished(3000);
    }
}

SubscriberProcess::SubscriberProcess()
{
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

SubscriberProcess::~SubscriberProcess()
{
    stop();
}

bool SubscriberProcess::start(quint16 port, const QString &pattern, const QStringList &extra)
{
    lines_.clear();
    // -d prints the SUBACK, which tells the subscription is in place.
    // Line-buffered (stdbuf): into a pipe its output would otherwise wait in a full buffer, the
    // SUBACK line too.
    process_.start(QStringLiteral("stdbuf"),
                   QStringList{"-oL", "mosquitto_sub", "-V", "5", "-h", "127.0.0.1", "-p",
                               QString::number(port), "-t", pattern, "-d", "-F", "%t %r %D %p"} +
                       extra);
    if (!process_.waitForStarted(3000))
        return false;
    return !waitFor(QStringLiteral("SUBACK"), 5000).isEmpty();
}

void SubscriberProcess::stop()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.kill();
    process_.waitForFinished(3000);
}

void SubscriberProcess::take()
{
    while (process_.canReadLine())
        lines_ << QString::fromUtf8(process_.readLine()).trimmed();
}

QStringList SubscriberProcess::lines()
{
    take();
    return lines_;
}

QString SubscriberProcess::waitFor(const QString &expression, int timeoutMs, int from)
{
    const QRegularExpression re(expression);
    QDeadlineTimer deadline(timeoutMs);
    for (int seen = from;;) {
        take();
        for (; seen < lines_.size(); ++seen) {
            if (re.match(lines_[seen]).hasMatch())
                return lines_[seen];
        }
        if (deadline.hasExpired() || process_.state() != QProcess::Running)
            return QString();
        process_.waitForReadyRead(int(qBound<qint64>(1, deadline.remainingTime(), 100)));
    }
}
