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
// device is gone, and connects again after a backoff that doubles up to a cap. A connect that
// succeeds only opens the link for reads: it counts as up once a read over it is answered. Until
// then its failures drop it as a failed connect would, and the backoff grows on; only an answer
// takes it back to the first. Each change of state is reported once, not per attempt.
class LinkKeeper
{
public:
    enum class Change { None, WentDown, CameUp };

    // The link is open already (and counts as up) until startDown().
    LinkKeeper(CDriveBaseClass *driver, const QString &connection, const ReconnectRules &rules);

    // Connected: reads and writes may be made, answered or not yet.
    bool carriesRequests() const { return state != State::Closed; }
    // Connected and a read answered since (or open when the keeper took it).
    bool isUp() const { return state == State::Up; }
    // The link is not open yet: the first attempt is due at now.
    void startDown(qint64 now);
    // After each read or write, its outcome. CameUp at the first answer after a connect.
    Change noteRead(int result, qint64 now);
    // When the link is closed and nextAttemptMs() has come: one connect. One that succeeds opens
    // the link and says nothing yet. WentDown for the first failed connect of a link that was
    // never said to be down (one that never came up).
    Change attempt(qint64 now);
    qint64 nextAttemptMs() const { return nextAttempt; }
    // Why the link went down, or the last attempt failed, in words.
    QString why() const { return reason; }
    int connectCode() const { return lastCode; }

private:
    enum class State { Closed, Opened, Up };

    bool deviceGone(int result) const;
    Change answered();
    Change drop(qint64 now, const QString &why);
    void waitLonger(qint64 now);
    Change toldDown();

    CDriveBaseClass *driver;
    QString connection;
    ReconnectRules rules;
    State state = State::Up;
    bool told = false; // the link's being down has been reported
    int failures = 0;
    qint64 backoffMs = 0; // the latest wait; 0: the next one is the first
    qint64 nextAttempt = 0;
    int lastCode = 0;
    QString reason;
};
