// The provider the host asks for power-meter devices.
#pragma once

#include "host/provider.h"

class HOST_SDK_EXPORT KalvorPowerMeterProvider : public SMDSPDeviceProvider {
public:
    ~KalvorPowerMeterProvider() override;

    // A new device, owned by the caller, who deletes it through its virtual
    // destructor before the module is unloaded.
    SMDSPDevice* create() const override;
};
