#include "pollviews.h"

#include "interrupts.h"
#include "messagelog.h"
#include "recordformat.h"

#include <QSize>

#include <algorithm>
#include <array>
#include <climits>

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr int redrawEveryMs = 100;
constexpr int warningsShown = 3;
constexpr int valueWidth = 40;

QString milliseconds(double ms)
{
    return QString::number(ms, 'f', ms < 10 ? 2 : 1);
}

// The record's own time stamp when the answer came; the end of the read for a failure, when
// the failure became known (the driver stamps a failed record with the start of the call).
QDateTime stampOf(const CLabelVariable &record)
{
    return record.result == 0 && record.time.isValid() ? record.time : QDateTime::currentDateTime();
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

// The tag's name, and its address where the name is another word (a tag given on the command
// line is named by its address).
QString tagWords(const TagState &state, const CLabelVariable &record)
{
    const QString name = recordformat::escaped(state.tag.name);
    return state.tag.name == record.address
               ? name
               : name + QLatin1Char(' ') + recordformat::escaped(record.address);
}

// The elements in the one field the header has for them, separated by ';'. Texts are escaped
// as on a terminal, and a ';' in a text is written '\;', so the field splits back unchanged.
QString csvValues(const CLabelVariable &record)
{
    QStringList items = recordformat::values(record);
    if (record.type == String) {
        for (QString &t : items)
            t = recordformat::escaped(t).replace(QLatin1Char(';'), QLatin1String("\\;"));
    }
    return csvField(items.join(QLatin1Char(';')));
}

} // namespace

// A tag list may say what a value means: the scaled value and its unit follow the raw one.
QString meaningText(const Tag &tag, const CLabelVariable &record)
{
    if (record.result != 0 || (!tag.scaled() && tag.unit.isEmpty()))
        return QString();
    const QString values =
        tag.scaled()
            ? recordformat::valuesLine(recordformat::scaledRecord(record, tag.scale, tag.offset))
            : recordformat::valuesLine(record);
    return QStringLiteral(" = ") + values +
           (tag.unit.isEmpty() ? QString() : QLatin1Char(' ') + recordformat::escaped(tag.unit));
}

