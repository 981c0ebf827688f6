#include "linesettings.h"

#include <array>

namespace {

// Baud rates the port takes from a connection string, and the quiet gap that ends an answer
// at that rate (0: the gap stays as it was, so 1200 baud keeps the short gap of fast rates).
struct BaudSetting
{
    int baud;
    int gapMs;
};
constexpr std::array<BaudSetting, 8> baudTable = {
    {{1200, 0}, {2400, 10}, {4800, 6}, {9600, 3}, {19200, 0}, {38400, 0}, {57600, 0}, {115200, 0}}};

struct ParityLetter
{
    char letter;
    QSerialPort::Parity parity;
};
// Tried in this order, case ignored; the first letter the text holds wins.
constexpr std::array<ParityLetter, 3> parityLetters = {
    {{'N', QSerialPort::NoParity}, {'E', QSerialPort::EvenParity}, {'O', QSerialPort::OddParity}}};

} // namespace

LineSettings LineSettings::from(int baud, int dataBits, int stopBits, const QString &parityText)
{
    LineSettings s;
    for (const BaudSetting &b : baudTable) {
        if (b.baud == baud) {
            s.baud = b.baud;
            s.gapMs = b.gapMs;
        }
    }
    if (dataBits >= 5 && dataBits <= 8)
        s.dataBits = dataBits;
    if (stopBits >= 1 && stopBits <= 3)
        s.stopBits = stopBits;
    for (const ParityLetter &p : parityLetters) {
        if (parityText.contains(QLatin1Char(p.letter), Qt::CaseInsensitive)) {
            s.hasParity = true;
            s.parity = p.parity;
            break;
        }
    }
    return s;
}

void LineSettings::applyTo(QSerialPort *port) const
{
    if (baud > 0)
        port->setBaudRate(baud, QSerialPort::AllDirections);
    if (dataBits > 0)
        port->setDataBits(QSerialPort::DataBits(dataBits));
    if (stopBits > 0)
        port->setStopBits(QSerialPort::StopBits(stopBits));
    if (hasParity)
        port->setParity(parity);
    port->setFlowControl(QSerialPort::NoFlowControl);
}
