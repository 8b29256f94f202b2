#include "devhost/runtime/module_loader.h"

#include <cerrno>
#include <cstring>
#include <exception>

#include <dlfcn.h>
#include <sys/stat.h>

namespace devhost {

namespace {

std::string loader_error()
{
    const char* error = dlerror();
    return error ? error : "unknown loader error";
}

}  // namespace

LoadedModule::LoadedModule(const std::string& path) : path_(path)
{
    using Kind = ModuleLoadError::Kind;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0)
        throw ModuleLoadError(Kind::FileMissing,
                              "no module at " + path + ": " + std::strerror(errno));

    // A path without a slash would be looked for in the library search path.
    const std::string exact = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    handle_ = dlopen(exact.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr)
        throw ModuleLoadError(Kind::NotLoadable,
                              "cannot load " + path + " as a module: " + loader_error());

    try {
        dlerror();
        void* entry = dlsym(handle_, kGetProvidersSymbol);
        if (entry == nullptr)
            throw ModuleLoadError(Kind::NoEntryPoint, path + " has no " + kGetProvidersSymbol +
                                                          " entry: " + loader_error());
        try {
            providers_ = reinterpret_cast<GetProvidersFunction>(entry)();
        } catch (const std::exception& failure) {
            throw ModuleLoadError(Kind::NoDeviceProvider,
                                  path + ": " + kGetProvidersSymbol + " failed: " + failure.what());
        }
        for (const auto& provider : providers_) {
            device_provider_ = dynamic_cast<const SMDSPDeviceProvider*>(provider.get());
            if (device_provider_ != nullptr)
                break;
        }
        if (device_provider_ == nullptr)
            throw ModuleLoadError(Kind::NoDeviceProvider,
                                  path + " offers no serial-device provider: none of its " +
                                      std::to_string(providers_.size()) +
                                      " providers converts to SMDSPDeviceProvider");
    } catch (...) {
        providers_.clear();
        dlclose(handle_);
        throw;
    }
}

LoadedModule::~LoadedModule()
{
    device_provider_ = nullptr;
    providers_.clear();
    dlclose(handle_);
}

std::unique_ptr<SPModbus> LoadedModule::create_device() const
{
    using Kind = ModuleLoadError::Kind;
    if (device_provider_ == nullptr)
        throw ModuleLoadError(Kind::NoDeviceProvider, path_ + ": providers already released");
    SMDSPDevice* device = nullptr;
    try {
        device = device_provider_->create();
    } catch (const std::exception& failure) {
        throw ModuleLoadError(Kind::NoDeviceProvider,
                              path_ + ": creating a device failed: " + failure.what());
    }
    if (device == nullptr)
        throw ModuleLoadError(Kind::NoDeviceProvider, path_ + ": the provider created no device");
    auto* modbus = dynamic_cast<SPModbus*>(device);
    if (modbus == nullptr) {
        delete device;
        throw ModuleLoadError(Kind::NoDeviceProvider,
                              path_ + " made a device that is not a Modbus device");
    }
    return std::unique_ptr<SPModbus>(modbus);
}

void LoadedModule::release_providers()
{
    device_provider_ = nullptr;
    providers_.clear();
}

}  // namespace devhost
