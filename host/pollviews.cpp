#include "pollviews.h"

#include "messagelog.h"
#include "recordformat.h"

#include <algorithm>

namespace {

constexpr int redrawEveryMs = 100;
constexpr int warningsShown = 3;
constexpr int valueWidth = 40;

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', ms < 10 ? 2 : 1);
}

// The record's own time stamp when the answer came; the end of the read for a failure.
QDateTime stampOf(const CLabelVariable &record)
{
    return record.time.isValid() ? record.time : QDateTime::currentDateTime();
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString textLine(const TagState &state, const CLabelVariable &record, double ms)
{
    const QString values = recordformat::valuesLine(record);
    return QStringLiteral("%1 %2 %3 %4 (%5) %6 ms%7\n")
        .arg(recordformat::timeStamp(stampOf(record)), recordformat::escaped(state.tag.name),
             recordformat::escaped(record.address), QString::number(record.result),
             recordformat::outcomeWords(record.result), milliseconds(ms),
             values.isEmpty() ? QString() : QLatin1Char(' ') + values);
}

QString jsonLine(const TagState &state, const CLabelVariable &record, double ms)
{
    CLabelVariable stamped = record;
    stamped.time = stampOf(record);
    return QStringLiteral("{\"tag\":%1,\"latency_ms\":%2,")
               .arg(recordformat::jsonString(state.tag.name), milliseconds(ms)) +
           recordformat::asJson(stamped).mid(1) + QLatin1Char('\n');
}

QString csvLine(const TagState &state, const CLabelVariable &record, double ms)
{
    QStringList fields = {recordformat::timeStamp(stampOf(record)),
                          csvField(state.tag.name),
                          csvField(record.address),
                          recordformat::typeName(record.type),
                          QString::number(record.result),
                          csvField(recordformat::outcomeWords(record.result)),
                          milliseconds(ms)};
    for (const QString &v : recordformat::values(record))
        fields << csvField(v);
    return fields.join(QLatin1Char(',')) + QLatin1Char('\n');
}

QString failuresText(const QMap<int, int> &failures)
{
    QStringList parts;
    for (auto it = failures.begin(); it != failures.end(); ++it)
        parts << QStringLiteral("%1 × result %2 (%3)")
                     .arg(it.value())
                     .arg(it.key())
                     .arg(recordformat::outcomeShort(it.key()));
    return parts.join(QLatin1String(", "));
}

QString ageText(const TagState &state)
{
    if (!state.lastAnswer.isValid())
        return QStringLiteral("-");
    const double s = state.lastAnswer.msecsTo(QDateTime::currentDateTime()) / 1000.0;
    return s < 60 ? QString::number(s, 'f', 1) + QLatin1String(" s")
                  : QString::number(qint64(s / 60)) + QLatin1String(" min");
}

QString shortened(const QString &text, int width)
{
    return text.size() <= width ? text : text.left(width - 1) + QChar(0x2026);
}

QStringList tableRow(const TagState &t)
{
    const QString outcome =
        t.stopped.isEmpty()
            ? (t.haveLast ? recordformat::outcomeShort(t.last.result) : "-")
            : QStringLiteral("stopped (%1)").arg(recordformat::outcomeShort(t.last.result));
    const bool latency = !t.latency.isEmpty();
    return {recordformat::escaped(t.tag.name),
            shortened(recordformat::valuesLine(t.last), valueWidth),
            outcome,
            ageText(t),
            QStringLiteral("%1/%2").arg(t.answers).arg(t.reads - t.answers),
            latency ? milliseconds(t.latency.percentile(50)) : QStringLiteral("-"),
            latency ? milliseconds(t.latency.percentile(95)) : QStringLiteral("-")};
}

QStringList tableLines(const QVector<TagState> &states)
{
    QVector<QStringList> rows = {
        {"TAG", "VALUE", "OUTCOME", "AGE", "ANSWERS/FAILURES", "MEDIAN ms", "P95 ms"}};
    for (const TagState &t : states)
        rows << tableRow(t);
    QVector<int> widths(rows[0].size(), 0);
    for (const QStringList &row : rows) {
        for (int c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], int(row[c].size()));
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int c = 0; c < row.size(); ++c)
            line += row[c].leftJustified(widths[c] + 2);
        lines << line.trimmed();
    }
    return lines;
}

} // namespace

QString summaryText(const TagState &t)
{
    QString line =
        recordformat::escaped(t.tag.name) + QStringLiteral(": reads %1, answers %2, failures %3")
                                                .arg(t.reads)
                                                .arg(t.answers)
                                                .arg(t.reads - t.answers);
    if (!t.failures.isEmpty())
        line += QStringLiteral(" (%1)").arg(failuresText(t.failures));
    if (!t.latency.isEmpty())
        line += QStringLiteral(", latency median %1 ms, p95 %2 ms")
                    .arg(milliseconds(t.latency.percentile(50)),
                         milliseconds(t.latency.percentile(95)));
    if (!t.stopped.isEmpty())
        line += QStringLiteral("; ") + t.stopped;
    return line;
}

