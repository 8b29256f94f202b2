#include "module_loader.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include "host/smd_spdevice.h"

namespace meterhost {

namespace {

std::string loader_error()
{
    const char* text = dlerror();
    return text ? text : "unknown error";
}

}  // namespace

std::string default_module_path()
{
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return "kalvorpowermeter.so";
    std::string path(self, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + "kalvorpowermeter.so";
}

std::unique_ptr<LoadedModule> LoadedModule::load(const std::string& path, std::string& error)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        error = "no module at " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    // A path without a slash would be searched for in the library path.
    const std::string exact = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* handle = ::dlopen(exact.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        error = "cannot load " + path + " as a module: " + loader_error();
        return nullptr;
    }
    std::unique_ptr<LoadedModule> module(new LoadedModule(path, handle));

    dlerror();
    void* entry = ::dlsym(handle, kGetProvidersSymbol);
    if (entry == nullptr) {
        error = path + " has no " + kGetProvidersSymbol + " entry: " + loader_error();
        return nullptr;
    }
    try {
        module->providers_ = reinterpret_cast<GetProvidersFunction>(entry)();
    } catch (const std::exception& failure) {
        error = path + ": " + kGetProvidersSymbol + " failed: " + failure.what();
        return nullptr;
    }
    for (const auto& provider : module->providers_) {
        module->serial_provider_ = dynamic_cast<SMDSPDeviceProvider*>(provider.get());
        if (module->serial_provider_ != nullptr)
            break;
    }
    if (module->serial_provider_ == nullptr) {
        error = path + " offers no serial-device provider: none of its " +
                std::to_string(module->providers_.size()) +
                " providers converts to SMDSPDeviceProvider";
        return nullptr;
    }
    return module;
}

SMDSPDevice* LoadedModule::create_device(std::string& error)
{
    try {
        SMDSPDevice* device = serial_provider_->create();
        if (device == nullptr)
            error = path_ + ": the provider created no device";
        return device;
    } catch (const std::exception& failure) {
        error = path_ + ": creating a device failed: " + failure.what();
        return nullptr;
    }
}

LoadedModule::~LoadedModule()
{
    serial_provider_ = nullptr;
    providers_.clear();
    ::dlclose(handle_);
}

}  // namespace meterhost
