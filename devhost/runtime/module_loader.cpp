#include "module_loader.h"

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
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        throw ModuleLoadError(ModuleLoadError::Kind::FileMissing,
                              "module not found: " + path);

    dlerror();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr)
        throw ModuleLoadError(ModuleLoadError::Kind::NotLoadable,
                              "cannot load module " + path + ": " + loader_error());

    dlerror();
    void* entry = dlsym(handle_, kGetProvidersSymbol);
    if (entry == nullptr) {
        const std::string error = loader_error();
        dlclose(handle_);
        throw ModuleLoadError(ModuleLoadError::Kind::NoEntryPoint,
                              "module " + path + " has no entry point " +
                                  kGetProvidersSymbol + ": " + error);
    }

    providers_ = reinterpret_cast<GetProvidersFunction>(entry)();
    for (const auto& provider : providers_) {
        device_provider_ = dynamic_cast<const SMDSPDeviceProvider*>(provider.get());
        if (device_provider_ != nullptr)
            break;
    }
    if (device_provider_ == nullptr) {
        const auto count = providers_.size();
        providers_.clear();
        dlclose(handle_);
        throw ModuleLoadError(ModuleLoadError::Kind::NoDeviceProvider,
                              "module " + path + " offers no serial device provider (" +
                                  std::to_string(count) + " providers, none converts)");
    }
}

LoadedModule::~LoadedModule()
{
    providers_.clear();
    if (handle_ != nullptr)
        dlclose(handle_);
}

std::unique_ptr<SPModbus> LoadedModule::create_device() const
{
    if (device_provider_ == nullptr)
        throw ModuleLoadError(ModuleLoadError::Kind::NoDeviceProvider,
                              "module " + path_ + ": providers already released");
    SMDSPDevice* device = device_provider_->create();
    auto* modbus = dynamic_cast<SPModbus*>(device);
    if (modbus == nullptr) {
        delete device;
        throw ModuleLoadError(ModuleLoadError::Kind::NoDeviceProvider,
                              "module " + path_ + " made a device that is not a Modbus device");
    }
    return std::unique_ptr<SPModbus>(modbus);
}

void LoadedModule::release_providers()
{
    device_provider_ = nullptr;
    providers_.clear();
}

}  // namespace devhost
