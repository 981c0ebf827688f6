#include "linkkeeper.h"

#include "TarvikOutcome.h"
#include "connectionform.h"

#include <QFileInfo>

namespace {

bool failed(int result)
{
    using tarvik::Outcome;
    return result == int(Outcome::NoAnswer) || result == int(Outcome::ExchangeFailed) ||
           result == int(Outcome::LinkNotOpen);
}

// The device file of a serial connection, or "" for UDP. A bare port name (ttyUSB0) names a
// device under /dev, as the serial port takes it.
QString serialPath(const QString &connection)
{
    const tarvik::ConnectionForm c = tarvik::connectionForm(connection);
    if (c.form != tarvik::LinkForm::Serial)
        return QString();
    const QString port = c.fields.first();
    return port.startsWith(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
}

} // namespace

LinkKeeper::LinkKeeper(CDriveBaseClass *driver, const QString &connection,
                       const ReconnectRules &rules)
    : driver(driver), connection(connection), rules(rules)
{
}

void LinkKeeper::startDown(qint64 now)
{
    up = false;
    failures = 0;
    backoffMs = 0;
    nextAttempt = now;
    reason = QStringLiteral("not connected yet");
    told = false;
}

bool LinkKeeper::deviceGone(int result) const
{
    if (result == int(tarvik::Outcome::LinkNotOpen))
        return true;
    const QString path = serialPath(connection);
    return !path.isEmpty() && !QFileInfo::exists(path);
}

LinkKeeper::Change LinkKeeper::noteRead(int result, qint64 now)
{
    if (!failed(result)) {
        failures = 0;
        return Change::None;
    }
    ++failures;
    if (!up || !rules.enabled)
        return Change::None;
    if (deviceGone(result)) {
        goDown(now, QStringLiteral("the device is gone"));
        return Change::WentDown;
    }
    if (failures < rules.failuresInRow)
        return Change::None;
    goDown(now, QStringLiteral("%1 reads in a row failed").arg(failures));
    return Change::WentDown;
}

void LinkKeeper::goDown(qint64 now, const QString &why)
{
    driver->DisConnectDrive();
    up = false;
    told = true;
    reason = why;
    backoffMs = rules.firstBackoffMs;
    nextAttempt = now + backoffMs;
}

LinkKeeper::Change LinkKeeper::attempt(qint64 now)
{
    lastCode = driver->ConnectDrive(connection);
    if (lastCode == 0) {
        up = true;
        failures = 0;
        backoffMs = 0;
        reason.clear();
        return Change::CameUp;
    }
    // A failed UDP connect leaves its socket closed; a serial port that did not open is left too.
    reason = QStringLiteral("connect answered %1").arg(lastCode);
    backoffMs = backoffMs == 0 ? rules.firstBackoffMs : qMin(backoffMs * 2, rules.longestBackoffMs);
    nextAttempt = now + backoffMs;
    // A link that never came up is said to be down once, at its first failed connect.
    if (told)
        return Change::None;
    told = true;
    return Change::WentDown;
}
