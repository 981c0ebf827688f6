#pragma once

#include "CDriveBaseClass.h"

#include <QString>

// When a link is given up and how soon it is tried again.
struct ReconnectRules
{
    bool enabled = true;
    int failuresInRow = 3; // failed reads in a row that drop the link
    int firstBackoffMs = 500;
    int longestBackoffMs = 30000;
};

// Keeps one driver's link: drops it after too many failed reads in a row, or at once when the
// device is gone, and connects again after a backoff that doubles up to a cap. Each change of
// state is reported once, not per attempt.
class LinkKeeper
{
public:
    enum class Change { None, WentDown, CameUp };

    LinkKeeper(CDriveBaseClass *driver, const QString &connection, const ReconnectRules &rules);

    bool isUp() const { return up; }
    // The link is not open yet: the first attempt is due at now.
    void startDown(qint64 now);
    // After each read, its outcome.
    Change noteRead(int result, qint64 now);
    // When the link is down and nextAttemptMs() has come: one connect. WentDown for the first
    // failed connect of a link that was never said to be down (one that never came up).
    Change attempt(qint64 now);
    qint64 nextAttemptMs() const { return nextAttempt; }
    // Why the link went down, or the last attempt failed, in words.
    QString why() const { return reason; }
    int connectCode() const { return lastCode; }

private:
    bool deviceGone(int result) const;
    void goDown(qint64 now, const QString &why);

    CDriveBaseClass *driver;
    QString connection;
    ReconnectRules rules;
    bool up = true;
    bool told = false; // the link's being down has been reported
    int failures = 0;
    int backoffMs = 0;
    qint64 nextAttempt = 0;
    int lastCode = 0;
    QString reason;
};
