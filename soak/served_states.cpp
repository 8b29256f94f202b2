#include "soak/served_states.h"

#include <algorithm>

namespace soak {

void ServedStates::add(const metersim::RegisterValues& block)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++reads_;
    if (!blocks_.empty() && blocks_.back() == block)
        return;
    blocks_.push_back(block);
    if (blocks_.size() > window_)
        blocks_.pop_front();
}

bool ServedStates::contains_prefix(const std::uint16_t* words, std::size_t count) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    // Newest first: what the host shows is almost always the latest block.
    return std::any_of(blocks_.rbegin(), blocks_.rend(), [&](const metersim::RegisterValues& block) {
        return std::equal(words, words + count, block.begin());
    });
}

unsigned long ServedStates::reads_served() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
}

}  // namespace soak
