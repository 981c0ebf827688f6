#pragma once

#include <QString>

namespace sim {

// stderr only: stdout carries the start-up announcements a test reads.
void setVerbose(bool on);
bool verbose();
// Always printed.
void warn(const QString &line);
// Printed with --verbose.
void note(const QString &line);

} // namespace sim
