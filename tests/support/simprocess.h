#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// Runs the controller simulator as a child process for one test: starts it on free ports, reads
// the endpoints it announces, talks to its control port and stops it again. Everything blocks
// with bounded waits, so it works whether or not the test runs an event loop.
class SimProcess
{
public:
    SimProcess();
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Adds --port 0 --control-port 0 ahead of args (a port given in args wins) and waits for the
    // simulator to announce "ready". False when it exits or stays silent until the timeout.
    bool start(const QStringList &args = {}, int timeoutMs = 5000);
    // SIGTERM, a bounded wait, then SIGKILL.
    void stop();

    quint16 udpPort() const { return udpPort_; }
    quint16 controlPort() const { return controlPort_; }
    QString ptyPath() const { return ptyPath_; }
    QString udpConnectionString() const;
    // Every UDP port announced (--udp-ports), as connection strings, the first first.
    QStringList udpConnectionStrings() const;
    QString serialConnectionString(int baud = 9600) const;

    // Sends one control command and returns the reply text, or "" when none came in time.
    QString control(const QString &command, int timeoutMs = 2000);
    // Requests the simulator has taken so far, link checks included (its stats), or -1 when it
    // does not say. Datagrams still on their way are not counted: put a link check behind them
    // first when a test must know that nothing was sent.
    int requestsSeen();
    // Waits until every repeated answer the simulator has planned is sent; false when some are
    // still due after timeoutMs.
    bool awaitRepeatsSent(int timeoutMs = 10000);

    QProcess &process() { return process_; }

private:
    bool readAnnouncements(int timeoutMs);
    void takeAnnouncement(const QString &line);

    QProcess process_;
    QString host_ = QStringLiteral("127.0.0.1");
    quint16 udpPort_ = 0;
    QList<quint16> udpPorts_;
    quint16 controlPort_ = 0;
    QString ptyPath_;
    bool ready_ = false;
};
