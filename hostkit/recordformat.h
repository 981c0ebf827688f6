#pragma once

#include "CLabelVariable.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// How the programs name types and outcomes and show a record: as a block of lines, as one
// line of a log, and as JSON. Every form carries every digit of a value.
namespace recordformat {

// Type code for a name (Bool, Int16, ... case ignored) or a number; 0 when neither.
int typeFromName(const QString &name);
// True when the text names a type or is a number; the code goes to *type.
bool typeNamed(const QString &text, int *type);
QString typeName(int type);
QStringList typeNames();

// Words for the outcome code a read or write leaves in a record; a short form for tables.
QString outcomeWords(int result);
QString outcomeShort(int result);
// The payload's elements as text: integers with every digit, Int8 signed, floating point as
// the shortest text that reads back to the same value, NaN as NaN, infinities as Infinity and
// -Infinity. Texts as they are.
QStringList values(const CLabelVariable &record);
// The elements on one line: texts quoted and escaped, elements separated by blanks.
QString valuesLine(const CLabelVariable &record);
// The elements as a JSON array: numbers as numbers with every digit, NaN and the infinities as
// the strings "NaN", "Infinity" and "-Infinity", texts as strings.
QString valuesJson(const CLabelVariable &record);
// The same elements, each as its JSON text, for a caller that frames them itself.
QStringList elementsJson(const CLabelVariable &record);
// Whether an element of a record of this type, given as values() gives it, is a string in JSON:
// a text, NaN or an infinity. Any other element's text is already its JSON.
bool quotedInJson(int type, const QString &text);

// A scaled tag's record as it is shown: each element raw × scale + offset, as a Double.
CLabelVariable scaledRecord(const CLabelVariable &raw, double scale, double offset);

// A double as the fewest digits that read back to it, as the elements are given.
QString shortestDouble(double value);
// A float likewise: 0.1f as 0.1, not as the double it widens to.
QString shortestFloat(float value);

// Control characters (and backslash) written as \n, \t, \xHH, so a text cannot break a line
// or drive the terminal.
QString escaped(const QString &text);
QString jsonString(const QString &text);

// ISO 8601 with milliseconds and the offset from UTC: 2026-12-07T21:35:54.827+01:00.
QString timeStamp(const QDateTime &time);

// A readable block of lines, and one JSON object on one line.
QString asText(const CLabelVariable &record);
QString asJson(const CLabelVariable &record);

} // namespace recordformat
