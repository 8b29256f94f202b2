// What a host built against today's module relies on, in one place for
// libabigail: it follows types only from exported functions, and the module
// itself exports just its entry. This probe is compiled like the module, with
// the class definitions emitted in full, and exports one function whose
// parameters reach the entry's type, the provider classes, the device class
// with its whole base chain (layout and virtual-table order) and the record.
#include "host/provider.h"
#include "meter/kalvor_power_meter.h"
#include "meter/kalvor_power_meter_data.h"
#include "plugin/kalvor_power_meter_provider.h"

extern "C" __attribute__((visibility("default"))) void kpm_abi_probe(
    GetProvidersFunction, const KalvorPowerMeterProvider*, const KalvorPowerMeter*,
    const KalvorPowerMeter_Data_t*)
{
}
