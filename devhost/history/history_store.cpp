#include "devhost/history/history_store.h"

#include <memory>
#include <stdexcept>

#include <sqlite3.h>

namespace devhost {

namespace {

constexpr const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS history ("
    "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
    "  data_id INTEGER NOT NULL,"
    "  kind INTEGER NOT NULL,"
    "  stored_at_ms INTEGER NOT NULL,"
    "  record BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, id);";

constexpr int kBusyTimeoutMs = 5000;

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

Statement prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string("history: ") + sqlite3_errmsg(db));
    return Statement(statement);
}

}  // namespace

HistoryStore::HistoryStore(const std::string& path) : path_(path)
{
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                        nullptr) != SQLITE_OK) {
        const std::string error = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw std::runtime_error("cannot open history " + path + ": " + error);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    char* error = nullptr;
    const int result = sqlite3_exec(
        db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr, &error);
    const int schema = result == SQLITE_OK ? sqlite3_exec(db_, kSchema, nullptr, nullptr, &error)
                                           : result;
    if (schema != SQLITE_OK || journal_mode_locked() != "wal") {
        const std::string message = error ? error : "the database cannot use WAL mode";
        sqlite3_free(error);
        sqlite3_close(db_);
        throw std::runtime_error("cannot use history " + path + ": " + message);
    }
}

HistoryStore::~HistoryStore() { sqlite3_close(db_); }

std::string HistoryStore::journal_mode() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return journal_mode_locked();
}

std::string HistoryStore::journal_mode_locked() const
{
    Statement statement = prepare(db_, "PRAGMA journal_mode;");
    if (sqlite3_step(statement.get()) != SQLITE_ROW)
        return "";
    return reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
}

bool HistoryStore::append(const StoredRecord& record, std::string& error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO history (data_id, kind, stored_at_ms, record) "
                           "VALUES (?, ?, ?, ?);",
                           -1, &raw, nullptr) != SQLITE_OK) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    Statement statement(raw);
    sqlite3_bind_int64(raw, 1, record.data_id);
    sqlite3_bind_int(raw, 2, record.kind);
    sqlite3_bind_int64(raw, 3, record.stored_at_ms);
    sqlite3_bind_blob(raw, 4, record.bytes.data(), static_cast<int>(record.bytes.size()),
                      SQLITE_TRANSIENT);
    if (sqlite3_step(raw) != SQLITE_DONE) {
        error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

std::optional<StoredRecord> HistoryStore::newest(std::uint32_t data_id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement = prepare(db_,
                                  "SELECT kind, stored_at_ms, record FROM history "
                                  "WHERE data_id = ? ORDER BY id DESC LIMIT 1;");
    sqlite3_bind_int64(statement.get(), 1, data_id);
    if (sqlite3_step(statement.get()) != SQLITE_ROW)
        return std::nullopt;
    StoredRecord record;
    record.data_id = data_id;
    record.kind = sqlite3_column_int(statement.get(), 0);
    record.stored_at_ms = sqlite3_column_int64(statement.get(), 1);
    const auto* bytes = static_cast<const std::uint8_t*>(sqlite3_column_blob(statement.get(), 2));
    record.bytes.assign(bytes, bytes + sqlite3_column_bytes(statement.get(), 2));
    return record;
}

std::size_t HistoryStore::count(std::uint32_t data_id) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    Statement statement = prepare(db_, "SELECT COUNT(*) FROM history WHERE data_id = ?;");
    sqlite3_bind_int64(statement.get(), 1, data_id);
    if (sqlite3_step(statement.get()) != SQLITE_ROW)
        return 0;
    return static_cast<std::size_t>(sqlite3_column_int64(statement.get(), 0));
}

}  // namespace devhost
