// The host side of every fuzz target: the real module, loaded once per
// process the way the gateway host loads it, and a recording back-end that
// answers the host operations the devices call and lets the targets check
// them. Devices are made per input and destroyed before the module unloads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/harness/byte_script.h"
#include "host/spmodbus.h"
#include "devhost/runtime/recording_backend.h"

namespace fuzzharness {

constexpr int kRecordKind = 5156;
constexpr unsigned kRecordSize = 131;
constexpr std::size_t kRegistersOffset = 4;
constexpr std::size_t kTimeStampOffset = 124;
constexpr int kBlockStart = 10;
constexpr int kBlockCount = 60;

class ModuleHost {
public:
    // Loads the module on first use; aborts if it cannot be loaded.
    static ModuleHost& instance();

    // A new device, bound to the recording back-end (the one before it is
    // unbound: each input drives one device at a time).
    std::unique_ptr<SPModbus> new_device();
    devhost::RecordingBackend& backend() { return backend_; }

    // The host calls recorded since the last clear(), by name.
    std::vector<std::string> call_names() const { return backend_.call_names(); }
    std::vector<devhost::HostCall> calls_named(const std::string& op) const
    {
        return backend_.calls_named(op);
    }
    void clear_calls() { backend_.clear(); }

private:
    ModuleHost();
    devhost::RecordingBackend backend_;
    devhost::BackendBinding binding_;
    struct Module;
    std::unique_ptr<Module> module_;
};

// Checks one completed round as the host saw it: exactly one record published
// under the meter's kind and stored as history with identical bytes, 131 of
// them, carrying `data_id`, the 60 `registers` and a plausible local time.
void check_round_published(const ModuleHost& host, std::uint32_t data_id,
                           const std::uint16_t* registers);

// Checks that the device called no host operation at all.
void check_no_host_calls(const ModuleHost& host, const char* after);

// Checks a snapshot object: null before any round, else the 31 members, the
// quantities converted from `registers`.
void check_snapshot(const Json::Value& snapshot, const std::uint16_t* registers);

// The outcome of the last write as the host reads it, through the result query.
std::int32_t query_write_outcome(SPModbus& device);

// One fuzz input: a fresh Session over the shared host runs the input's
// script. What the last operation recorded is freed within the input, so the
// fuzzer's leak check sees every input balanced.
template <typename Session>
int run_input(const std::uint8_t* data, std::size_t size,
              void (*run_script)(Session&, ByteScript&))
{
    ModuleHost& host = ModuleHost::instance();
    ByteScript script(data, size);
    {
        Session session(host);
        run_script(session, script);
    }
    host.clear_calls();
    return 0;
}

}  // namespace fuzzharness
