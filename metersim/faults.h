// Misbehaviour the simulated meter can be told to show, so that tests can
// drive the master's error paths over a real line. The names are the ones the
// command line and the tests use.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "modbus/protocol.h"

namespace metersim {

enum class FaultKind {
    NoReply,    // the request is swallowed: the master times out
    WrongEcho,  // a write is taken, but its echo carries value (or count) + 1
    Exception,  // an exception reply (kFaultExceptionCode) instead of the answer
    Delay,      // the answer comes kDefaultFaultDelay late, past the master's timeout
    BadCrc,     // the answer's CRC is inverted
};

constexpr const char kFaultNoReply[] = "no-reply";
constexpr const char kFaultWrongEcho[] = "wrong-echo";
constexpr const char kFaultException[] = "exception";
constexpr const char kFaultDelay[] = "delay";
constexpr const char kFaultBadCrc[] = "bad-crc";

// Server device failure: what a meter answers when it cannot serve a request
// it understood.
constexpr std::uint8_t kFaultExceptionCode = modbus::kServerDeviceFailure;
constexpr std::chrono::milliseconds kDefaultFaultDelay{700};

// A fault that hits every Nth request it applies to (writes only for
// WrongEcho, every request for the others); every = 1 hits all of them.
struct FaultPlan {
    FaultKind kind;
    unsigned every = 1;
};

const char* fault_name(FaultKind kind);

// "KIND" or "KIND:N" with N >= 1; nullopt for anything else.
std::optional<FaultPlan> parse_fault(const std::string& text);

// What the faults decide for one request.
struct FaultDecision {
    bool no_reply = false;
    bool delay = false;
    bool exception = false;
    bool wrong_echo = false;
    bool bad_crc = false;
};

// Counts the requests each plan applies to and decides which plans hit.
class FaultSchedule {
public:
    explicit FaultSchedule(std::vector<FaultPlan> plans);
    FaultDecision next(bool is_write);

private:
    std::vector<FaultPlan> plans_;
    std::vector<unsigned long> seen_;
};

}  // namespace metersim
