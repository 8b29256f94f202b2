// Device providers: what a module's get_providers hands the host. All code of
// these two classes is inline, so every module defines them itself; their
// type information is exported so that the host's dynamic_cast works across
// the library boundary.
#pragma once

#include <memory>
#include <vector>

#define HOST_SDK_EXPORT __attribute__((visibility("default")))

class SMDSPDevice;

class HOST_SDK_EXPORT Provider {
public:
    virtual ~Provider() {}
};

class HOST_SDK_EXPORT SMDSPDeviceProvider : public Provider {
public:
    virtual SMDSPDevice* create() const = 0;
};

// The one entry a module exports, under this plain name.
using ProviderList = std::vector<std::shared_ptr<Provider>>;
using GetProvidersFunction = ProviderList (*)();
constexpr const char kGetProvidersSymbol[] = "get_providers";
