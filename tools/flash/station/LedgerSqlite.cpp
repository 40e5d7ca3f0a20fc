// The ledger as an SQLite file (WAL, every commit synced), shared by the
// stations of one machine. Which station still runs is told by a lock file
// per process beside the database: the kernel drops its lock when the
// process dies, however it dies.
#include "Ledger.h"

#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <glob.h>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace flasher {

namespace {

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS flashes ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT, station TEXT, started_at TEXT NOT NULL, ended_at TEXT,"
    " port TEXT, device TEXT, report_before TEXT, report_after TEXT, file_name TEXT, file_sha1 TEXT,"
    " app_before TEXT, app_after TEXT, boot_before TEXT, boot_after TEXT, outcome TEXT, result INTEGER,"
    " cause TEXT, device_state TEXT, tries INTEGER, seconds REAL, tool_version TEXT, library_version TEXT);"
    // Which process holds an open row; gone once the row is completed.
    "CREATE TABLE IF NOT EXISTS flash_owners (flash_id INTEGER PRIMARY KEY, host TEXT, pid INTEGER);";

std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return stmt_ != nullptr; }
    void Text(int index, const std::string& text)
    {
        if (text.empty())
            sqlite3_bind_null(stmt_, index);
        else
            sqlite3_bind_text(stmt_, index, text.c_str(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void Int(int index, int64_t value) { sqlite3_bind_int64(stmt_, index, value); }
    void OptionalInt(int index, const std::optional<int32_t>& value)
    {
        if (value)
            Int(index, *value);
        else
            sqlite3_bind_null(stmt_, index);
    }
    void OptionalReal(int index, const std::optional<double>& value)
    {
        if (value)
            sqlite3_bind_double(stmt_, index, *value);
        else
            sqlite3_bind_null(stmt_, index);
    }
    int Step() { return sqlite3_step(stmt_); }
    std::string ColumnText(int column) const
    {
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        return text ? reinterpret_cast<const char*>(text) : "";
    }
    bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    int64_t ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }
    double ColumnReal(int column) const { return sqlite3_column_double(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteLedger : public Ledger {
public:
    ~SqliteLedger() override
    {
        if (db_)
            sqlite3_close(db_);
        if (lock_ >= 0) {
            unlink(LockPath(getpid()).c_str());
            close(lock_);
        }
    }

    bool Open(const std::string& path, bool forStation, std::string& error)
    {
        path_ = path;
        host_ = HostName();
        int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX | (forStation ? SQLITE_OPEN_CREATE : 0);
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK)
            return Failed("cannot be opened", error);
        // Several stations write at once: a writer waits its turn.
        sqlite3_busy_timeout(db_, 30000);
        if (!Exec("PRAGMA journal_mode=WAL", error) || !Exec("PRAGMA synchronous=FULL", error) ||
            !Exec(kSchema, error))
            return false;
        if (!forStation)
            return true;
        if (!TakeLock())
            return Failed("its lock file " + LockPath(getpid()) + " cannot be taken", error, false);
        RemoveStaleLocks();
        return MarkInterrupted(error);
    }

    bool Begin(FlashRecord& record, std::string& error) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Exec("BEGIN IMMEDIATE", error))
            return false;
        Statement insert(db_,
                         "INSERT INTO flashes (station, started_at, port, device, report_before, file_name, file_sha1,"
                         " app_before, boot_before, tries, tool_version, library_version)"
                         " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
        if (!insert.Ok())
            return Rollback(error);
        insert.Text(1, record.station);
        insert.Text(2, record.startedAt);
        insert.Text(3, record.port);
        insert.Text(4, record.device);
        insert.Text(5, record.reportBefore);
        insert.Text(6, record.fileName);
        insert.Text(7, record.fileSha1);
        insert.Text(8, record.appBefore);
        insert.Text(9, record.bootBefore);
        insert.Int(10, record.tries);
        insert.Text(11, record.toolVersion);
        insert.Text(12, record.libraryVersion);
        if (insert.Step() != SQLITE_DONE)
            return Rollback(error);
        record.id = sqlite3_last_insert_rowid(db_);
        Statement owner(db_, "INSERT OR REPLACE INTO flash_owners (flash_id, host, pid) VALUES (?1, ?2, ?3)");
        if (!owner.Ok())
            return Rollback(error);
        owner.Int(1, record.id);
        owner.Text(2, host_);
        owner.Int(3, getpid());
        if (owner.Step() != SQLITE_DONE)
            return Rollback(error);
        return Exec("COMMIT", error);
    }

    bool Complete(const FlashRecord& r, std::string& error) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Exec("BEGIN IMMEDIATE", error))
            return false;
        Statement update(db_,
                         "UPDATE flashes SET ended_at = ?2, report_after = ?3, app_after = ?4, boot_after = ?5,"
                         " outcome = ?6, result = ?7, cause = ?8, device_state = ?9, tries = ?10, seconds = ?11,"
                         " app_before = ?12, boot_before = ?13 WHERE id = ?1");
        if (!update.Ok())
            return Rollback(error);
        update.Int(1, r.id);
        update.Text(2, r.endedAt);
        update.Text(3, r.reportAfter);
        update.Text(4, r.appAfter);
        update.Text(5, r.bootAfter);
        update.Text(6, r.outcome);
        update.OptionalInt(7, r.result);
        update.Text(8, r.cause);
        update.Text(9, r.deviceState);
        update.Int(10, r.tries);
        update.OptionalReal(11, r.seconds);
        update.Text(12, r.appBefore);
        update.Text(13, r.bootBefore);
        if (update.Step() != SQLITE_DONE)
            return Rollback(error);
        Statement owner(db_, "DELETE FROM flash_owners WHERE flash_id = ?1");
        owner.Int(1, r.id);
        if (!owner.Ok() || owner.Step() != SQLITE_DONE)
            return Rollback(error);
        return Exec("COMMIT", error);
    }

    bool Select(const LedgerFilter& filter, std::vector<FlashRecord>& rows, std::string& error) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Statement select(db_,
                         "SELECT id, station, started_at, ended_at, port, device, report_before, report_after,"
                         " file_name, file_sha1, app_before, app_after, boot_before, boot_after, outcome, result,"
                         " cause, device_state, tries, seconds, tool_version, library_version FROM flashes"
                         " WHERE (?1 IS NULL OR started_at >= ?1) AND (?2 IS NULL OR port = ?2)"
                         " AND (?3 IS NULL OR outcome = ?3) ORDER BY id");
        if (!select.Ok())
            return Failed("cannot be read", error, true);
        select.Text(1, filter.since);
        select.Text(2, filter.port);
        select.Text(3, filter.outcome);
        int step;
        while ((step = select.Step()) == SQLITE_ROW) {
            FlashRecord r;
            r.id = select.ColumnInt(0);
            std::string* texts[] = {&r.station,    &r.startedAt,  &r.endedAt,   &r.port,      &r.device,
                                    &r.reportBefore, &r.reportAfter, &r.fileName, &r.fileSha1, &r.appBefore,
                                    &r.appAfter,   &r.bootBefore, &r.bootAfter, &r.outcome};
            for (int i = 0; i < 14; ++i)
                *texts[i] = select.ColumnText(i + 1);
            if (!select.IsNull(15))
                r.result = static_cast<int32_t>(select.ColumnInt(15));
            r.cause = select.ColumnText(16);
            r.deviceState = select.ColumnText(17);
            r.tries = static_cast<int>(select.ColumnInt(18));
            if (!select.IsNull(19))
                r.seconds = select.ColumnReal(19);
            r.toolVersion = select.ColumnText(20);
            r.libraryVersion = select.ColumnText(21);
            rows.push_back(std::move(r));
        }
        return step == SQLITE_DONE || Failed("cannot be read", error, true);
    }

    int Interrupted() const override { return interrupted_; }

