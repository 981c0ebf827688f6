#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The gateway's metrics as a scraper takes them: over plain HTTP on loopback, checked by promtool
// (Debian's prometheus package), independently of the gateway's own formatting.

// promtool's path, or "" when it is not installed.
QString promtoolPath();
// What `promtool check metrics` finds wrong with the text; "" when nothing.
QString promtoolProblems(const QString &promtool, const QByteArray &text);

// Sends the request to 127.0.0.1:port and returns what comes back until the server closes the
// connection or timeoutMs pass; *closed says whether the server closed it.
QByteArray httpExchange(quint16 port, const QByteArray &request, int timeoutMs, bool *closed);
// The body of an HTTP answer.
QByteArray bodyOf(const QByteArray &answer);
// The samples of exposition text, by series ("name{labels}") to their value.
QMap<QByteArray, double> samplesOf(const QByteArray &text);
