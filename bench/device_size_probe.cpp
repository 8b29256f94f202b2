// sizeof the device object for the compiler this is built with, as the size
// of a symbol: `nm -S` on the object file reads it for any target.
#include "meter/kalvor_power_meter.h"

extern const char kpm_device_object[sizeof(KalvorPowerMeter)];
const char kpm_device_object[sizeof(KalvorPowerMeter)] = {};
