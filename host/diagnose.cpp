#include "diagnose.h"

#include "TarvikOutcome.h"
#include "connection.h"
#include "interrupts.h"
#include "messagelog.h"
#include "recordformat.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <array>

namespace {

constexpr std::array<double, 6> percentiles = {0, 50, 90, 95, 99, 100}; // 0, 100: min, max
constexpr double slowMs = 200; // beyond this at the 95th percentile reads are slow

QString msText(double v)
{
    return QString::number(v, 'f', 2);
}

QString percentileName(double p)
{
    return p == 0     ? QStringLiteral("min")
           : p == 50  ? QStringLiteral("median")
           : p == 100 ? QStringLiteral("max")
                      : QStringLiteral("p%1").arg(p);
}

void waitFor(int intervalMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!interrupted() && clock.elapsed() < intervalMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(ulong(qBound<qint64>(0, intervalMs - clock.elapsed(), 5)));
    }
}

QString failuresLine(const Diagnosis &d)
{
    QStringList parts;
    for (auto it = d.failures.begin(); it != d.failures.end(); ++it)
        parts << QStringLiteral("%1 × result %2 (%3)")
                     .arg(it.value())
                     .arg(it.key())
                     .arg(recordformat::outcomeWords(it.key()));
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QLatin1String("; "));
}

QString warningsLine(const Diagnosis &d)
{
    QStringList parts;
    for (auto it = d.warnings.begin(); it != d.warnings.end(); ++it)
        parts << QStringLiteral("%1 × %2").arg(it.value()).arg(it.key());
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QLatin1String("; "));
}

QString warningsAdvice(const Diagnosis &d)
{
    if (d.warnings.isEmpty())
        return QString();
    return QStringLiteral(" The driver warned of %1; docs/troubleshooting.md explains each "
                          "warning and what to check.")
        .arg(warningsLine(d));
}

} // namespace

Diagnosis diagnose(CDriveBaseClass *driver, const QString &connectionString, const QString &tag,
                   int type, int reads, int intervalMs, bool trace)
{
    Diagnosis d;
    d.connection = connectionString;
    d.tag = tag;
    d.type = type;
    const connection::Result opened = connection::open(driver, connectionString, trace);
    d.connectCode = opened.code;
    d.connectMs = opened.ms;
    if (opened.code != 0)
        return d;
    const QMap<QString, int> before = messagelog::warningKinds();
    for (int i = 0; i < reads && !interrupted(); ++i) {
        if (i > 0)
            waitFor(intervalMs);
        QElapsedTimer clock;
        clock.start();
        const CLabelVariable record = driver->ReadVariable(tag, DataType(type), 1);
        const double ms = clock.nsecsElapsed() / 1e6;
        ++d.reads;
        if (record.result == 0) {
            ++d.answers;
            d.latency.add(ms); // answered reads only: a failure's time is the driver's wait
        } else
            ++d.failures[record.result];
    }
    driver->DisConnectDrive();
    const QMap<QString, int> after = messagelog::warningKinds();
    for (auto it = after.begin(); it != after.end(); ++it) {
        if (it.value() > before.value(it.key()))
            d.warnings.insert(it.key(), it.value() - before.value(it.key()));
    }
    return d;
}

QString verdict(const Diagnosis &d)
{
    if (d.connectCode != 0)
        return QStringLiteral("The connect failed: ") +
               connection::whyFailed(d.connection, d.connectCode);
    if (d.reads == 0)
        return QStringLiteral("Connected, but interrupted before the first read.");
    const int failed = d.reads - d.answers;
    const QList<int> results = d.failures.keys();
    if (std::any_of(results.begin(), results.end(), tarvik::refusedForGood))
        return QStringLiteral("The driver refuses %1 as %2 without sending anything: pick a tag "
                              "and type this device serves (--tag, --type).")
            .arg(d.tag, recordformat::typeName(d.type));
    if (failed == d.reads)
        return QStringLiteral("The device answered the link check but none of %1 reads: the "
                              "link carries the check but not the answers to reads, or the "
                              "answers are refused.")
                   .arg(d.reads) +
               warningsAdvice(d);
    if (failed > 0)
        return QStringLiteral("%1 of %2 reads failed: the link loses or spoils answers now and "
                              "then (a noisy line, a busy device or a peer too slow for the "
                              "driver's wait). A host must expect such failures and read again.")
                   .arg(failed)
                   .arg(d.reads) +
               warningsAdvice(d);
    const double p95 = d.latency.percentile(95);
    if (p95 > slowMs)
        return QStringLiteral(
                   "Every read was answered, but slowly (95 percent within %1 ms): a slow "
                   "line or a busy device; poll fewer tags or less often.")
            .arg(msText(p95));
    return QStringLiteral("Every read was answered, typically in %1 ms: the link is healthy.")
               .arg(msText(d.latency.percentile(50))) +
           warningsAdvice(d);
}

QString diagnosisText(const Diagnosis &d)
{
    QString text =
        QStringLiteral("connection  %1\nconnect     %2 (%3) in %4 ms\n")
            .arg(d.connection, QString::number(d.connectCode),
                 connection::connectOutcome(d.connectCode), QString::number(d.connectMs));
    if (d.connectCode == 0) {
        text += QStringLiteral("reads       %1 of %2 as %3: %4 answered, %5 failed\n")
                    .arg(QString::number(d.reads), d.tag, recordformat::typeName(d.type),
                         QString::number(d.answers), QString::number(d.reads - d.answers));
        QStringList figures;
        for (double p : percentiles)
            figures << percentileName(p) + QLatin1Char(' ') + msText(d.latency.percentile(p));
        if (!d.latency.isEmpty())
            text += QStringLiteral("latency ms  %1\n").arg(figures.join(QLatin1String(", ")));
        text += QStringLiteral("failures    %1\nwarnings    %2\n")
                    .arg(failuresLine(d), warningsLine(d));
    }
    return text + QStringLiteral("verdict     %1\n").arg(verdict(d));
}

QString diagnosisJson(const Diagnosis &d)
{
    QStringList latency, failures, warnings;
    for (double p : percentiles) {
        if (!d.latency.isEmpty())
            latency << QStringLiteral("\"%1\":%2")
                           .arg(percentileName(p), msText(d.latency.percentile(p)));
    }
    for (auto it = d.failures.begin(); it != d.failures.end(); ++it)
        failures << QStringLiteral("\"%1\":%2").arg(it.key()).arg(it.value());
    for (auto it = d.warnings.begin(); it != d.warnings.end(); ++it)
        warnings << QStringLiteral("%1:%2").arg(recordformat::jsonString(it.key())).arg(it.value());
    const QString numbers = QStringLiteral("\"connect\":%1,\"connect_ms\":%2,\"reads\":%3,"
                                           "\"answers\":%4,")
                                .arg(d.connectCode)
                                .arg(d.connectMs)
                                .arg(d.reads)
                                .arg(d.answers);
    return QStringLiteral("{\"connection\":%1,\"tag\":%2,%3\"failures_by_result\":{%4},"
                          "\"latency_ms\":{%5},\"warnings\":{%6},\"verdict\":%7}")
        .arg(recordformat::jsonString(d.connection), recordformat::jsonString(d.tag), numbers,
             failures.join(QLatin1Char(',')), latency.join(QLatin1Char(',')),
             warnings.join(QLatin1Char(',')), recordformat::jsonString(verdict(d)));
}
