#include "soak/snapshot_check.h"

#include <cmath>
#include <cstdint>
#include <memory>

#include <json/reader.h>

#include "meter/quantity_table.h"

namespace soak {

namespace {

// The raw register word a snapshot value was made from, if there is one.
bool raw_word(const Quantity& quantity, double value, std::uint16_t& raw)
{
    const double scaled = quantity.thousandths ? value * 1000.0 : value;
    const long rounded = std::lround(scaled);
    if (rounded < 0 || rounded > 0xFFFF)
        return false;
    raw = static_cast<std::uint16_t>(rounded);
    return quantity_value(quantity, raw) == value;
}

}  // namespace

std::string snapshot_text_problem(const std::string& text, bool may_be_null,
                                  const ServedStates& served)
{
    if (text == "null\n")
        return may_be_null ? "" : "null snapshot after a completed round";
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value snapshot;
    if (!reader->parse(text.data(), text.data() + text.size(), &snapshot, nullptr) ||
        !snapshot.isObject() || snapshot.size() != kQuantityCount + 1)
        return "801 text is not the 31-member object: " + text.substr(0, 80);
    std::uint16_t words[kQuantityCount];
    for (const Quantity& quantity : kQuantities) {
        const Json::Value& value = snapshot[quantity.key];
        if (!value.isNumeric() || !raw_word(quantity, value.asDouble(), words[quantity.word]))
            return std::string("801 value of ") + quantity.key + " is no register word";
    }
    if (!served.contains_prefix(words, kQuantityCount))
        return "801 text mixes blocks or shows one never served (first word " +
               std::to_string(words[0]) + ")";
    return "";
}

}  // namespace soak
