#pragma once

#include <QMutex>
#include <QRegularExpression>
#include <QStringList>
#include <QtGlobal>

// Collects the Qt message log while it lives, so a test can look at the exact lines a host's
// log would show. One at a time.
class MessageLog
{
public:
    MessageLog() : previous(qInstallMessageHandler(&MessageLog::handle)) { current() = this; }
    ~MessageLog()
    {
        qInstallMessageHandler(previous);
        current() = nullptr;
    }

    QStringList lines(QtMsgType type) const
    {
        QMutexLocker lock(&mutex);
        return type == QtDebugMsg ? debugLines : warningLines;
    }
    QStringList warnings() const { return lines(QtWarningMsg); }
    // A string as QDebug streams it by default: quoted, quotes and backslashes escaped.
    static QString quoted(QString text)
    {
        text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        text.replace(QLatin1Char('"'), QLatin1String("\\\""));
        return QLatin1Char('"') + text + QLatin1Char('"');
    }
    static QStringList quoted(const QStringList &texts)
    {
        QStringList out;
        for (const QString &text : texts)
            out.append(quoted(text));
        return out;
    }
    QStringList debugs() const { return lines(QtDebugMsg); }
    int count(QtMsgType type, const QString &pattern) const
    {
        const QRegularExpression re(pattern);
        int n = 0;
        for (const QString &line : lines(type))
            n += re.match(line).hasMatch() ? 1 : 0;
        return n;
    }

private:
    static MessageLog *&current()
    {
        static MessageLog *log = nullptr;
        return log;
    }
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        MessageLog *log = current();
        if (!log)
            return;
        QMutexLocker lock(&log->mutex);
        (type == QtDebugMsg ? log->debugLines : log->warningLines).append(text);
    }

    QtMessageHandler previous;
    mutable QMutex mutex;
    QStringList debugLines;
    QStringList warningLines;
};
