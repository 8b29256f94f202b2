// Device records kept as history in an SQLite database: one row per record
// with its data id, record kind, storage time and bytes. The database runs in
// WAL mode with full sync, so a record reported stored survives the process
// being killed (and the machine losing power) right after. Safe to use from
// several threads: one operation at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace devhost {

struct StoredRecord {
    std::uint32_t data_id = 0;
    int kind = 0;
    std::int64_t stored_at_ms = 0;  // Unix time, milliseconds
    std::vector<std::uint8_t> bytes;
};

class HistoryStore {
public:
    // Opens or creates the database; throws std::runtime_error naming the
    // path and SQLite's error.
    explicit HistoryStore(const std::string& path);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // True once the row is committed; false (and error set) otherwise.
    bool append(const StoredRecord& record, std::string& error);

    // The record stored last for this data id.
    std::optional<StoredRecord> newest(std::uint32_t data_id) const;
    std::size_t count(std::uint32_t data_id) const;

    std::string journal_mode() const;

private:
    std::string journal_mode_locked() const;

    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace devhost
