#include "messagelog.h"

#include "driverwarnings.h"
#include "recordformat.h"

#include <QDateTime>

#include <cstdio>

namespace messagelog {
namespace {

struct State
{
    QString serialPort; // the port a serial link uses: the library's lines name none
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

// The library's warning line stays as it is; the English goes on a line of its own beneath it.
QString inEnglish(const QString &message, const QString &serialPort)
{
    const QString words = driverwarnings::english(message, serialPort);
    return words.isEmpty() ? QString() : QStringLiteral("\n    in English: ") + words;
}

constexpr int heldLimit = 100; // a table shows the last few; older lines are of no use to it

void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    State &s = state();
    if (type == QtWarningMsg || type == QtCriticalMsg) {
        ++s.warnings;
        ++s.kinds[driverwarnings::kindOf(message)];
    }
    QString line =
        recordformat::timeStamp(QDateTime::currentDateTime()) + QLatin1Char(' ') + message;
    if (type == QtWarningMsg || type == QtCriticalMsg)
        line += inEnglish(message, s.serialPort);
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

void setSerialPort(const QString &port)
{
    state().serialPort = port;
}

} // namespace messagelog
