#pragma once

#include <QSerialPort>
#include <QString>

// What a serial connection string asks of the port. Fields left unset keep the port's own
// setting: a rate, data bits or stop bits the link does not take, or a parity text naming none.
struct LineSettings
{
    int baud = 0;     // 0: keep the port's rate
    int gapMs = 0;    // quiet gap that ends an answer at that rate; 0: keep the current gap
    int dataBits = 0; // 0: keep
    int stopBits = 0; // 0: keep; otherwise the port library's numbering (3 = one and a half)
    bool hasParity = false;
    QSerialPort::Parity parity = QSerialPort::NoParity;

    static LineSettings from(int baud, int dataBits, int stopBits, const QString &parityText);
    void applyTo(QSerialPort *port) const;
};