QString summaryJson(const TagState &t)
{
    QStringList byResult;
    for (auto it = t.failures.begin(); it != t.failures.end(); ++it)
        byResult << QStringLiteral("\"%1\":%2").arg(it.key()).arg(it.value());
    QString o = QStringLiteral("{\"tag\":") + recordformat::jsonString(t.tag.name) +
                QStringLiteral(",\"reads\":%2,\"answers\":%3,\"failures\":%4,"
                               "\"failures_by_result\":{%5}")
                    .arg(t.reads)
                    .arg(t.answers)
                    .arg(t.reads - t.answers)
                    .arg(byResult.join(QLatin1Char(',')));
    if (!t.latency.isEmpty())
        o += QStringLiteral(",\"latency_ms\":{\"median\":%1,\"p95\":%2}")
                 .arg(milliseconds(t.latency.percentile(50)),
                      milliseconds(t.latency.percentile(95)));
    if (!t.stopped.isEmpty())
        o += QStringLiteral(",\"stopped\":%1").arg(recordformat::jsonString(t.stopped));
    return o + QLatin1Char('}');
}

QString totalsText(const QVector<TagState> &states, bool json)
{
    int polls = 0, answers = 0;
    for (const TagState &t : states) {
        polls += t.reads;
        answers += t.answers;
    }
    return (json ? QStringLiteral("{\"polls\":%1,\"answers\":%2,\"failures\":%3}")
                 : QStringLiteral("polls %1, answers %2, failures %3"))
        .arg(polls)
        .arg(answers)
        .arg(polls - answers);
}

RecordStream::RecordStream(OutputForm form, bool changesOnly, QTextStream &out, QTextStream &err)
    : form(form), changesOnly(changesOnly), out(out), err(err)
{
}

void RecordStream::read(const TagState &state, const CLabelVariable &record, double ms,
                        bool changed)
{
    if (changesOnly && !changed)
        return;
    if (form == OutputForm::Csv && !headerDone) {
        out << "time,tag,address,type,result,outcome,latency_ms,values\n";
        headerDone = true;
    }
    out << (form == OutputForm::Json  ? jsonLine(state, record, ms)
            : form == OutputForm::Csv ? csvLine(state, record, ms)
                                      : textLine(state, record, ms));
    out.flush();
}

void RecordStream::stopped(const TagState &state)
{
    err << recordformat::escaped(state.tag.name) << ": " << state.stopped << "\n";
    err.flush();
}

void RecordStream::finish(const QVector<TagState> &states)
{
    const bool json = form == OutputForm::Json;
    QTextStream &to = form == OutputForm::Csv ? err : out;
    for (const TagState &t : states)
        to << (json ? summaryJson(t) : summaryText(t)) << "\n";
    to << totalsText(states, json) << "\n";
    to.flush();
}

LiveTable::LiveTable(QTextStream &out) : out(out)
{
    messagelog::holdLines(true);
}

void LiveTable::read(const TagState &, const CLabelVariable &, double, bool)
{
    if (shown && (!sinceDraw.isValid() || sinceDraw.elapsed() >= redrawEveryMs))
        draw(*shown);
}

void LiveTable::idle(const QVector<TagState> &states)
{
    draw(states);
}

void LiveTable::draw(const QVector<TagState> &states)
{
    warnings += messagelog::takeHeldLines();
    while (warnings.size() > warningsShown)
        warnings.removeFirst();
    QStringList lines = tableLines(states);
    if (messagelog::warningCount() > 0) {
        lines << QString()
              << QStringLiteral("warnings from the driver: %1, the latest:")
                     .arg(messagelog::warningCount());
        for (const QString &w : warnings)
            lines << QStringLiteral("  ") + recordformat::escaped(w);
    }
    // Back to the table's first line, clear to the end of the screen, draw it anew.
    if (linesDrawn > 0)
        out << "\x1b[" << linesDrawn << "A\r\x1b[J";
    out << lines.join(QLatin1Char('\n')) << "\n";
    out.flush();
    linesDrawn = lines.size();
    sinceDraw.start();
}

void LiveTable::finish(const QVector<TagState> &states)
{
    draw(states);
    messagelog::holdLines(false);
    out << "\n";
    for (const TagState &t : states)
        out << summaryText(t) << "\n";
    out << totalsText(states, false) << "\n";
    out.flush();
}
