#pragma once

#include "CDriveBaseClass.h"

#include <QStringList>
#include <QTextStream>

// The host program's write command. args are the words after "write": ADDRESS, --type TYPE and
// one VALUE per element, optionally --connect CONNECTION (otherwise the driver's current link
// carries the write), --json and --trace. Prints the record the driver returns, its result as a
// number and in words. Exit status: 0 written, 1 refused by the driver or the link, 2 words that
// do not parse or values out of range for the type (nothing is written then).
int runWrite(CDriveBaseClass *driver, const QStringList &args, QTextStream &out, QTextStream &err);
