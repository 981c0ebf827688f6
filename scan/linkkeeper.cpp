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
    state = State::Closed;
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
    if (result == int(tarvik::Outcome::Success))
        return answered();
    if (!failed(result)) {
        failures = 0;
        return Change::None;
    }
    ++failures;
    if (!carriesRequests() || !rules.enabled)
        return Change::None;
    if (deviceGone(result))
        return drop(now, QStringLiteral("the device is gone"));
    if (failures < rules.failuresInRow)
        return Change::None;
    return drop(now, QStringLiteral("%1 reads in a row failed").arg(failures));
}

// A controller that answers the link check but no read is not up: only an answer proves it.
LinkKeeper::Change LinkKeeper::answered()
{
    failures = 0;
    backoffMs = 0;
    if (state != State::Opened)
        return Change::None;
    state = State::Up;
    told = false;
    reason.clear();
    return Change::CameUp;
}

LinkKeeper::Change LinkKeeper::drop(qint64 now, const QString &why)
{
    driver->DisConnectDrive();
    state = State::Closed;
    reason = why;
    waitLonger(now);
    return toldDown();
}

void LinkKeeper::waitLonger(qint64 now)
{
    backoffMs =
        backoffMs == 0 ? rules.firstBackoffMs : qMin(backoffMs * 2, qint64(rules.longestBackoffMs));
    nextAttempt = now + backoffMs;
}

// Said once per outage, however many connects and drops it takes.
LinkKeeper::Change LinkKeeper::toldDown()
{
    if (told)
        return Change::None;
    told = true;
    return Change::WentDown;
}

LinkKeeper::Change LinkKeeper::attempt(qint64 now)
{
    lastCode = driver->ConnectDrive(connection);
    if (lastCode == 0) {
        state = State::Opened;
        failures = 0;
        return Change::None;
    }
    // A failed UDP connect leaves its socket closed; a serial port that did not open is left too.
    reason = QStringLiteral("connect answered %1").arg(lastCode);
    waitLonger(now);
    return toldDown();
}
