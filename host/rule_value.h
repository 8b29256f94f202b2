// A rule collected by the host's threshold machinery during one data round.
// Devices only count, pass and destroy these; the member meanings are the host's.
#pragma once

#include <cstdint>
#include <string>

struct rule_value {
    std::int32_t rule_id = 0;
    std::string signal_id;
    std::string rule_name;
    float threshold = 0.0f;
    std::int32_t level = 0;
    std::string message;
    std::string action;
    std::int32_t state = 0;
};
