// Loads a driver module the way the gateway host does: dlopen, get_providers,
// dynamic_cast of a provider to SMDSPDeviceProvider. Every failure raises
// ModuleLoadError with its own message naming the path and the loader's error.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include "host/provider.h"
#include "host/spmodbus.h"

namespace devhost {

class ModuleLoadError : public std::runtime_error {
public:
    enum class Kind { FileMissing, NotLoadable, NoEntryPoint, NoDeviceProvider };
    ModuleLoadError(Kind kind, const std::string& message)
        : std::runtime_error(message), kind_(kind)
    {
    }
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

class LoadedModule {
public:
    explicit LoadedModule(const std::string& path);
    // Drops the providers, then unloads. Every device made by the module must
    // be destroyed before this runs: their code lives in the module.
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    const std::string& path() const { return path_; }
    void* handle() const { return handle_; }
    const ProviderList& providers() const { return providers_; }
    const SMDSPDeviceProvider& device_provider() const { return *device_provider_; }

    // A new device as the module's provider makes it, seen as the Modbus
    // device the host drives. Raises ModuleLoadError if it is not one.
    std::unique_ptr<SPModbus> create_device() const;

    // Drops the provider list early (devices made so far stay usable).
    void release_providers();

private:
    std::string path_;
    void* handle_ = nullptr;
    ProviderList providers_;
    const SMDSPDeviceProvider* device_provider_ = nullptr;
};

}  // namespace devhost
