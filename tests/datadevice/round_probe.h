// A minimal driver on the data-device template with the meter's record, so
// the template can be exercised without any meter code. The threshold hook
// can be replaced to look at the round while it runs.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "datadevice/uni_data_device.h"
#include "host/spmodbus.h"
#include "meter/kalvor_power_meter_data.h"

constexpr int kProbeRecordKind = 5156;

class RoundProbe : public UniDataDevice<KalvorPowerMeter_Data_t, SPModbus, kProbeRecordKind> {
public:
    using DataDevice = UniDataDevice<KalvorPowerMeter_Data_t, SPModbus, kProbeRecordKind>;

    int process_payload(tab_type, unsigned int) override { return 0; }

    void RunCheckThreshold() override
    {
        ++hook_runs;
        if (on_hook)
            on_hook();
        else
            DataDevice::RunCheckThreshold();
    }

    std::vector<std::uint8_t> record_bytes() const
    {
        const auto* begin = reinterpret_cast<const std::uint8_t*>(&record);
        return {begin, begin + sizeof record};
    }

    int hook_runs = 0;
    std::function<void()> on_hook;
};
