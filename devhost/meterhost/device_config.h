// The device's JSON configuration as meterhost hands it to the module: the
// --config file, with the line options of the command line laid over it.
#pragma once

#include <string>

#include <json/value.h>

#include "command_line.h"

namespace meterhost {

struct DeviceConfig {
    bool ok = false;
    Json::Value json;
    bool simulated = false;  // no port anywhere: meterhost brings its own meter
    std::string error;       // names the file or the key
};

DeviceConfig build_device_config(const HostOptions& options);

}  // namespace meterhost
