#pragma once

#include <QString>
#include <QVector>

// One tag of a poll or read: what to read and how often.
struct Tag
{
    QString name;
    QString address;
    int type = 0;
    int count = 1;
    int intervalMs = -1; // -1: the command's --interval
};

// A tag list file: CSV lines "name,address,type[,count[,interval ms]]" ('#' starts a comment
// line, a first line beginning with "name" is a header), or JSON: an array of objects with
// name, address, type, count and interval, or an object whose "tags" is such an array.
// Every tag passes the same checks as the command's own arguments. On error, *error says
// where and what, and the list is empty.
QVector<Tag> loadTagList(const QString &path, QString *error);

// The problem with one tag in words, or "".
QString tagProblem(const Tag &tag);
