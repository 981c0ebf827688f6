#pragma once

#include <QString>

// The driver's warning lines, told apart by a piece of their text: the kind each is counted as,
// and what it says in English for the reader of a log.
namespace driverwarnings {

// The kind of one warning line, in words ("other warnings" for a line of no known kind).
QString kindOf(const QString &line);
// What one of the driver's warning lines says, in English ("" for a line of no known kind), with
// the serial port's name where the line names no endpoint.
QString english(const QString &line, const QString &serialPort);

} // namespace driverwarnings
