// Live readings of the simulated meter: a balanced three-phase load whose
// voltages, currents and frequency drift slowly around their nominal values,
// and energy counters that grow with the time served.
#include <cmath>

#include "register_bank.h"

namespace metersim {

namespace {

// Units of the simulated meter's registers.
constexpr double kVoltsScale = 10.0;     // 0.1 V
constexpr double kAmpsScale = 100.0;     // 0.01 A
constexpr double kFactorScale = 1000.0;  // power factor in thousandths
constexpr double kHertzScale = 100.0;    // 0.01 Hz
constexpr double kPi = 3.14159265358979323846;

std::uint16_t word(double value)
{
    if (value <= 0.0)
        return 0;
    if (value >= 65535.0)
        return 65535;
    return static_cast<std::uint16_t>(std::lround(value));
}

double wave(double seconds, double period_s, double phase)
{
    return std::sin(2.0 * kPi * seconds / period_s + phase);
}

}  // namespace

RegisterValues live_values(double seconds)
{
    RegisterValues r{};
    const double phase_shift[3] = {0.0, 2.1, 4.2};
    double volts[3], amps[3];
    for (int p = 0; p < 3; ++p) {
        volts[p] = 230.0 + 1.5 * wave(seconds, 90.0, phase_shift[p]);
        amps[p] = 15.0 + 2.0 * wave(seconds, 45.0, phase_shift[p]);
    }
    const double power_factor = 0.95 + 0.01 * wave(seconds, 120.0, 0.0);
    const double reactive_ratio = std::sqrt(1.0 - power_factor * power_factor);

    double total_p = 0, total_q = 0, total_s = 0;
    for (int p = 0; p < 3; ++p) {
        const double apparent = volts[p] * amps[p];  // VA
        r[0 + p] = word(volts[p] * kVoltsScale);
        r[3 + p] = word(volts[p] * std::sqrt(3.0) * kVoltsScale);
        r[6 + p] = word(amps[p] * kAmpsScale);
        r[9 + p] = word(apparent * power_factor);      // W
        r[13 + p] = word(apparent * reactive_ratio);   // var
        r[24 + p] = word(power_factor * kFactorScale);
        r[27 + p] = word(apparent);                    // VA
        total_p += apparent * power_factor;
        total_q += apparent * reactive_ratio;
        total_s += apparent;
    }
    r[12] = word(total_p);
    r[16] = word(total_q);
    r[17] = word(total_s);
    r[18] = word(power_factor * kFactorScale);
    r[19] = word((50.0 + 0.02 * wave(seconds, 30.0, 1.0)) * kHertzScale);
    // Energy counters in kWh / kvarh: a load of about 10 kW adds 1 kWh every 6 minutes.
    r[20] = word(12000.0 + seconds / 360.0);
    r[21] = word(40.0);
    r[22] = word(3100.0 + seconds / 1100.0);
    r[23] = word(15.0);
    return r;
}

}  // namespace metersim
