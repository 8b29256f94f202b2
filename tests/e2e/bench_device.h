// A minimal Modbus device for exercising the serial back-end: it keeps what
// the host hands it (each payload with the reply words, each error) and
// nothing else.
#pragma once

#include <cstdint>
#include <vector>

#include "host/spmodbus.h"

struct BenchDevice : SPModbus {
    struct Payload {
        tab_type kind;
        unsigned int length;
        std::vector<std::uint16_t> words;  // the first 8 reply words
    };

    BenchDevice() { baud_rate = 9600; }

    using SPModbus::LoadFromCache;
    int LoadFromCache(const unsigned char*, int) override { return 0; }
    void RoundDone() override {}
    int process_payload(tab_type kind, unsigned int length) override
    {
        payloads.push_back({kind, length, std::vector<std::uint16_t>(reply_words, reply_words + 8)});
        return 0;
    }
    int on_error() override
    {
        ++errors;
        return 0;
    }

    std::vector<Payload> payloads;
    int errors = 0;
};
