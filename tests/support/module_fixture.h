// Tests of the built module as the host sees it: loaded with dlopen, devices
// made by its provider, every host call recorded.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "meter/kalvor_power_meter.h"
#include "devhost/runtime/module_loader.h"
#include "devhost/runtime/recording_backend.h"

namespace kpmtest {

// The device's own fields, for tests that arrange or inspect state the host
// cannot reach through the virtual interface (age of the data, the pending
// write). Only data members are touched this way, never the module's code.
inline KalvorPowerMeter& meter_of(SPModbus& device)
{
    return static_cast<KalvorPowerMeter&>(device);
}

class ModuleTest : public testing::Test {
protected:
    SPModbus& new_device()
    {
        devices_.push_back(module_.create_device());
        host_.attach(*devices_.back());
        return *devices_.back();
    }

    // Declaration order is destruction order reversed: devices go first, then
    // the module is unloaded, then the devices' back-ends are unbound.
    devhost::RecordingBackend host_;
    devhost::LoadedModule module_{KPM_MODULE_PATH};

private:
    std::vector<std::unique_ptr<SPModbus>> devices_;
};

}  // namespace kpmtest
