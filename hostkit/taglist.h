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
    // What the value means to its readers. A scaled tag's value is raw × scale + offset, in the
    // unit; the record itself stays the controller's.
    QString unit;
    QString description;
    double scale = 1;
    double offset = 0;

    bool scaled() const { return scale != 1 || offset != 0; }
};

// A tag list file: CSV lines "name,address,type[,count[,interval ms[,scale[,offset[,unit[,
// description]]]]]]" ('#' starts a comment line; a first line that begins with "name" or names
// columns only is a header, which may give them in another order; a field in double quotes may
// hold commas), or
// JSON: an array of objects with those keys, or an object whose "tags" is such an array.
// Every tag passes the same checks as the command's own arguments. On error, *error says
// where and what, and the list is empty.
QVector<Tag> loadTagList(const QString &path, QString *error);

// The problem with one tag in words, or "".
QString tagProblem(const Tag &tag);

// The checks of a tag's meaning, each "" when the text is good: a scale is a finite number other
// than 0 (a write is turned back into the raw value through it), an offset a finite number, a
// unit or description one line of text.
QString scaleProblem(const QString &text, double *scale);
QString offsetProblem(const QString &text, double *offset);
QString unitProblem(const QString &text);
QString descriptionProblem(const QString &text);
