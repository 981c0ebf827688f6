#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The library's traces and warnings arrive through Qt's message handler. The host installs its
// own, which puts a time stamp before each line and sorts the warnings by what they report. Each
// warning line is written as the library wrote it, followed by a line that says it in English.
namespace messagelog {

void install();
// While a live table owns the terminal, lines are kept for it instead of written.
void holdLines(bool hold);
QStringList takeHeldLines();

// Warnings seen so far, counted by kind ("wrong sequence bytes", ...).
QMap<QString, int> warningKinds();
int warningCount();
// The serial port the driver's link uses ("" for UDP): its warnings name no endpoint, and the
// English line beneath each names the port instead.
void setSerialPort(const QString &port);

} // namespace messagelog
