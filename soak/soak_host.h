// The host side of the soak: one meter device loaded and configured by the
// bench host's own session code, polled and written on one thread as the
// gateway's host does. Every record the device publishes is checked against
// the blocks the meter served, and every write's reported outcome against
// what the meter actually did with it.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "backends.h"
#include "served_states.h"
#include "soak_meter.h"

class SMDSPDevice;

namespace devhost {
class RtuTransport;
}

namespace soak {

struct HostCounts {
    unsigned long polls = 0;
    unsigned long rounds = 0;          // records published
    unsigned long records_checked = 0;
    unsigned long bad_records = 0;
    unsigned long writes = 0;
    unsigned long confirmed = 0;
    unsigned long refused = 0;
    unsigned long unanswered = 0;
    unsigned long bad_writes = 0;      // reported outcome contradicts the meter
};

// Takes the records the device publishes and stores; checks each at once.
class RecordCheck final : public devhost::RecordSink {
public:
    RecordCheck(const ServedStates& served, std::uint32_t data_id, HostCounts& counts,
                std::vector<std::string>& problems);

    bool publish(SMDVDevice& device, int kind, const unsigned char* data, unsigned int length,
                 bool urgent) override;
    bool save_history(SMDVDevice& device, const unsigned char* data,
                      unsigned int length) override;

private:
    const ServedStates& served_;
    const std::uint32_t data_id_;
    HostCounts& counts_;
    std::vector<std::string>& problems_;
};

class SoakHost {
public:
    SoakHost(SMDSPDevice& device, devhost::RtuTransport& transport, SoakMeter& meter,
             std::uint32_t seed);

    // One poll and the exchange it starts.
    void poll();
    // One write of random registers, its exchange and the outcome check.
    void write();

    const HostCounts& counts() const { return counts_; }
    HostCounts& counts() { return counts_; }
    std::vector<std::string>& problems() { return problems_; }

private:
    std::int32_t query_outcome();
    void check_write(const std::string& what, std::uint16_t address,
                     const std::vector<std::uint16_t>& values);

    SMDSPDevice& device_;
    devhost::RtuTransport& transport_;
    SoakMeter& meter_;
    std::mt19937 random_;
    std::uint16_t next_value_ = 1;
    HostCounts counts_;
    std::vector<std::string> problems_;
};

// Why a write's reported outcome contradicts what the meter did with it, or
// empty when it does not. `taken` is the last write the meter logged;
// `applied` whether its registers now hold the values written. A confirmed
// write must be applied and be that last write, answered without a fault; a
// refused one must be one the meter answered with a wrong echo.
std::string write_outcome_problem(std::int32_t outcome, bool applied, const WriteTaken& taken,
                                  const std::string& what);

// Keeps at most this many problem descriptions; the counts keep the rest.
constexpr std::size_t kProblemsKept = 20;
void note_problem(std::vector<std::string>& problems, const std::string& problem);

}  // namespace soak
