#include "SQLiteHistory.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>
#include <set>

namespace {

const char* kSchema =
    "CREATE TABLE IF NOT EXISTS samples(ts INTEGER PRIMARY KEY, cpu REAL, memPct REAL, memUsed REAL,"
    " diskPct REAL, rx REAL, tx REAL);"
    "CREATE TABLE IF NOT EXISTS minutes(ts INTEGER PRIMARY KEY, n INTEGER, cpu REAL, memPct REAL,"
    " memUsed REAL, diskPct REAL, rx REAL, tx REAL);";

bool exec(sqlite3* db, const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool isCorruption(int code) { return code == SQLITE_NOTADB || code == SQLITE_CORRUPT; }

int64_t minuteOf(int64_t ts) { return ts - (((ts % 60000) + 60000) % 60000); }

}  // namespace

std::unique_ptr<SQLiteHistory> SQLiteHistory::open(const std::string& path, std::string& error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        sqlite3* db = nullptr;
        int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
        if (code == SQLITE_OK && sqlite3_db_readonly(db, "main") == 1) {
            code = SQLITE_READONLY;
            error = "database is read-only";
        } else if (code != SQLITE_OK) {
            error = db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
        }
        std::unique_ptr<SQLiteHistory> history;
        if (code == SQLITE_OK) {
            sqlite3_busy_timeout(db, 2000);
            history.reset(new SQLiteHistory(db));
            db = nullptr;
            std::string mode;
            // journal_mode answers with the mode in effect; anything but wal means we could not switch.
            sqlite3_stmt* statement = nullptr;
            if (sqlite3_prepare_v2(history->db_, "PRAGMA journal_mode=WAL", -1, &statement, nullptr) == SQLITE_OK &&
                sqlite3_step(statement) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(statement, 0);
                mode = text ? reinterpret_cast<const char*>(text) : "";
            }
            code = sqlite3_extended_errcode(history->db_) & 0xff;
            sqlite3_finalize(statement);
            if (mode == "wal" && exec(history->db_, "PRAGMA synchronous=NORMAL", error) &&
                exec(history->db_, kSchema, error) && history->prepare(error)) {
                return history;
            }
            if (mode != "wal" && error.empty()) error = sqlite3_errmsg(history->db_);
            code = sqlite3_extended_errcode(history->db_) & 0xff;
            history.reset();
        }
        if (db) sqlite3_close(db);
        if (attempt == 0 && isCorruption(code)) {
            // Keep the damaged file for inspection and start a fresh one.
            const std::string aside = path + ".corrupt-" + std::to_string(std::time(nullptr));
            if (std::rename(path.c_str(), aside.c_str()) == 0) {
                std::remove((path + "-wal").c_str());
                std::remove((path + "-shm").c_str());
                error.clear();
                continue;
            }
        }
        return nullptr;
    }
    return nullptr;
}

SQLiteHistory::~SQLiteHistory() {
    for (sqlite3_stmt* s : {insertRaw_, rollUp_, selectRaw_, selectMinutes_, pruneRaw_, pruneMinutes_, newest_}) {
        sqlite3_finalize(s);
    }
    sqlite3_close(db_);
}

bool SQLiteHistory::prepare(std::string& error) {
    struct Item {
        sqlite3_stmt** target;
        const char* sql;
    } items[] = {
        {&insertRaw_, "INSERT OR REPLACE INTO samples VALUES(?1,?2,?3,?4,?5,?6,?7)"},
        {&rollUp_,
         "INSERT OR REPLACE INTO minutes SELECT ?1, COUNT(*), AVG(cpu), AVG(memPct), AVG(memUsed), AVG(diskPct),"
         " AVG(rx), AVG(tx) FROM samples WHERE ts >= ?1 AND ts < ?1 + 60000"},
        {&selectRaw_, "SELECT ts, 1, cpu, memPct, memUsed, diskPct, rx, tx FROM samples WHERE ts >= ?1 AND ts < ?2"
                      " ORDER BY ts"},
        {&selectMinutes_, "SELECT ts, n, cpu, memPct, memUsed, diskPct, rx, tx FROM minutes WHERE ts >= ?1 AND ts < ?2"
                          " ORDER BY ts"},
        {&pruneRaw_, "DELETE FROM samples WHERE ts < ?1"},
        {&pruneMinutes_, "DELETE FROM minutes WHERE ts < ?1"},
        {&newest_, "SELECT COALESCE(MAX(ts), 0) FROM samples"},
    };
    for (const Item& item : items) {
        if (sqlite3_prepare_v2(db_, item.sql, -1, item.target, nullptr) != SQLITE_OK) {
            error = sqlite3_errmsg(db_);
            return false;
        }
    }
    return true;
}

