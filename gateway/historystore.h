#pragma once

#include "publishqueue.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QString>
#include <QVector>

struct sqlite3;

// A stored batch of one controller's records, oldest first by id.
struct HeldBatch
{
    qint64 id = 0;
    QString controller;
    int count = 0;
    qint64 heldAtMs = 0; // when it was written, ms since the epoch
    QByteArray records;
};

struct StoreFigures
{
    qint64 heldValues = 0;
    qint64 bytesOnDisk = 0;
    qint64 oldestAgeS = 0;
    qint64 delivered = 0;
    qint64 dropped = 0;
    QMap<QString, qint64> droppedBy; // controller -> values of its history dropped
};

// The values that could not go to the broker, on disk until they have been delivered: one SQLite
// database in WAL mode, held open and locked by this gateway alone. What is taken is kept in
// memory until commit(), which the gateway calls at least every second, so a kill loses at most
// that; each commit is one transaction, synced, so a kill in the middle of one loses that
// transaction and never the database. Batches are compressed: values of one controller look
// alike.
//
// The database file never grows beyond the cap: the oldest batches give way to new ones, and
// their values are counted as dropped, per controller. A full disk is handled the same way, and
// what still does not fit is dropped and counted; either is said once per episode in the log.
class HistoryStore
{
public:
    HistoryStore() = default;
    ~HistoryStore();
    HistoryStore(const HistoryStore &) = delete;
    HistoryStore &operator=(const HistoryStore &) = delete;

    // "" or why the store cannot be used.
    QString open(const QString &path, qint64 capBytes);
    bool isOpen() const { return db != nullptr; }
    const QString &path() const { return filePath; }
    void setCap(qint64 capBytes);

    void hold(const HeldRecords &held);
    // Writes what was held and forgets what was delivered since the last commit.
    void commit();
    // The oldest batches after the one with id `after`, at most `maxBatches`.
    QVector<HeldBatch> oldest(qint64 after, int maxBatches);
    // A batch the broker has: it goes at the next commit.
    void delivered(qint64 id, int count);

    StoreFigures figures() const;
    bool isEmpty() const { return heldValues == 0 && pending.isEmpty(); }

    // The records a batch holds, as they were given.
    static QByteArray recordsOf(const QByteArray &stored);
    // Batches are cut at this many values so that each goes out as one message of sensible size.
    static constexpr int batchValues = 1000;

private:
    bool execute(const char *sql);
    QString sqliteWords() const;
    bool insertPending(int *rc);
    bool dropOldest(qint64 neededBytes);
    qint64 usedBytes();
    void readTotals();
    void close();
    void dropPending();
    void failed();
    void endEpisodes();

    sqlite3 *db = nullptr;
    QString filePath;
    qint64 cap = 0;
    qint64 pageSize = 4096;
    // Taken since the last commit, per controller, in order.
    QVector<HeldRecords> pending;
    QHash<QString, int> pendingAt; // controller -> its open batch in pending
    QVector<QPair<qint64, int>> deliveredIds;
    qint64 heldValues = 0;
    qint64 oldestHeldMs = 0;
    qint64 deliveredCount = 0;
    qint64 droppedCount = 0;
    QMap<QString, qint64> droppedBy;
    // Episodes told in the log: values dropped for the cap, or because the disk is full.
    qint64 capEpisodeDropped = -1;
    qint64 diskEpisodeDropped = -1;
    bool diskFull = false; // met in the commit under way
};
