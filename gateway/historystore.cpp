#include "historystore.h"

#include "gatewaylog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <sqlite3.h>

namespace {

constexpr int schemaVersion = 1;
// Room a row takes besides its records: the key, the controller's name, the counts.
constexpr qint64 rowOverheadBytes = 64;
// Values are compressed quickly rather than tightly: the store writes while the gateway scans.
constexpr int compressionLevel = 1;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// One prepared statement, finalized when it goes out of scope.
class Statement
{
public:
    Statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr); }
    ~Statement() { sqlite3_finalize(stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return stmt != nullptr; }
    sqlite3_stmt *operator*() const { return stmt; }
    int step() { return stmt ? sqlite3_step(stmt) : SQLITE_ERROR; }
    qint64 integer(int column) const { return sqlite3_column_int64(stmt, column); }
    QString text(int column) const
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, column)),
                                 sqlite3_column_bytes(stmt, column));
    }
    QByteArray blob(int column) const
    {
        return QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, column)),
                          sqlite3_column_bytes(stmt, column));
    }

private:
    sqlite3_stmt *stmt = nullptr;
};

qint64 pragmaNumber(sqlite3 *db, const char *sql)
{
    Statement s(db, sql);
    return s.step() == SQLITE_ROW ? s.integer(0) : 0;
}

} // namespace

HistoryStore::~HistoryStore()
{
    commit();
    close();
}

void HistoryStore::close()
{
    if (db)
        sqlite3_close(db);
    db = nullptr;
}

QString HistoryStore::sqliteWords() const
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}

