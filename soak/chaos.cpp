#include "soak/chaos.h"

#include <chrono>

#include "soak/soak_plan.h"

namespace soak {

Chaos::Chaos(SimulatedLine& line, std::uint32_t seed) : line_(line), random_(seed)
{
    thread_ = std::thread([this] { run(); });
}

Chaos::~Chaos()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Chaos::run()
{
    std::uniform_real_distribution<double> pause(kMinReopenSeconds, kMaxReopenSeconds);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, std::chrono::duration<double>(pause(random_)),
                           [this] { return stopping_; }))
        line_.reopen_with_random_faults();
}

}  // namespace soak
