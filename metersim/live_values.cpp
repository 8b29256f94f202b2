// Live readings of the simulated meter: a balanced three-phase load whose
// voltages, currents and frequency drift slowly around their nominal values,
// and energy counters that grow with the time served. Each slave address
// has its own load, power factor, counters and point in the drift, so that
// meters on one line read differently.
#include <cmath>

#include "metersim/register_bank.h"

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

// What sets one meter apart from another; slave 1 gets the first row of
// each cycle. The cycles are of different lengths so that neighbouring
// addresses differ in every quantity.
struct MeterProfile {
    double amps;          // nominal current per phase
    double volts;         // nominal phase voltage
    double power_factor;  // nominal
    double active_kwh;    // energy counter at start
    double time_shift_s;  // where in the drift the meter starts
};

MeterProfile profile(int slave)
{
    const int n = slave > 0 ? slave - 1 : 0;
    return {15.0 + 2.5 * (n % 9), 230.0 + 0.8 * (n % 7), 0.95 - 0.01 * (n % 5),
            12000.0 + 700.0 * (n % 64), 13.0 * n};
}

}  // namespace

RegisterValues live_values(double seconds, int slave)
{
    const MeterProfile meter = profile(slave);
    const double energy_seconds = seconds;
    seconds += meter.time_shift_s;
    RegisterValues r{};
    const double phase_shift[3] = {0.0, 2.1, 4.2};
    double volts[3], amps[3];
    for (int p = 0; p < 3; ++p) {
        volts[p] = meter.volts + 1.5 * wave(seconds, 90.0, phase_shift[p]);
        amps[p] = meter.amps + 2.0 * wave(seconds, 45.0, phase_shift[p]);
    }
    const double power_factor = meter.power_factor + 0.01 * wave(seconds, 120.0, 0.0);
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
    // Energy counters in kWh / kvarh grow with the nominal load, so that they
    // never run backwards while the powers drift (10 kW adds 1 kWh every 6 minutes).
    const double nominal_kva = 3.0 * meter.volts * meter.amps / 1000.0;
    const double hours = energy_seconds / 3600.0;
    r[20] = word(meter.active_kwh + nominal_kva * meter.power_factor * hours);
    r[21] = word(40.0);
    r[22] = word(meter.active_kwh / 4.0 + nominal_kva * 0.3 * hours);
    r[23] = word(15.0);
    return r;
}

}  // namespace metersim
