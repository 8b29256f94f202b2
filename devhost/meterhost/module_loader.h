// Loads a device module as the gateway's host does: dlopen, get_providers,
// and a provider that converts to SMDSPDeviceProvider. The providers' and
// devices' code lives in the module, so every device is destroyed and the
// providers dropped before the module is unloaded (the destructor's order).
#pragma once

#include <memory>
#include <string>

#include "host/provider.h"

namespace meterhost {

class LoadedModule {
public:
    // nullptr with error set; each way of failing has its own message,
    // naming the path and the loader's error.
    static std::unique_ptr<LoadedModule> load(const std::string& path, std::string& error);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    // A new device from the serial-device provider; nullptr with error set.
    // The caller deletes it before this module goes.
    SMDSPDevice* create_device(std::string& error);

    const std::string& path() const { return path_; }

private:
    LoadedModule(std::string path, void* handle) : path_(std::move(path)), handle_(handle) {}

    std::string path_;
    void* handle_;
    ProviderList providers_;
    SMDSPDeviceProvider* serial_provider_ = nullptr;
};

// kalvorpowermeter.so in the folder of the running executable.
std::string default_module_path();

}  // namespace meterhost
