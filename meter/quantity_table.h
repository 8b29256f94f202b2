// The 30 measured quantities in the register block: the snapshot's member
// name, the word it is read from, and whether the raw word is in thousandths
// (the powers). Every quantity is one unsigned register; none spans two.
#pragma once

#include <cstdint>

struct Quantity {
    const char* key;     // snapshot member name, UTF-8
    std::uint8_t word;   // index into the register block (register 10 + word)
    bool thousandths;    // raw value / 1000, in single precision
};

// clang-format off
inline constexpr Quantity kQuantities[] = {
    // key                 word  thousandths
    {"A相电压",             0,    false},
    {"B相电压",             1,    false},
    {"C相电压",             2,    false},
    {"AB相线电压",          3,    false},
    {"BC相线电压",          4,    false},
    {"CA相线电压",          5,    false},
    {"A相电流",             6,    false},
    {"B相电流",             7,    false},
    {"C相电流",             8,    false},
    {"A相有功功率",         9,    true},
    {"B相有功功率",         10,   true},
    {"C相有功功率",         11,   true},
    {"总有功功率",          12,   true},
    {"A相无功功率",         13,   true},
    {"B相无功功率",         14,   true},
    {"C相无功功率",         15,   true},
    {"总无功功率",          16,   true},
    {"总视在功率",          17,   true},
    {"总功率因数",          18,   false},
    {"电压频率",            19,   false},
    {"正向有功电能",        20,   false},
    {"反向有功电能",        21,   false},
    {"感性无功电能",        22,   false},
    {"容性无功电能",        23,   false},
    {"A相功率因数",         24,   false},
    {"B相功率因数",         25,   false},
    {"C相功率因数",         26,   false},
    {"A相视在功率",         27,   true},
    {"B相视在功率",         28,   true},
    {"C相视在功率",         29,   true},
};
// clang-format on

constexpr int kQuantityCount = sizeof(kQuantities) / sizeof(kQuantities[0]);
static_assert(kQuantityCount == 30, "30 quantities");

// The value a quantity reports for a raw register word. The division is done
// in single precision and then widened, so a scaled value carries the float
// quotient's rounding (1234 gives 1.2339999675750732, not 1.234): consumers
// compare against exactly these doubles.
inline double quantity_value(const Quantity& quantity, std::uint16_t raw)
{
    float value = static_cast<float>(raw);
    if (quantity.thousandths)
        value = value / 1000.0f;
    return static_cast<double>(value);
}
