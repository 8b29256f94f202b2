// The smallest concrete device on the host SDK alone: what a driver must
// supply itself, answering trivially, so the SDK's inline defaults can be
// exercised without any driver code.
#pragma once

#include "host/spmodbus.h"

struct ProbeDevice : SPModbus {
    int LoadFromCache(const unsigned char* data, int length) override
    {
        last_cache_data = data;
        last_cache_length = length;
        return 7;
    }
    using SPModbus::LoadFromCache;
    void RoundDone() override {}
    int process_payload(tab_type, unsigned int) override { return 0; }

    const unsigned char* last_cache_data = nullptr;
    int last_cache_length = -1;
};
