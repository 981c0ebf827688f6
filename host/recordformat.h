#pragma once

#include "CLabelVariable.h"

#include <QString>
#include <QStringList>

// How the host program names types and outcomes and shows a record, in words and as JSON.
namespace recordformat {

// Type code for a name (Bool, Int16, ... case ignored) or a number; 0 when neither.
int typeFromName(const QString &name);
QString typeName(int type);
QStringList typeNames();

// Words for the outcome code a read or write leaves in a record.
QString outcomeWords(int result);

// The payload's elements as text, read generically through the payload list's iterable view.
QStringList values(const CLabelVariable &record);

// A readable block of lines, and one JSON object on one line.
QString asText(const CLabelVariable &record);
QString asJson(const CLabelVariable &record);

} // namespace recordformat
