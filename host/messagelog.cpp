#include "messagelog.h"

#include "recordformat.h"

#include <QDateTime>

#include <array>
#include <cstdio>

namespace messagelog {
namespace {

// What each of the library's warning lines reports, told by a piece of its text.
struct Kind
{
    const char *marker;
    const char *words;
};
constexpr std::array<Kind, 7> kinds = {{
    {"返回的序号错误", "answers with wrong sequence bytes"},
    {"返回的报文长度为0", "no answer within the wait"},
    {"返回的报文长度不足", "answers shorter than the request asked for"},
    {"answer followed by more bytes", "answers followed by more bytes on the line"},
    {"more datagrams from other senders dropped", "datagrams from other senders dropped"},
    {"dropped len =", "datagrams from other senders dropped"},
    {"QAbstractSocket::", "socket errors"},
}};

struct State
{
    bool hold = false;
    QStringList held;
    QMap<QString, int> kinds;
    int warnings = 0;
};

State &state()
{
    static State s;
    return s;
}

constexpr int heldLimit = 100; // a table shows the last few; older lines are of no use to it

void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    State &s = state();
    if (type == QtWarningMsg || type == QtCriticalMsg) {
        ++s.warnings;
        ++s.kinds[kindOf(message)];
    }
    const QString line =
        recordformat::timeStamp(QDateTime::currentDateTime()) + QLatin1Char(' ') + message;
    if (s.hold) {
        s.held << line;
        if (s.held.size() > heldLimit)
            s.held.removeFirst();
        return;
    }
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace

void install()
{
    qInstallMessageHandler(handle);
}

void holdLines(bool hold)
{
    state().hold = hold;
}

QStringList takeHeldLines()
{
    QStringList lines;
    lines.swap(state().held);
    return lines;
}

QMap<QString, int> warningKinds()
{
    return state().kinds;
}

int warningCount()
{
    return state().warnings;
}

QString kindOf(const QString &line)
{
    for (const Kind &k : kinds) {
        if (line.contains(QString::fromUtf8(k.marker)))
            return QString::fromUtf8(k.words);
    }
    return QStringLiteral("other warnings");
}

} // namespace messagelog