private:
    std::string LockPath(long pid) const { return path_ + "-station-" + std::to_string(pid) + ".lock"; }

    // Another station that judges this one ended may remove the file
    // between its creation and its lock: then it is made again.
    bool TakeLock()
    {
        std::string path = LockPath(getpid());
        for (int attempt = 0; attempt < 10; ++attempt) {
            int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (fd < 0)
                return false;
            struct stat held {}, named {};
            if (flock(fd, LOCK_EX | LOCK_NB) == 0 && fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 &&
                held.st_ino == named.st_ino && held.st_dev == named.st_dev) {
                lock_ = fd;
                return true;
            }
            close(fd);
        }
        return false;
    }

    // Lock files of stations that ended without an open row.
    void RemoveStaleLocks() const
    {
        std::string pattern = path_ + "-station-*.lock";
        glob_t found{};
        if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                std::string name = found.gl_pathv[i];
                size_t at = name.rfind("-station-") + 9;
                long pid = std::strtol(name.c_str() + at, nullptr, 10);
                if (pid > 0)
                    Running(host_, pid);
            }
        globfree(&found);
    }

    // A station whose lock file is gone or can be locked has ended.
    bool Running(const std::string& host, long pid) const
    {
        if (host != host_)
            return true;   // another machine's: not ours to judge
        if (pid == getpid())
            return true;
        int fd = ::open(LockPath(pid).c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            return false;
        bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
        if (!held)
            unlink(LockPath(pid).c_str());
        close(fd);
        return held;
    }

    bool MarkInterrupted(std::string& error)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!Exec("BEGIN IMMEDIATE", error))
            return false;
        std::vector<int64_t> gone;
        {
            Statement open(db_, "SELECT f.id, o.host, o.pid FROM flashes f LEFT JOIN flash_owners o"
                                " ON o.flash_id = f.id WHERE f.outcome IS NULL");
            if (!open.Ok())
                return Rollback(error);
            while (open.Step() == SQLITE_ROW)
                if (open.IsNull(1) || !Running(open.ColumnText(1), static_cast<long>(open.ColumnInt(2))))
                    gone.push_back(open.ColumnInt(0));
        }
        for (int64_t id : gone) {
            Statement mark(db_, "UPDATE flashes SET outcome = 'interrupted',"
                                " cause = 'the station ended while the device was taken (killed, crashed or"
                                " powered off)' WHERE id = ?1");
            Statement owner(db_, "DELETE FROM flash_owners WHERE flash_id = ?1");
            if (!mark.Ok() || !owner.Ok())
                return Rollback(error);
            mark.Int(1, id);
            owner.Int(1, id);
            if (mark.Step() != SQLITE_DONE || owner.Step() != SQLITE_DONE)
                return Rollback(error);
        }
        interrupted_ = static_cast<int>(gone.size());
        return Exec("COMMIT", error);
    }

    bool Exec(const char* sql, std::string& error)
    {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK)
            return true;
        error = "the ledger " + path_ + ": " + (message ? message : sqlite3_errmsg(db_));
        sqlite3_free(message);
        return false;
    }

    bool Rollback(std::string& error)
    {
        error = "the ledger " + path_ + ": " + sqlite3_errmsg(db_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }

    bool Failed(const std::string& what, std::string& error, bool withSqlite = true)
    {
        error = "the ledger " + path_ + " " + what;
        if (withSqlite && db_)
            error += std::string(": ") + sqlite3_errmsg(db_);
        return false;
    }

    sqlite3* db_ = nullptr;
    std::string path_;
    std::string host_;
    int lock_ = -1;
    int interrupted_ = 0;
    std::mutex mutex_;
};

} // namespace

std::unique_ptr<Ledger> OpenLedger(const std::string& path, bool forStation, std::string& error)
{
    auto ledger = std::make_unique<SqliteLedger>();
    if (!ledger->Open(path, forStation, error))
        return nullptr;
    return ledger;
}

} // namespace flasher
