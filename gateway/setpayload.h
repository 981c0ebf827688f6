#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The payload of a write request, one JSON value or a list of them, as the text of each element
// that the write check takes (the same texts as `tarvik-host write`). Numbers keep their exact
// text: a 64-bit integer every digit, a float the digits it was given. "" or why not.
QString setPayloadElements(const QByteArray &payload, QStringList *texts);
