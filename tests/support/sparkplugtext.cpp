#include "sparkplugtext.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>

namespace {

QByteArray protoc(const QString &path, const QString &mode, const QByteArray &input)
{
    QProcess p;
    p.start(path, {mode.arg(QStringLiteral("tarvik.sparkplug.Payload")),
                   QStringLiteral("-I") + QStringLiteral(TARVIK_SPARKPLUG_PROTO_DIR),
                   QStringLiteral("sparkplug_b.proto")});
    if (!p.waitForStarted(30000))
        return "protoc did not start: " + p.errorString().toUtf8();
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return "protoc failed: " + p.readAllStandardError();
    return p.readAllStandardOutput();
}

} // namespace

QString protocPath()
{
    return QStandardPaths::findExecutable(QStringLiteral("protoc"));
}

QByteArray decodedText(const QString &path, const QByteArray &payload)
{
    return protoc(path, QStringLiteral("--decode=%1"), payload);
}

QByteArray encodedText(const QString &path, const QByteArray &text)
{
    return protoc(path, QStringLiteral("--encode=%1"), text);
}

QStringList metricsOf(const QByteArray &text)
{
    QStringList metrics;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    int depth = 0;
    QString own, whole;
    for (const QString &raw : lines) {
        const QString line = raw.trimmed();
        if (depth == 0 && line == QLatin1String("metrics {")) {
            depth = 1;
            own.clear();
            whole.clear();
            continue;
        }
        if (depth == 0)
            continue;
        if (line == QLatin1String("}") && --depth == 0) {
            metrics << own.trimmed() + QStringLiteral(" |") + whole;
            continue;
        }
        whole += QLatin1Char(' ') + line;
        if (line.endsWith(QLatin1Char('{')))
            ++depth;
        else if (depth == 1)
            own += QLatin1Char(' ') + line;
    }
    return metrics;
}

QString fieldOf(const QString &text, const QString &field)
{
    const QRegularExpression re(QStringLiteral("(?:^|\\s)%1: (\"(?:[^\"\\\\]|\\\\.)*\"|\\S+)")
                                    .arg(QRegularExpression::escape(field)));
    // Only the text before " |" when it is a metric of metricsOf: its own fields.
    return re.match(text.section(QStringLiteral(" |"), 0, 0)).captured(1);
}
