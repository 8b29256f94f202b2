// The meter's record layout and the conversion of register words into the
// snapshot's quantities.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "meter/kalvor_power_meter_data.h"
#include "meter/quantity_table.h"

namespace {

TEST(MeterRecord, IsExactlyTheWireLayout)
{
    EXPECT_EQ(sizeof(KalvorPowerMeter_Data_t), 131u);
    EXPECT_EQ(offsetof(KalvorPowerMeter_Data_t, data_id), 0u);
    EXPECT_EQ(offsetof(KalvorPowerMeter_Data_t, registers), 4u);
    EXPECT_EQ(offsetof(KalvorPowerMeter_Data_t, time_stamp), 124u);

    // Word i lands at byte 4 + 2i in host order, and reads back unchanged;
    // neither touches the data id or the time stamp.
    unsigned char bytes[131];
    std::memset(bytes, 0xCC, sizeof bytes);
    KalvorPowerMeter_Data_t record;
    std::memcpy(&record, bytes, sizeof record);
    std::uint16_t words[kRegisterBlockCount];
    for (int i = 0; i < kRegisterBlockCount; ++i)
        words[i] = static_cast<std::uint16_t>(0xA000 + i);
    store_registers(record, words);
    std::memcpy(bytes, &record, sizeof bytes);

    for (int i = 0; i < kRegisterBlockCount; ++i) {
        std::uint16_t at_offset;
        std::memcpy(&at_offset, bytes + 4 + 2 * i, sizeof at_offset);
        EXPECT_EQ(at_offset, words[i]) << "word " << i;
    }
    for (int i : {0, 1, 2, 3, 124, 125, 126, 127, 128, 129, 130})
        EXPECT_EQ(bytes[i], 0xCC) << "byte " << i;

    std::uint16_t back[kRegisterBlockCount];
    load_registers(record, back);
    EXPECT_EQ(0, std::memcmp(back, words, sizeof words));
}

TEST(QuantityTable, ThirtyDistinctQuantitiesOneWordEach)
{
    std::set<std::string> keys;
    std::set<int> words;
    std::set<int> scaled;
    for (const Quantity& quantity : kQuantities) {
        keys.insert(quantity.key);
        words.insert(quantity.word);
        if (quantity.thousandths)
            scaled.insert(quantity.word);
    }
    EXPECT_EQ(keys.size(), 30u);
    EXPECT_EQ(words.size(), 30u);
    EXPECT_EQ(*words.begin(), 0);
    EXPECT_EQ(*words.rbegin(), 29);
    // The active, reactive and apparent powers are in thousandths.
    EXPECT_EQ(scaled, (std::set<int>{9, 10, 11, 12, 13, 14, 15, 16, 17, 27, 28, 29}));
}

struct ConversionCase {
    std::uint16_t raw;
    bool thousandths;
    double expected;  // exact: the single-precision quotient, widened
};

TEST(QuantityTable, ConversionIsSinglePrecisionThenWidened)
{
    const ConversionCase cases[] = {
        {0, false, 0.0},
        {0, true, 0.0},
        {65535, false, 65535.0},
        {1234, false, 1234.0},
        {1234, true, 1.2339999675750732421875},
        {1000, true, 1.0},
        {1, true, 0.001000000047497451305389404296875},
        {65535, true, 65.535003662109375},
    };
    for (const ConversionCase& c : cases) {
        const Quantity quantity{"q", 0, c.thousandths};
        EXPECT_EQ(quantity_value(quantity, c.raw), c.expected)
            << c.raw << (c.thousandths ? " / 1000" : "");
    }
}

}  // namespace
