#pragma once

#include <QByteArray>
#include <QString>

// The most the programs read from one file they are given (a tag list, the gateway's
// configuration and the files it names): far beyond any real one, and a bound on what a wrong
// path costs.
constexpr qint64 largestInputFile = 16 * 1024 * 1024;

// The whole of a regular file of at most `limit` bytes into *bytes, and "", or the reason it is
// not read in words, to follow "cannot read PATH: ". A FIFO, a device or a directory is refused
// before it is opened, so none of them blocks or streams without end. A file that grows beyond
// the limit while it is read is refused too: no more than limit + 1 bytes are read.
QString readBoundedFile(const QString &path, qint64 limit, QByteArray *bytes);
