// The register blocks the simulated meter has served in read replies, newest
// last, kept for a bounded window so memory stays flat however long the soak
// runs. Whatever the host publishes or shows must be one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "metersim/register_bank.h"

namespace soak {

class ServedStates {
public:
    explicit ServedStates(std::size_t window) : window_(window) {}

    // From the simulator's thread, once per read reply.
    void add(const metersim::RegisterValues& block);

    bool contains(const std::uint16_t* words) const { return contains_prefix(words, kAll); }
    // Whether some served block starts with these `count` words.
    bool contains_prefix(const std::uint16_t* words, std::size_t count) const;

    unsigned long reads_served() const;

private:
    static constexpr std::size_t kAll = metersim::kRegisterCount;

    const std::size_t window_;
    mutable std::mutex mutex_;
    std::deque<metersim::RegisterValues> blocks_;
    unsigned long reads_ = 0;
};

}  // namespace soak
