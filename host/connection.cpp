#include "connection.h"

#include "TarvikOutcome.h"
#include "connectionform.h"
#include "messagelog.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace connection {
namespace {

QString outcomeWords(const char *words)
{
    return words ? QLatin1String(words) : QStringLiteral("unknown outcome");
}

bool isUdp(const QString &connection)
{
    return tarvik::connectionForm(connection).form == tarvik::LinkForm::Udp;
}

QString udpFailure(const QString &connection, int code)
{
    if (code == int(tarvik::ConnectOutcome::NotAnswered))
        return QStringLiteral(
                   "nothing answered the link check at %1. Is the device switched on and "
                   "reachable from here, is the port right (a controller serves port 700), and "
                   "does no firewall drop the UDP datagrams to it or its answers back?")
            .arg(connection);
    return QStringLiteral("the driver refused %1 as a UDP address").arg(connection);
}

// Processes other than this one with the device open, as "name (pid)".
QStringList holders(const QString &path)
{
    QStringList found;
    const QString self = QString::number(::getpid());
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &pid : pids) {
        if (pid == self || pid.toInt() <= 0)
            continue;
        const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
        for (const QFileInfo &fd : fds.entryInfoList(QDir::Files | QDir::System)) {
            if (fd.symLinkTarget() != path)
                continue;
            QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
            comm.open(QIODevice::ReadOnly);
            found << QStringLiteral("%1 (%2)").arg(QString::fromLocal8Bit(comm.readAll().trimmed()),
                                                   pid);
            break;
        }
    }
    return found;
}

QString groupOf(const struct stat &st)
{
    const group *g = ::getgrgid(st.st_gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(st.st_gid);
}

QString ownerOf(const struct stat &st)
{
    const passwd *p = ::getpwuid(st.st_uid);
    return p ? QString::fromLocal8Bit(p->pw_name) : QString::number(st.st_uid);
}

QString heldMessage(const QString &path)
{
    const QStringList by = holders(path);
    return QStringLiteral("%1 is held by another process%2: close the program that uses it, "
                          "or pick another port")
        .arg(path, by.isEmpty()
                       ? QString()
                       : QStringLiteral(" (open in %1)").arg(by.join(QLatin1String(", "))));
}

} // namespace

QString connectOutcome(int code)
{
    return outcomeWords(tarvik::connectWords(code));
}

QString disconnectOutcome(int code)
{
    return outcomeWords(tarvik::closeWords(code));
}

QString outcomeLine(const QString &connection, int code)
{
    return QStringLiteral("connect %1: %2 (%3)")
        .arg(connection, QString::number(code), connectOutcome(code));
}

Result open(CDriveBaseClass *driver, const QString &connection, bool trace)
{
    if (trace) {
        driver->DebugCmd(DebugStart);
        qDebug().noquote() << (isUdp(connection)
                                   ? QStringLiteral("tarvik-host link check %1: 0401 sent")
                                   : QStringLiteral("tarvik-host opening serial port %1"))
                                  .arg(connection);
    }
    messagelog::setSerialPort(isUdp(connection) ? QString()
                                                : connection.section(QLatin1Char(','), 0, 0));
    QElapsedTimer clock;
    clock.start();
    Result r;
    r.code = driver->ConnectDrive(connection);
    r.ms = clock.elapsed();
    if (trace)
        qDebug().noquote() << QStringLiteral("tarvik-host %1 after %2 ms")
                                  .arg(outcomeLine(connection, r.code), QString::number(r.ms));
    return r;
}

bool openOrExplain(CDriveBaseClass *driver, const QString &connection, bool trace, QTextStream &err)
{
    const Result r = open(driver, connection, trace);
    if (r.code != 0)
        err << outcomeLine(connection, r.code) << "\n" << whyFailed(connection, r.code) << "\n";
    return r.code == 0;
}

QString whyFailed(const QString &connection, int code)
{
    if (isUdp(connection))
        return udpFailure(connection, code);
    return serialProblem(connection.section(QLatin1Char(','), 0, 0));
}

QString serialProblem(const QString &port)
{
    // As the serial port class names devices: a bare name lives in /dev.
    const QString path = port.startsWith(QLatin1Char('/')) ? port : QLatin1String("/dev/") + port;
    struct stat st
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("%1 does not exist: check the name (ls /dev/ttyS* /dev/ttyUSB* "
                              "/dev/serial/by-id) and that the adapter is plugged in")
            .arg(path);
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("%1 is not a character device: a serial port is a device file "
                              "such as /dev/ttyS1 or /dev/ttyUSB0")
            .arg(path);
    if (::access(QFile::encodeName(path).constData(), R_OK | W_OK) != 0)
        return permissionAdvice(path, st.st_mode, ownerOf(st), groupOf(st));
    QSerialPort probe(path);
    if (!probe.open(QIODevice::ReadWrite))
        return probe.error() == QSerialPort::PermissionError
                   ? heldMessage(path)
                   : QStringLiteral("%1 cannot be opened: %2").arg(path, probe.errorString());
    probe.close();
    return QStringLiteral("%1 could not be opened by the driver but opens now: it was busy for a "
                          "moment, try again")
        .arg(path);
}

QString permissionAdvice(const QString &path, unsigned mode, const QString &owner,
                         const QString &group)
{
    const QString head = QStringLiteral("%1 is not accessible to this user (mode %2, owner %3, "
                                        "group %4): ")
                             .arg(path)
                             .arg(mode & 07777, 4, 8, QLatin1Char('0'))
                             .arg(owner, group);
    // Joining the group helps only when the group may both read and write the device.
    if ((mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
        return head + QStringLiteral("add the user to the group %1 (sudo usermod -aG %1 $USER) "
                                     "and log in again")
                          .arg(group);
    return head + QStringLiteral("its group may not read and write it, so joining the group "
                                 "does not help; give the device a group that may (a udev rule "
                                 "with GROUP=\"dialout\", MODE=\"0660\"), or ask %1, its "
                                 "owner, to open it")
                      .arg(owner);
}

} // namespace connection