bool HistoryStore::execute(const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

QString HistoryStore::open(const QString &path, qint64 capBytes)
{
    filePath = path;
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        return QStringLiteral("cannot make the folder %1").arg(dir);
    if (sqlite3_open_v2(path.toUtf8().constData(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        const QString why = sqliteWords();
        close();
        return QStringLiteral("cannot open %1: %2").arg(path, why);
    }
    // Held for as long as the gateway runs: a second gateway given the same file is refused
    // instead of mixing its history into this one's. Without shared memory, the log of writes
    // needs no third file.
    execute("PRAGMA locking_mode=EXCLUSIVE");
    const bool wal = execute("PRAGMA journal_mode=WAL") && execute("PRAGMA synchronous=FULL");
    // Taking the lock now: busy means another process has the file.
    if (!wal || !execute("BEGIN IMMEDIATE")) {
        const bool busy = sqlite3_errcode(db) == SQLITE_BUSY;
        const QString why =
            busy ? QStringLiteral("another process (a second gateway?) holds it") : sqliteWords();
        close();
        return QStringLiteral("cannot use %1: %2").arg(path, why);
    }
    const qint64 version = pragmaNumber(db, "PRAGMA user_version");
    const bool made = version == 0 &&
                      execute("CREATE TABLE IF NOT EXISTS history(id INTEGER PRIMARY KEY "
                              "AUTOINCREMENT, controller TEXT NOT NULL, held_ms INTEGER NOT "
                              "NULL, count INTEGER NOT NULL, records BLOB NOT NULL)") &&
                      execute("PRAGMA user_version=1");
    if ((version != 0 && version != schemaVersion) || (version == 0 && !made) ||
        !execute("COMMIT")) {
        const QString why =
            version > schemaVersion
                ? QStringLiteral("written by a newer gateway (version %1)").arg(version)
                : sqliteWords();
        close();
        return QStringLiteral("cannot use %1: %2").arg(path, why);
    }
    pageSize = qMax<qint64>(512, pragmaNumber(db, "PRAGMA page_size"));
    setCap(capBytes);
    readTotals();
    return QString();
}

// The database file never grows beyond the cap: past it SQLite answers "full", as a full disk
// would, and the oldest batches make room.
// The log of writes beside it is folded in and cut back once it holds a quarter of the cap (at
// most 4 MiB), so the two files together stay within a quarter more than the cap.
void HistoryStore::setCap(qint64 capBytes)
{
    cap = capBytes;
    if (!db)
        return;
    const qint64 walBytes = qMin<qint64>(4 << 20, cap / 4);
    for (const QByteArray &sql :
         {"PRAGMA max_page_count=" + QByteArray::number(qMax<qint64>(16, cap / pageSize)),
          "PRAGMA journal_size_limit=" + QByteArray::number(walBytes),
          "PRAGMA wal_autocheckpoint=" + QByteArray::number(qMax<qint64>(4, walBytes / pageSize))})
        execute(sql.constData());
}

void HistoryStore::readTotals()
{
    Statement s(db, "SELECT coalesce(sum(count),0), coalesce(min(held_ms),0) FROM history");
    if (s.step() == SQLITE_ROW) {
        heldValues = s.integer(0);
        oldestHeldMs = s.integer(1);
    }
}

void HistoryStore::hold(const HeldRecords &held)
{
    if (held.count <= 0)
        return;
    const auto open = pendingAt.constFind(held.controller);
    if (open != pendingAt.constEnd() && pending[*open].count + held.count <= batchValues) {
        HeldRecords &batch = pending[*open];
        batch.records += ',';
        batch.records += held.records;
        batch.count += held.count;
        return;
    }
    pendingAt.insert(held.controller, pending.size());
    pending.append(held);
}

qint64 HistoryStore::usedBytes()
{
    return (pragmaNumber(db, "PRAGMA page_count") - pragmaNumber(db, "PRAGMA freelist_count")) *
           pageSize;
}

// Deletes the oldest batches until `neededBytes` more fit under the cap; false when the store
// has nothing left to give.
bool HistoryStore::dropOldest(qint64 neededBytes)
{
    while (usedBytes() + neededBytes > cap) {
        Statement oldestRow(db, "SELECT id, controller, count FROM history ORDER BY id LIMIT 1");
        if (oldestRow.step() != SQLITE_ROW)
            return false;
        Statement remove(db, "DELETE FROM history WHERE id=?");
        sqlite3_bind_int64(*remove, 1, oldestRow.integer(0));
        if (remove.step() != SQLITE_DONE)
            return false;
        const qint64 count = oldestRow.integer(2);
        heldValues -= count;
        droppedCount += count;
        droppedBy[oldestRow.text(1)] += count;
        if (capEpisodeDropped < 0) {
            logLine(LogLevel::Warning,
                    QStringLiteral("store: %1 is at its cap of %2 bytes; the oldest history "
                                   "gives way to new values")
                        .arg(filePath)
                        .arg(cap));
            capEpisodeDropped = 0;
        }
        capEpisodeDropped += count;
    }
    return true;
}

// Each pending batch is inserted; one that meets a full store or disk first makes room from the
// oldest history, and is dropped and counted when there is none left to make.
bool HistoryStore::insertPending(int *rc)
{
    Statement insert(db, "INSERT INTO history(controller, held_ms, count, records) "
                         "VALUES(?,?,?,?)");
    if (!insert.ok()) {
        *rc = sqlite3_errcode(db);
        return false;
    }
    const qint64 now = nowMs();
    for (const HeldRecords &batch : qAsConst(pending)) {
        const QByteArray stored = qCompress(batch.records, compressionLevel);
        const QByteArray name = batch.controller.toUtf8();
        bool held = false;
        for (int attempt = 0; attempt < 2 && !held; ++attempt) {
            if (!dropOldest(stored.size() + rowOverheadBytes) && attempt > 0)
                break;
            sqlite3_reset(*insert);
            sqlite3_bind_text(*insert, 1, name.constData(), name.size(), SQLITE_STATIC);
            sqlite3_bind_int64(*insert, 2, now);
            sqlite3_bind_int(*insert, 3, batch.count);
            sqlite3_bind_blob(*insert, 4, stored.constData(), stored.size(), SQLITE_STATIC);
            *rc = insert.step();
            held = *rc == SQLITE_DONE;
            diskFull = diskFull || *rc == SQLITE_FULL;
            if (!held && *rc != SQLITE_FULL)
                return false;
            if (!held && sqlite3_get_autocommit(db))
                return false; // the whole transaction went back
            // Full: the next attempt makes room for twice what this one needed.
            if (!held && !dropOldest(2 * (stored.size() + rowOverheadBytes)))
                break;
        }
        if (!held) {
            droppedCount += batch.count;
            droppedBy[batch.controller] += batch.count;
            if (diskEpisodeDropped < 0) {
                logLine(LogLevel::Error,
                        QStringLiteral("store: %1 cannot take more (the disk is full or the cap "
                                       "too small); new history is dropped")
                            .arg(filePath));
                diskEpisodeDropped = 0;
            }
            diskEpisodeDropped += batch.count;
            continue;
        }
        heldValues += batch.count;
        if (heldValues == batch.count)
            oldestHeldMs = now;
    }
    return true;
}

void HistoryStore::commit()
{
    if (!db || (pending.isEmpty() && deliveredIds.isEmpty()))
        return;
    // Counted only once the transaction is on disk; a failed one changed nothing.
    const qint64 droppedBefore = droppedCount;
    const QMap<QString, qint64> droppedByBefore = droppedBy;
    const qint64 heldBefore = heldValues;
    qint64 deliveredNow = 0;
    bool ok = execute("BEGIN IMMEDIATE");
    for (int i = 0; ok && i < deliveredIds.size(); ++i) {
        Statement remove(db, "DELETE FROM history WHERE id=?");
        sqlite3_bind_int64(*remove, 1, deliveredIds[i].first);
        ok = remove.step() == SQLITE_DONE;
        if (ok && sqlite3_changes(db) > 0) {
            heldValues -= deliveredIds[i].second;
            deliveredNow += deliveredIds[i].second;
        }
    }
    int rc = SQLITE_OK;
    diskFull = false;
    const bool inserted = ok && insertPending(&rc);
    if (!inserted || !execute("COMMIT")) {
        failed();
        droppedCount = droppedBefore;
        droppedBy = droppedByBefore;
        heldValues = heldBefore;
        for (const HeldRecords &batch : qAsConst(pending)) {
            droppedCount += batch.count;
            droppedBy[batch.controller] += batch.count;
            diskEpisodeDropped += batch.count;
        }
        dropPending();
        return;
    }
    deliveredCount += deliveredNow;
    deliveredIds.clear();
    dropPending();
    endEpisodes();
    Statement oldestRow(db, "SELECT held_ms FROM history ORDER BY id LIMIT 1");
    oldestHeldMs = oldestRow.step() == SQLITE_ROW ? oldestRow.integer(0) : 0;
}

// Nothing of this commit is on disk: what was to be held is lost (and counted), the deliveries
// are tried again with the next one. Said once until a commit succeeds, however often it fails.
void HistoryStore::failed()
{
    if (diskEpisodeDropped < 0) {
        logLine(LogLevel::Error, QStringLiteral("store: writing %1 failed (%2); new history is "
                                                "dropped until it can be written")
                                     .arg(filePath, sqliteWords()));
        diskEpisodeDropped = 0;
    }
    diskFull = true;
    execute("ROLLBACK");
}

void HistoryStore::dropPending()
{
    pending.clear();
    pendingAt.clear();
}

// A store at its cap stays there while the broker is away; the episode ends once delivery has
// made room again. A full disk ends with the first commit that held all it was given.
void HistoryStore::endEpisodes()
{
    if (capEpisodeDropped >= 0 && usedBytes() < cap / 10 * 9) {
        logLine(LogLevel::Notice, QStringLiteral("store: %1 values of the oldest history were "
                                                 "dropped to stay within %2 bytes; now ended")
                                      .arg(capEpisodeDropped)
                                      .arg(cap));
        capEpisodeDropped = -1;
    }
    if (diskEpisodeDropped >= 0 && !diskFull) {
        logLine(LogLevel::Notice,
                QStringLiteral("store: %1 can take history again; %2 values were dropped")
                    .arg(filePath)
                    .arg(diskEpisodeDropped));
        diskEpisodeDropped = -1;
    }
}

QVector<HeldBatch> HistoryStore::oldest(qint64 after, int maxBatches)
{
    QVector<HeldBatch> batches;
    if (!db)
        return batches;
    Statement s(db, "SELECT id, controller, count, held_ms, records FROM history WHERE id>? "
                    "ORDER BY id LIMIT ?");
    sqlite3_bind_int64(*s, 1, after);
    sqlite3_bind_int(*s, 2, maxBatches);
    while (s.step() == SQLITE_ROW)
        batches.append({s.integer(0), s.text(1), int(s.integer(2)), s.integer(3), s.blob(4)});
    return batches;
}

QByteArray HistoryStore::recordsOf(const QByteArray &stored)
{
    return qUncompress(stored);
}

void HistoryStore::delivered(qint64 id, int count)
{
    deliveredIds.append({id, count});
}

StoreFigures HistoryStore::figures() const
{
    StoreFigures f;
    f.heldValues = heldValues;
    for (const HeldRecords &batch : pending)
        f.heldValues += batch.count;
    f.bytesOnDisk = QFileInfo(filePath).size() + QFileInfo(filePath + "-wal").size();
    f.oldestAgeS = oldestHeldMs > 0 ? (nowMs() - oldestHeldMs) / 1000 : 0;
    f.delivered = deliveredCount;
    f.dropped = droppedCount;
    f.droppedBy = droppedBy;
    return f;
}
