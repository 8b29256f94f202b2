// What a correct module answers to the check's fixed inputs, written down
// independently of the module's code: the register blocks of the two
// rounds, the snapshot members each gives, the host calls of a round and of
// the writes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace kpmcheck::known {

constexpr int kRecordKind = 5156;
constexpr std::size_t kRecordSize = 131;
constexpr std::size_t kStampOffset = 124;  // the round's local time, 7 bytes
constexpr std::uint32_t kDataId = 0x4B504D31;
constexpr int kBlockStart = 10;
constexpr int kBlockCount = 60;
constexpr std::size_t kQuantityWords = 30;  // words 30..59 are carried, not interpreted

using Block = std::array<std::uint16_t, kBlockCount>;

enum class Round { FromRegisters, FromCache };

// One member of the snapshot object: its key as UTF-8 and as the JSON text
// writes it, the register word it comes from, and per round the raw word
// and the number as the text shows it. The number is the word, or for the
// powers the word divided by 1000 in single precision and widened.
struct Member {
    const char* key;
    const char* escaped_key;
    int word;  // -1: the update time
    std::uint16_t registers_raw;
    const char* registers_text;
    std::uint16_t cache_raw;
    const char* cache_text;
};

constexpr int kUpdateTime = -1;
constexpr std::size_t kMemberCount = 31;
// In the order the snapshot text lists them (keys by their UTF-8 bytes).
extern const Member kMembers[kMemberCount];

Block block_of(Round round);
// The record the module publishes, up to the time stamp, for a block.
std::vector<std::uint8_t> record_head(const Block& block);
const char* member_text(const Member& member, Round round);
// The 801 text of a round, its update time given as "2024-3-5 7:8:9".
std::string snapshot_text(Round round, const std::string& update_time);

// The configuration the check hands the device; the module passes it to
// the host unchanged.
constexpr char kSettings[] =
    R"({"appSetting": {"b_mode": "1"}, "port": "/dev/ttyS1", "baud": 9600, "slave": 1})";

// Host operations, in order, of a poll and of the round its reply completes.
extern const std::vector<std::string> kPollCalls;
extern const std::vector<std::string> kRoundCalls;

struct SingleWrite {
    std::uint16_t address;
    std::uint16_t value;
};
constexpr SingleWrite kSingleWrite{20, 500};
constexpr std::uint16_t kMultipleWriteAddress = 40;
constexpr std::array<std::uint16_t, 3> kMultipleWriteValues{0x1234, 0x00ff, 0xffff};
extern const std::vector<std::string> kSingleWriteCalls;
extern const std::vector<std::string> kMultipleWriteCalls;
constexpr std::int32_t kWriteConfirmed = 1;
constexpr int kWriteOutcomeQuery = 0;  // any code without a meaning of its own

// Get_Value never returns a value; it tells why in an out_of_range.
constexpr char kValueBeforeFirstRound[] = "数据未就绪";
constexpr char kValueOfFreshData[] = "不支持变量";

// Each completed round writes this line to standard output.
constexpr char kRoundLine[] = "rvSize is 0\n";

}  // namespace kpmcheck::known
