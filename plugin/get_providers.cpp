// The module's one entry point: a fresh list holding one provider per call.
#include <memory>
#include <utility>

#include "host/provider.h"
#include "plugin/kalvor_power_meter_provider.h"

extern "C" HOST_SDK_EXPORT ProviderList get_providers();

ProviderList get_providers()
{
    ProviderList providers;
    std::shared_ptr<Provider> provider = std::make_shared<KalvorPowerMeterProvider>();
    providers.push_back(std::move(provider));
    return providers;
}
