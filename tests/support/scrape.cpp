#include "scrape.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpSocket>

QString promtoolPath()
{
    return QStandardPaths::findExecutable(QStringLiteral("promtool"));
}

QString promtoolProblems(const QString &promtool, const QByteArray &text)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!p.waitForStarted(30000))
        return QStringLiteral("promtool did not start: ") + p.errorString();
    p.write(text);
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished(3000);
        return QStringLiteral("promtool did not finish");
    }
    const QString said = QString::fromUtf8(p.readAll()).trimmed();
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QStringLiteral("promtool exit %1: %2").arg(p.exitCode()).arg(said);
    return said;
}

QByteArray httpExchange(quint16 port, const QByteArray &request, int timeoutMs, bool *closed)
{
    QTcpSocket socket;
    const QDeadlineTimer deadline(timeoutMs);
    socket.connectToHost(QHostAddress::LocalHost, port);
    QByteArray answer;
    if (socket.waitForConnected(int(deadline.remainingTime()))) {
        socket.write(request);
        while (socket.state() == QAbstractSocket::ConnectedState && !deadline.hasExpired()) {
            socket.waitForReadyRead(int(deadline.remainingTime()));
            answer += socket.readAll();
        }
    }
    answer += socket.readAll();
    *closed = socket.state() != QAbstractSocket::ConnectedState;
    return answer;
}

QByteArray bodyOf(const QByteArray &answer)
{
    const int end = answer.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : answer.mid(end + 4);
}

QMap<QByteArray, double> samplesOf(const QByteArray &text)
{
    QMap<QByteArray, double> samples;
    for (const QByteArray &line : text.split('\n')) {
        const int blank = line.lastIndexOf(' ');
        if (line.startsWith('#') || blank < 0)
            continue;
        samples.insert(line.left(blank), line.mid(blank + 1).toDouble());
    }
    return samples;
}
