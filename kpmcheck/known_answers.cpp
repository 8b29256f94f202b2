#include "kpmcheck/known_answers.h"

#include <cstring>

namespace kpmcheck::known {

namespace {

// Words past the quantities: different in each round, so that a record
// carrying the wrong block shows.
constexpr std::uint16_t kRegistersFiller = 0x3000;
constexpr std::uint16_t kCacheFiller = 0xa000;

}  // namespace

// The first round's words are edge values (0, 1, 65535) and powers whose
// single-precision quotient shows its rounding; the cached round's are a
// meter's ordinary readings.
// clang-format off
const Member kMembers[kMemberCount] = {
    // key            escaped key                               word  round 1                        cached round
    {"AB相线电压",   R"(AB\u76f8\u7ebf\u7535\u538b)",            3,   203,   "203.0",                3985,  "3985.0"},
    {"A相功率因数",  R"(A\u76f8\u529f\u7387\u56e0\u6570)",       24,  224,   "224.0",                991,   "991.0"},
    {"A相无功功率",  R"(A\u76f8\u65e0\u529f\u529f\u7387)",       13,  0,     "0.0",                  412,   "0.41200000047683716"},
    {"A相有功功率",  R"(A\u76f8\u6709\u529f\u529f\u7387)",       9,   1234,  "1.2339999675750732",   3456,  "3.4560000896453857"},
    {"A相电压",      R"(A\u76f8\u7535\u538b)",                   0,   65535, "65535.0",              2301,  "2301.0"},
    {"A相电流",      R"(A\u76f8\u7535\u6d41)",                   6,   206,   "206.0",                152,   "152.0"},
    {"A相视在功率",  R"(A\u76f8\u89c6\u5728\u529f\u7387)",       27,  5,     "0.004999999888241291", 3481,  "3.4809999465942383"},
    {"BC相线电压",   R"(BC\u76f8\u7ebf\u7535\u538b)",            4,   204,   "204.0",                3990,  "3990.0"},
    {"B相功率因数",  R"(B\u76f8\u529f\u7387\u56e0\u6570)",       25,  225,   "225.0",                993,   "993.0"},
    {"B相无功功率",  R"(B\u76f8\u65e0\u529f\u529f\u7387)",       14,  2500,  "2.5",                  398,   "0.39800000190734863"},
    {"B相有功功率",  R"(B\u76f8\u6709\u529f\u529f\u7387)",       10,  1000,  "1.0",                  3321,  "3.3210000991821289"},
    {"B相电压",      R"(B\u76f8\u7535\u538b)",                   1,   201,   "201.0",                2298,  "2298.0"},
    {"B相电流",      R"(B\u76f8\u7535\u6d41)",                   7,   207,   "207.0",                148,   "148.0"},
    {"B相视在功率",  R"(B\u76f8\u89c6\u5728\u529f\u7387)",       28,  50000, "50.0",                 3345,  "3.3450000286102295"},
    {"CA相线电压",   R"(CA\u76f8\u7ebf\u7535\u538b)",            5,   205,   "205.0",                3979,  "3979.0"},
    {"C相功率因数",  R"(C\u76f8\u529f\u7387\u56e0\u6570)",       26,  226,   "226.0",                990,   "990.0"},
    {"C相无功功率",  R"(C\u76f8\u65e0\u529f\u529f\u7387)",       15,  999,   "0.99900001287460327",  455,   "0.45500001311302185"},
    {"C相有功功率",  R"(C\u76f8\u6709\u529f\u529f\u7387)",       11,  1,     "0.0010000000474974513", 3589, "3.5889999866485596"},
    {"C相电压",      R"(C\u76f8\u7535\u538b)",                   2,   202,   "202.0",                2305,  "2305.0"},
    {"C相电流",      R"(C\u76f8\u7535\u6d41)",                   8,   208,   "208.0",                160,   "160.0"},
    {"C相视在功率",  R"(C\u76f8\u89c6\u5728\u529f\u7387)",       29,  77,    "0.076999999582767487", 3618,  "3.6180000305175781"},
    {"反向有功电能", R"(\u53cd\u5411\u6709\u529f\u7535\u80fd)",  21,  221,   "221.0",                17,    "17.0"},
    {"容性无功电能", R"(\u5bb9\u6027\u65e0\u529f\u7535\u80fd)",  23,  223,   "223.0",                1357,  "1357.0"},
    {"总功率因数",   R"(\u603b\u529f\u7387\u56e0\u6570)",        18,  218,   "218.0",                992,   "992.0"},
    {"总无功功率",   R"(\u603b\u65e0\u529f\u529f\u7387)",        16,  123,   "0.12300000339746475",  1265,  "1.2649999856948853"},
    {"总有功功率",   R"(\u603b\u6709\u529f\u529f\u7387)",        12,  65535, "65.535003662109375",   10366, "10.366000175476074"},
    {"总视在功率",   R"(\u603b\u89c6\u5728\u529f\u7387)",        17,  4567,  "4.5669999122619629",   10444, "10.444000244140625"},
    {"感性无功电能", R"(\u611f\u6027\u65e0\u529f\u7535\u80fd)",  22,  222,   "222.0",                2468,  "2468.0"},
    {"更新时间",     R"(\u66f4\u65b0\u65f6\u95f4)",              kUpdateTime, 0, nullptr,            0,     nullptr},
    {"正向有功电能", R"(\u6b63\u5411\u6709\u529f\u7535\u80fd)",  20,  220,   "220.0",                12345, "12345.0"},
    {"电压频率",     R"(\u7535\u538b\u9891\u7387)",              19,  5000,  "5000.0",               4998,  "4998.0"},
};
// clang-format on

const std::vector<std::string> kPollCalls = {"SMDSPDevice::RefreshStatus", "modbus_read_registers"};
const std::vector<std::string> kRoundCalls = {"SendSP", "Reset", "DoBatchCheckThreshold",
                                              "SaveDeviceHistory"};
const std::vector<std::string> kSingleWriteCalls = {"OpenPort", "modbus_write_register", "Reset"};
const std::vector<std::string> kMultipleWriteCalls = {"OpenPort", "modbus_write_registers",
                                                      "Reset"};

Block block_of(Round round)
{
    Block block{};
    const std::uint16_t filler = round == Round::FromRegisters ? kRegistersFiller : kCacheFiller;
    for (std::size_t word = kQuantityWords; word < block.size(); ++word)
        block[word] = static_cast<std::uint16_t>(filler + word);
    for (const Member& member : kMembers)
        if (member.word != kUpdateTime)
            block[static_cast<std::size_t>(member.word)] =
                round == Round::FromRegisters ? member.registers_raw : member.cache_raw;
    return block;
}

std::vector<std::uint8_t> record_head(const Block& block)
{
    static_assert(sizeof kDataId + sizeof(Block) == kStampOffset, "data id, then the block");
    std::vector<std::uint8_t> head(kStampOffset);
    std::memcpy(head.data(), &kDataId, sizeof kDataId);
    std::memcpy(head.data() + sizeof kDataId, block.data(), sizeof block);
    return head;
}

const char* member_text(const Member& member, Round round)
{
    return round == Round::FromRegisters ? member.registers_text : member.cache_text;
}

std::string snapshot_text(Round round, const std::string& update_time)
{
    std::string text = "{";
    for (const Member& member : kMembers) {
        if (text.size() > 1)
            text += ',';
        text += '"' + std::string(member.escaped_key) + "\":";
        text += member.word == kUpdateTime ? '"' + update_time + '"' : member_text(member, round);
    }
    return text + "}\n";
}

}  // namespace kpmcheck::known
