#pragma once

#include <QString>
#include <QVector>

// One tag as the scan engine reads it.
struct ScanTag
{
    QString address;
    int type = 0;
    int count = 1;
    int intervalMs = 1000;
};

// Where a tag's elements sit in the answer of a read that covers it.
struct ReadMember
{
    int tag;    // index into the scan's tag list
    int offset; // index of the tag's first element in the read's payload
};

// One request the engine makes: a tag on its own, or neighbouring tags of one area and type read
// together, whose values are cut back out of the one answer.
struct PlannedRead
{
    QString address;
    int type = 0;
    int count = 0;
    int intervalMs = 0;
    QVector<ReadMember> members;

    bool merged() const { return members.size() > 1 || members.value(0).offset != 0; }
};

// How reads are planned: the most elements nobody asked for that a merged read may carry
// between two tags (gap fill), and whether to merge at all.
struct MergeRules
{
    bool merge = true;
    int gapFill = 16;
};

// The reads that cover every tag: tags with the same interval, area and type whose elements line
// up in one answer are read together while the gap between them stays within the gap fill and
// the read within the largest transfer the driver takes; every other tag is read on its own.
QVector<PlannedRead> planReads(const QVector<ScanTag> &tags, const MergeRules &rules);

// The read of one tag alone, exactly as the tag names it.
PlannedRead singleRead(const QVector<ScanTag> &tags, int tag);