namespace {

QString meaningJson(const Tag &tag, const CLabelVariable &record)
{
    QString o;
    if (tag.scaled() && record.result == 0)
        o += QStringLiteral(",\"scaled\":") +
             recordformat::valuesJson(recordformat::scaledRecord(record, tag.scale, tag.offset));
    if (!tag.unit.isEmpty())
        o += QStringLiteral(",\"unit\":") + recordformat::jsonString(tag.unit);
    return o;
}

QString textLine(const TagState &state, const CLabelVariable &record, double ms)
{
    const QString values = recordformat::valuesLine(record);
    return QStringLiteral("%1 %2 %3 (%4) %5 ms%6%7\n")
        .arg(recordformat::timeStamp(stampOf(record)), tagWords(state, record),
             QString::number(record.result), recordformat::outcomeWords(record.result),
             milliseconds(ms), values.isEmpty() ? QString() : QLatin1Char(' ') + values,
             meaningText(state.tag, record));
}

QString jsonLine(const TagState &state, const CLabelVariable &record, double ms)
{
    CLabelVariable stamped = record;
    stamped.time = stampOf(record);
    const QString fields = recordformat::asJson(stamped).mid(1);
    return QStringLiteral("{\"tag\":%1,\"latency_ms\":%2,")
               .arg(recordformat::jsonString(state.tag.name), milliseconds(ms)) +
           fields.left(fields.size() - 1) + meaningJson(state.tag, record) + QStringLiteral("}\n");
}

QString csvLine(const TagState &state, const CLabelVariable &record, double ms)
{
    QStringList fields = {recordformat::timeStamp(stampOf(record)),
                          csvField(state.tag.name),
                          csvField(record.address),
                          recordformat::typeName(record.type),
                          QString::number(record.result),
                          csvField(recordformat::outcomeWords(record.result)),
                          milliseconds(ms),
                          csvValues(record)};
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

// Columns a character takes on a terminal: East Asian wide characters (the library's Chinese
// log words among them) take two.
int columnsOf(uint c)
{
    struct Range
    {
        uint first, last;
    };
    static constexpr std::array<Range, 9> wide = {{{0x1100, 0x115F},
                                                   {0x2E80, 0x303E},
                                                   {0x3041, 0x33FF},
                                                   {0x3400, 0x4DBF},
                                                   {0x4E00, 0x9FFF},
                                                   {0xAC00, 0xD7A3},
                                                   {0xF900, 0xFAFF},
                                                   {0xFF00, 0xFF60},
                                                   {0x20000, 0x3FFFD}}};
    return std::any_of(wide.begin(), wide.end(),
                       [c](const Range &r) { return c >= r.first && c <= r.last; })
               ? 2
               : 1;
}

int columnsOf(const QString &text)
{
    int n = 0;
    for (uint c : text.toUcs4())
        n += columnsOf(c);
    return n;
}

// The text within `width` terminal columns, cut with an ellipsis when it is wider.
QString shortened(const QString &text, int width)
{
    if (columnsOf(text) <= width)
        return text;
    if (width < 1)
        return QString();
    QString cut;
    int used = 0;
    for (uint c : text.toUcs4()) {
        if (used + columnsOf(c) > width - 1)
            break;
        used += columnsOf(c);
        cut += QString::fromUcs4(&c, 1);
    }
    return cut + QChar(0x2026);
}

// The text cut to `width` columns and filled up to them with blanks.
QString padded(const QString &text, int width)
{
    const QString cut = shortened(text, width);
    return cut + QString(width - columnsOf(cut), QLatin1Char(' '));
}

// The value a row shows: the latest read's, or after a failure the last good one, marked.
QString valueCell(const TagState &t)
{
    if (t.last.result == 0)
        return recordformat::valuesLine(t.last);
    if (t.lastAnswer.isValid())
        return QStringLiteral("stale: ") + recordformat::valuesLine(t.lastGood);
    return QString();
}

QStringList tableRow(const TagState &t)
{
    const QString outcome =
        t.stopped.isEmpty()
            ? (t.haveLast ? recordformat::outcomeShort(t.last.result) : "-")
            : QStringLiteral("stopped (%1)").arg(recordformat::outcomeShort(t.last.result));
    const bool latency = !t.latency.isEmpty();
    return {recordformat::escaped(t.tag.name),
            valueCell(t),
            outcome,
            ageText(t),
            QStringLiteral("%1/%2").arg(t.answers).arg(t.reads - t.answers),
            latency ? milliseconds(t.latency.percentile(50)) : QStringLiteral("-"),
            latency ? milliseconds(t.latency.percentile(95)) : QStringLiteral("-")};
}

// The table's columns: how narrow a cut one may become (0: never cut, dropped instead when the
// terminal is too narrow, the rightmost first; -1: never dropped).
struct Column
{
    const char *title;
    int narrowest;
};
constexpr std::array<Column, 7> columns = {{{"TAG", 8},
                                            {"VALUE", 12},
                                            {"OUTCOME", -1},
                                            {"AGE", 0},
                                            {"ANS/FAIL", 0},
                                            {"MEDIAN ms", 0},
                                            {"P95 ms", 0}}};
constexpr int gap = 2;
// The columns cut before any is dropped: the value first, then the tag.
constexpr std::array<int, 2> cutOrder = {1, 0};

int tableWidth(const QVector<int> &widths)
{
    int total = 0, shown = 0;
    for (int w : widths) {
        if (w > 0) {
            total += w;
            ++shown;
        }
    }
    return total + gap * std::max(0, shown - 1);
}

// Column widths that fit `room` terminal columns: the widest cell of each, cut or dropped.
QVector<int> fittedWidths(const QVector<QStringList> &rows, int room)
{
    QVector<int> widths(int(columns.size()), 0);
    for (const QStringList &row : rows) {
        for (int c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], columnsOf(row[c]));
    }
    for (int c : cutOrder) {
        const int over = tableWidth(widths) - room;
        if (over > 0)
            widths[c] = std::max(columns[size_t(c)].narrowest, widths[c] - over);
    }
    for (int c = int(columns.size()) - 1; c >= 0 && tableWidth(widths) > room; --c) {
        if (columns[size_t(c)].narrowest == 0)
            widths[c] = 0;
    }
    return widths;
}

QString tableLine(const QStringList &row, const QVector<int> &widths, int room)
{
    QString line;
    for (int c = 0; c < row.size(); ++c) {
        if (widths[c] > 0)
            line += padded(row[c], widths[c]) + QString(gap, QLatin1Char(' '));
    }
    return shortened(line.trimmed(), room);
}

// The header and one line per tag, within `room` columns and `lines` lines (0: no limit); the
// tags that do not fit are counted on a last line.
QStringList tableLines(const QVector<TagState> &states, int room, int lines)
{
    QVector<QStringList> rows = {{}};
    for (const Column &c : columns)
        rows[0] << QLatin1String(c.title);
    for (const TagState &t : states)
        rows << tableRow(t);
    int shownTags = int(states.size());
    if (lines > 0 && 1 + shownTags > lines)
        shownTags = std::max(0, lines - 2);
    rows.resize(1 + shownTags);
    const QVector<int> widths = fittedWidths(rows, room > 0 ? room : INT_MAX / 2);
    QStringList out;
    for (const QStringList &row : rows)
        out << tableLine(row, widths, room > 0 ? room : INT_MAX);
    if (shownTags < states.size())
        out << QStringLiteral("+%1 more").arg(states.size() - shownTags);
    return out;
}

// The terminal's size, asked anew for every drawing so that the table follows a resized
// window; 0 where the output is no terminal (and COLUMNS and LINES do not say).
QSize terminalSize()
{
    winsize ws{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0)
        return QSize(ws.ws_col, ws.ws_row);
    return QSize(qEnvironmentVariableIntValue("COLUMNS"), qEnvironmentVariableIntValue("LINES"));
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
    if (out.status() != QTextStream::Ok)
        stopSoon(); // a poll that cannot write its records has no one to read them for
}

void RecordStream::stopped(const TagState &state)
{
    err << recordformat::escaped(state.tag.name) << ": " << state.stopped << "\n";
    err.flush();
}

void RecordStream::linkNote(const QString &line)
{
    err << line << "\n";
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
    // The table lives on the terminal's alternate screen, as a full-screen program does: its
    // header stays on the first line and no copies of it pile up in the scrollback.
    out << "\x1b[?1049h";
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

QStringList LiveTable::linesBelow(int room) const
{
    QStringList lines;
    if (messagelog::warningCount() > 0) {
        lines << QString()
              << QStringLiteral("warnings from the driver: %1, the latest:")
                     .arg(messagelog::warningCount());
        for (const QString &w : warnings) {
            for (const QString &part : w.split(QLatin1Char('\n')))
                lines << QStringLiteral("  ") + recordformat::escaped(part);
        }
    }
    if (!link.isEmpty())
        lines << (lines.isEmpty() ? QStringList{QString(), link} : QStringList{link});
    for (QString &line : lines)
        line = shortened(line, room > 0 ? room : INT_MAX);
    return lines;
}

QStringList LiveTable::screen(const QVector<TagState> &states) const
{
    const QSize size = terminalSize();
    // The last line stays free: a line written there would scroll the screen.
    const int lines = size.height() > 0 ? size.height() - 1 : 0;
    QStringList below = linesBelow(size.width() - 1);
    if (lines > 0 && below.size() > lines / 2)
        below.clear();
    QStringList all = tableLines(states, size.width() - 1, lines > 0 ? lines - below.size() : 0);
    return all + below;
}

void LiveTable::draw(const QVector<TagState> &states)
{
    warnings += messagelog::takeHeldLines();
    while (warnings.size() > warningsShown)
        warnings.removeFirst();
    // From the screen's first line, each line cleared to its end, then the rest of the screen;
    // the whole screen when the window changed its size and the terminal may have moved lines.
    const QSize size = terminalSize();
    if (size != drawnSize)
        out << "\x1b[2J";
    drawnSize = size;
    out << "\x1b[H";
    for (const QString &line : screen(states))
        out << line << "\x1b[K\n";
    out << "\x1b[J";
    out.flush();
    sinceDraw.start();
}

void LiveTable::finish(const QVector<TagState> &states)
{
    draw(states);
    messagelog::holdLines(false);
    // Back on the normal screen the last table stays, whole, with the counts under it.
    out << "\x1b[?1049l";
    const QSize size = terminalSize();
    for (const QString &line : tableLines(states, size.width() - 1, 0))
        out << line << "\n";
    out << "\n";
    for (const TagState &t : states)
        out << summaryText(t) << "\n";
    out << totalsText(states, false) << "\n";
    out.flush();
}
