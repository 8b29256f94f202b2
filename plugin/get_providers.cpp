// The module's one entry point: a fresh list holding one provider per call.
#include <memory>
#include <utility>

#include "host/provider.h"
#include "plugin/kalvor_power_meter_provider.h"

// C linkage only keeps the name plain for dlsym; the host calls it as C++,
// built against the same standard library, so the C++ result type is intended.
#ifdef __clang__
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" HOST_SDK_EXPORT ProviderList get_providers();
#ifdef __clang__
#pragma clang diagnostic pop
#endif

ProviderList get_providers()
{
    ProviderList providers;
    std::shared_ptr<Provider> provider = std::make_shared<KalvorPowerMeterProvider>();
    providers.push_back(std::move(provider));
    return providers;
}
