#include "devhost/meterhost/meter_identity.h"

namespace meterhost {

std::string meter_name(const MeterIdentity& meter)
{
    return "meter " + std::to_string(meter.slave) + " on " + meter.port;
}

}  // namespace meterhost
