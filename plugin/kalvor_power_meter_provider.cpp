#include "plugin/kalvor_power_meter_provider.h"

#include "meter/kalvor_power_meter.h"

KalvorPowerMeterProvider::~KalvorPowerMeterProvider() {}

SMDSPDevice* KalvorPowerMeterProvider::create() const { return new KalvorPowerMeter(); }
