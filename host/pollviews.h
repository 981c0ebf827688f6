#pragma once

#include "pollsession.h"

#include <QElapsedTimer>
#include <QSize>
#include <QTextStream>

// The forms a poll's reads are shown in.
enum class OutputForm { Text, Json, Csv, Table };

// One record per read, each with its time stamp: a line of text, a JSON object or a CSV row;
// with changesOnly only the reads whose values or outcome changed. Ends with the counts per tag
// (for CSV on the error stream, so the file holds nothing but rows).
class RecordStream : public PollView
{
public:
    RecordStream(OutputForm form, bool changesOnly, QTextStream &out, QTextStream &err);
    void read(const TagState &state, const CLabelVariable &record, double ms,
              bool changed) override;
    void stopped(const TagState &state) override;
    void linkNote(const QString &line) override;
    void finish(const QVector<TagState> &states) override;

private:
    OutputForm form;
    bool changesOnly;
    bool headerDone = false;
    QTextStream &out;
    QTextStream &err;
};

// The live table on a terminal, refreshed in place: tag, value, outcome, age of the value,
// answers and failures, latency median and 95th percentile; the library's latest warnings
// beneath it. It fits the terminal's width and height at every refresh: long tags and values
// are cut with an ellipsis, the right-hand figures give way on a narrow terminal, and the tags
// beyond its height are counted on a "+N more" line. After a failed read the last good value
// stays, marked "stale:", while its AGE grows. Nothing else writes to the screen while the table
// is up: the link's drops and returns show beneath the table, as the warnings do.
class LiveTable : public PollView
{
public:
    explicit LiveTable(QTextStream &out);
    void read(const TagState &, const CLabelVariable &, double, bool) override;
    void stopped(const TagState &) override {}
    void linkNote(const QString &line) override { link = line; }
    void idle(const QVector<TagState> &states) override;
    void finish(const QVector<TagState> &states) override;

    void setStates(const QVector<TagState> *states) { shown = states; }

private:
    void draw(const QVector<TagState> &states);
    // What fits the terminal now: the table, and beneath it the warnings and the link's latest
    // drop or return when there is room.
    QStringList screen(const QVector<TagState> &states) const;
    QStringList linesBelow(int room) const;

    QTextStream &out;
    const QVector<TagState> *shown = nullptr;
    QStringList warnings;
    QString link; // the link's latest drop or return, or ""
    QElapsedTimer sinceDraw;
    QSize drawnSize;
};

// The counts of one tag as a line of text and as a JSON object.
// What a value means, where its tag list says: " = SCALED UNIT" after the raw value, or "".
QString meaningText(const Tag &tag, const CLabelVariable &record);
QString summaryText(const TagState &state);
QString summaryJson(const TagState &state);
// The totals: "polls N, answers A, failures F".
QString totalsText(const QVector<TagState> &states, bool json);
