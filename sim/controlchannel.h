#pragma once

#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QUdpSocket>

namespace sim {

class Simulator;

// Text commands, one per datagram; the reply goes back to the sender: "ok", "ok <data>" or
// "error <why>".
class ControlChannel : public QObject
{
    Q_OBJECT

public:
    explicit ControlChannel(Simulator &simulator);

    bool bind(const QHostAddress &address, quint16 port, QString *why);
    quint16 port() const { return socket_.localPort(); }

    // The reply to one command line.
    QString execute(const QString &line);

private:
    void readCommands();

    QString faults(const QStringList &arguments);
    QString poke(const QStringList &arguments);
    QString peek(const QStringList &arguments);
    QString stats(const QStringList &arguments);
    QString clients(const QStringList &arguments);
    QString writes(const QStringList &arguments);
    QString repeats(const QStringList &arguments);
    QString reset(const QStringList &arguments);
    QString closePty(const QStringList &arguments);
    QString openPty(const QStringList &arguments);
    QString quit(const QStringList &arguments);

    Simulator &simulator_;
    QUdpSocket socket_;
};

} // namespace sim
