#pragma once
// History in an SQLite database (WAL mode) in the data directory.
#include "HistoryStore.h"

#include <string>

struct sqlite3;
struct sqlite3_stmt;

class SQLiteHistory final : public HistoryBackend {
public:
    // Opens or creates the database; nothing when that fails (error says why).
    static std::unique_ptr<SQLiteHistory> open(const std::string& path, std::string& error);
    ~SQLiteHistory() override;

    bool insert(const std::vector<MetricSample>& samples) override;
    bool prune(int64_t rawCutoffMs, int64_t minuteCutoffMs) override;
    std::vector<HistoryRow> rawRows(int64_t fromMs, int64_t toMs) override;
    std::vector<HistoryRow> minuteRows(int64_t fromMs, int64_t toMs) override;
    int64_t newestTimestamp() override;

private:
    explicit SQLiteHistory(sqlite3* db) : db_(db) {}
    bool prepare(std::string& error);
    std::vector<HistoryRow> rows(sqlite3_stmt* statement, int64_t fromMs, int64_t toMs);

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insertRaw_ = nullptr;
    sqlite3_stmt* rollUp_ = nullptr;
    sqlite3_stmt* selectRaw_ = nullptr;
    sqlite3_stmt* selectMinutes_ = nullptr;
    sqlite3_stmt* pruneRaw_ = nullptr;
    sqlite3_stmt* pruneMinutes_ = nullptr;
    sqlite3_stmt* newest_ = nullptr;
};
