// The host side of the soak beyond what meterhost's session does by itself:
// every record a meter's device publishes is checked against what that
// meter served, and writes, made through the session on the line's thread
// between polls, are checked against what the meter actually did with them.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "soak/meter_under_test.h"
#include "soak/simulated_line.h"

namespace meterhost {
class BenchSession;
}

namespace soak {

// Why a published record is not one the meter may publish, or empty: the
// dead meter publishes nothing; a record is the 131-byte kind 5156 carrying
// the meter's own data id and a block of registers the meter served.
std::string record_problem(const MeterUnderTest& meter, int kind, const unsigned char* data,
                           unsigned int length);

// A record the meter's device published, as the session tells it: counted,
// checked at once, its problem noted.
void check_record(MeterUnderTest& meter, int kind, const unsigned char* data,
                  unsigned int length);

// Writes to the meters of one line through the session, on the line's thread.
class MeterWriter {
public:
    MeterWriter(meterhost::BenchSession& session, SimulatedLine& line, std::uint32_t seed);

    // One write of random registers of the meter, its exchange and the
    // check of its outcome.
    void write(MeterUnderTest& meter);

private:
    void check_write(MeterUnderTest& meter, std::int32_t outcome, const std::string& what,
                     std::uint16_t address, const std::vector<std::uint16_t>& values);

    meterhost::BenchSession& session_;
    SimulatedLine& line_;
    std::mt19937 random_;
};

// Why a write's reported outcome contradicts what the meter did with it, or
// empty when it does not. `taken` is the last write the meter logged;
// `applied` whether its registers now hold the values written. A confirmed
// write must be applied and be that last write, answered without a fault; a
// refused one must be one the meter answered with a wrong echo.
std::string write_outcome_problem(std::int32_t outcome, bool applied, const WriteTaken& taken,
                                  const std::string& what);

}  // namespace soak
