#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Sparkplug B payloads read and written by protoc (Debian's protobuf-compiler) from the schema
// alone, independently of the gateway's own encoding: its text format, and its fields.

// protoc's path, or "" when it is not installed.
QString protocPath();
// The payload as protoc's text format, or "protoc failed: ..." with its errors.
QByteArray decodedText(const QString &protoc, const QByteArray &payload);
// The payload protoc makes of the text format, or "protoc failed: ...".
QByteArray encodedText(const QString &protoc, const QByteArray &text);

// The metrics of a payload's text, each as one line of its own fields (those of nested messages,
// such as its properties, left out) and, after " | ", the whole metric.
QStringList metricsOf(const QByteArray &text);
// A field of a text at its top level ("seq", "name", "int_value", ...), as protoc wrote it
// (a string with its quotes), or "" when absent.
QString fieldOf(const QString &text, const QString &field);