bool SQLiteHistory::insert(const std::vector<MetricSample>& samples) {
    std::string error;
    if (!exec(db_, "BEGIN", error)) return false;
    bool ok = true;
    std::set<int64_t> minutes;
    for (const MetricSample& s : samples) {
        if (!ok) break;
        sqlite3_reset(insertRaw_);
        sqlite3_bind_int64(insertRaw_, 1, s.ts);
        sqlite3_bind_double(insertRaw_, 2, s.cpuUsage);
        sqlite3_bind_double(insertRaw_, 3, s.memoryPercent);
        sqlite3_bind_double(insertRaw_, 4, static_cast<double>(s.memoryUsed));
        sqlite3_bind_double(insertRaw_, 5, s.diskPercent);
        sqlite3_bind_double(insertRaw_, 6, s.rxBps);
        sqlite3_bind_double(insertRaw_, 7, s.txBps);
        ok = sqlite3_step(insertRaw_) == SQLITE_DONE;
        sqlite3_reset(insertRaw_);
        minutes.insert(minuteOf(s.ts));
    }
    // Each touched minute is rebuilt from its raw rows, so late or repeated samples stay right.
    for (const int64_t minute : minutes) {
        if (!ok) break;
        sqlite3_reset(rollUp_);
        sqlite3_bind_int64(rollUp_, 1, minute);
        ok = sqlite3_step(rollUp_) == SQLITE_DONE;
        sqlite3_reset(rollUp_);
    }
    if (!ok) {
        exec(db_, "ROLLBACK", error);
        return false;
    }
    return exec(db_, "COMMIT", error);
}

bool SQLiteHistory::prune(int64_t rawCutoffMs, int64_t minuteCutoffMs) {
    bool ok = true;
    for (auto [statement, cutoff] : {std::pair{pruneRaw_, rawCutoffMs}, std::pair{pruneMinutes_, minuteCutoffMs}}) {
        sqlite3_reset(statement);
        sqlite3_bind_int64(statement, 1, cutoff);
        ok = ok && sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_reset(statement);
    }
    return ok;
}

std::vector<HistoryRow> SQLiteHistory::rows(sqlite3_stmt* statement, int64_t fromMs, int64_t toMs) {
    std::vector<HistoryRow> result;
    sqlite3_reset(statement);
    sqlite3_bind_int64(statement, 1, fromMs);
    sqlite3_bind_int64(statement, 2, toMs);
    while (sqlite3_step(statement) == SQLITE_ROW) {
        result.push_back(HistoryRow{sqlite3_column_int64(statement, 0), sqlite3_column_int64(statement, 1),
                                    sqlite3_column_double(statement, 2), sqlite3_column_double(statement, 3),
                                    sqlite3_column_double(statement, 4), sqlite3_column_double(statement, 5),
                                    sqlite3_column_double(statement, 6), sqlite3_column_double(statement, 7)});
    }
    sqlite3_reset(statement);
    return result;
}

std::vector<HistoryRow> SQLiteHistory::rawRows(int64_t fromMs, int64_t toMs) { return rows(selectRaw_, fromMs, toMs); }

std::vector<HistoryRow> SQLiteHistory::minuteRows(int64_t fromMs, int64_t toMs) {
    return rows(selectMinutes_, fromMs, toMs);
}

int64_t SQLiteHistory::newestTimestamp() {
    sqlite3_reset(newest_);
    int64_t result = 0;
    if (sqlite3_step(newest_) == SQLITE_ROW) result = sqlite3_column_int64(newest_, 0);
    sqlite3_reset(newest_);
    return result;
}
