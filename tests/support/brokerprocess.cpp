#include "brokerprocess.h"

#include <QDeadlineTimer>
#include <QDir>
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

bool TestBroker::nats()
{
    return qEnvironmentVariable("TARVIK_TEST_BROKER") == QLatin1String("nats");
}

bool TestBroker::mqtt5()
{
    return qEnvironmentVariable("TARVIK_TEST_BROKER").isEmpty();
}

QStringList TestBroker::versionArguments()
{
    return {QStringLiteral("-V"), mqtt5() ? QStringLiteral("5") : QStringLiteral("311")};
}

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
    const QString config = dir_.filePath(QStringLiteral("broker.conf"));
    if (TestBroker::nats() ? !writeNatsConfig(config)
                           : !writeMosquittoConfig(config, listenerLines))
        return false;
    if (TestBroker::nats())
        process_.start(QStringLiteral("nats-server"), {QStringLiteral("-c"), config});
    else
        process_.start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), config});
    return process_.waitForStarted(timeoutMs) && accepting(timeoutMs);
}

bool BrokerProcess::writeMosquittoConfig(const QString &path, const QStringList &listenerLines)
{
    QFile config(path);
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
    return config.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n') > 0;
}

// nats-server keeps retained messages and sessions in JetStream, in a store of its own: emptied
// at a start unless the state is kept. Its client port is another free one.
bool BrokerProcess::writeNatsConfig(const QString &path)
{
    const QString store = dir_.filePath(QStringLiteral("jetstream"));
    if (!keepState_)
        QDir(store).removeRecursively();
    QFile config(path);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // Its notices go to a file of its own; errors too, which the test does not need to see.
    const QString text = QStringLiteral("server_name: test\nlisten: 127.0.0.1:%1\n"
                                        "jetstream { store_dir: \"%2\" }\n"
                                        "mqtt { listen: 127.0.0.1:%3 }\nlog_file: \"%4\"\n")
                             .arg(freeLoopbackPort())
                             .arg(store)
                             .arg(port_)
                             .arg(dir_.filePath(QStringLiteral("nats.log")));
    return config.write(text.toUtf8()) > 0;
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

NatsCluster::~NatsCluster()
{
    for (int i = 0; i < int(nodes_.size()); ++i)
        kill(i);
}

bool NatsCluster::start(int nodes, int timeoutMs)
{
    QVector<quint16> routePorts;
    for (int i = 0; i < nodes; ++i) {
        routePorts << freeLoopbackPort();
        mqttPorts_ << freeLoopbackPort();
    }
    QStringList routes;
    for (const quint16 port : routePorts)
        routes << QStringLiteral("nats-route://127.0.0.1:%1").arg(port);
    for (int i = 0; i < nodes; ++i) {
        const QString name = QStringLiteral("n%1").arg(i + 1);
        QFile config(dir_.filePath(name + QStringLiteral(".conf")));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        config.write(QStringLiteral("server_name: %1\nlisten: 127.0.0.1:%2\n"
                                    "jetstream { store_dir: \"%3\" }\n"
                                    "mqtt { listen: 127.0.0.1:%4 }\n"
                                    "cluster { name: test; listen: 127.0.0.1:%5; routes: [%6] }\n"
                                    "log_file: \"%7\"\n")
                         .arg(name)
                         .arg(freeLoopbackPort())
                         .arg(dir_.filePath(name))
                         .arg(mqttPorts_[i])
                         .arg(routePorts[i])
                         .arg(routes.join(QStringLiteral(", ")))
                         .arg(dir_.filePath(name + QStringLiteral(".log")))
                         .toUtf8());
        config.close();
        nodes_.push_back(std::make_unique<QProcess>());
        nodes_.back()->start(QStringLiteral("nats-server"),
                             {QStringLiteral("-c"), config.fileName()});
        if (!nodes_.back()->waitForStarted(5000))
            return false;
    }
    return ready(timeoutMs);
}

// A retained message at QoS 1 is taken once JetStream's streams can be placed; it is cleared then.
bool NatsCluster::ready(int timeoutMs)
{
    const auto publish = [this](const QStringList &message) {
        QProcess pub;
        pub.start(QStringLiteral("mosquitto_pub"),
                  QStringList{"-V", "311", "-h", "127.0.0.1", "-p", QString::number(mqttPorts_[0]),
                              "-q", "1", "-r", "-t", "test/ready"} +
                      message);
        return pub.waitForFinished(10000) && pub.exitStatus() == QProcess::NormalExit &&
               pub.exitCode() == 0;
    };
    QDeadlineTimer deadline(timeoutMs);
    while (!publish({"-m", "1"})) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(500);
    }
    return publish({"-n"});
}

void NatsCluster::kill(int node)
{
    QProcess *p = nodes_.at(std::size_t(node)).get();
    if (p->state() == QProcess::NotRunning)
        return;
    p->kill();
    p->waitForFinished(3000);
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
                   QStringList{"-oL", "mosquitto_sub"} + TestBroker::versionArguments() +
                       QStringList{"-h", "127.0.0.1", "-p", QString::number(port), "-t", pattern,
                                   "-d", "-F", "%t %r %D %p"} +
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
