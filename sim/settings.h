#pragma once

#include "faults.h"
#include "pokes.h"

#include <QHostAddress>
#include <QStringList>
#include <QVector>

namespace sim {

// Everything the command line decides.
struct Settings
{
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 700;
    quint16 controlPort = 0;
    bool udp = true;
    int udpPorts = 1; // the controller answers on this many UDP ports: --port, then any free ones
    bool pty = false;
    QString device;
    qint32 deviceBaud = 9600;
    bool pattern = false;
    QVector<Poke> pokes; // --load files first, then --poke values, in the order given
    FaultSet faults;
    bool verbose = false;
};

enum class ParseResult { Run, Help, Error };

// Help: message holds the help text. Error: message says what is wrong.
ParseResult parseSettings(const QStringList &arguments, Settings *settings, QString *message);

} // namespace sim
