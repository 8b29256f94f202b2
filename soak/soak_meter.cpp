#include "soak_meter.h"

#include <utility>

#include "request_log.h"
#include "simulator.h"

namespace soak {

namespace {

constexpr metersim::FaultKind kFaultKinds[] = {
    metersim::FaultKind::NoReply, metersim::FaultKind::WrongEcho, metersim::FaultKind::Exception,
    metersim::FaultKind::Delay, metersim::FaultKind::BadCrc,
};

}  // namespace

SoakMeter::SoakMeter(std::string link, const metersim::RegisterValues& initial,
                     ServedStates& served, std::uint32_t seed,
                     std::chrono::milliseconds fault_delay)
    : link_(std::move(link)), served_(served), fault_delay_(fault_delay), random_(seed)
{
    std::lock_guard<std::mutex> lock(simulator_mutex_);
    open_simulator(initial, {});
}

SoakMeter::~SoakMeter()
{
    std::lock_guard<std::mutex> lock(simulator_mutex_);
    simulator_.reset();
}

void SoakMeter::open_simulator(const metersim::RegisterValues& registers,
                               std::vector<metersim::FaultPlan> faults)
{
    metersim::SimulatorOptions options;
    options.link = link_;
    options.table = registers;
    options.faults = std::move(faults);
    options.fault_delay = fault_delay_;
    options.log = [this](const std::string& line) { on_request(line); };
    auto simulator = std::make_unique<metersim::Simulator>(std::move(options));
    simulator->open();
    serving_ = simulator.get();
    simulator->start();
    simulator_ = std::move(simulator);
}

void SoakMeter::reopen_with_random_faults()
{
    // One epoch in six runs clean. The others show one kind of fault in turn,
    // so that even a short soak meets every kind, and up to two more drawn at
    // random; each fault hits every Nth request it applies to, N at random.
    std::vector<metersim::FaultPlan> faults;
    std::lock_guard<std::mutex> lock(simulator_mutex_);
    const unsigned long epoch = epoch_++;
    if (epoch % 6 != 5) {
        const auto random_every = [this] { return 2 + static_cast<unsigned>(random_() % 9); };
        faults.push_back({kFaultKinds[epoch % 6 % std::size(kFaultKinds)], random_every()});
        for (unsigned extra = random_() % 3; extra > 0; --extra)
            faults.push_back({kFaultKinds[random_() % std::size(kFaultKinds)], random_every()});
    }
    simulator_->stop();
    metersim::RegisterValues registers = simulator_->registers();
    simulator_.reset();  // joins the serving thread and closes the terminal
    open_simulator(registers, std::move(faults));
    std::lock_guard<std::mutex> log_lock(log_mutex_);
    ++faults_.reopened;
}

metersim::RegisterValues SoakMeter::registers() const
{
    std::lock_guard<std::mutex> lock(simulator_mutex_);
    return simulator_->registers();
}

WriteTaken SoakMeter::last_write() const
{
    std::lock_guard<std::mutex> lock(log_mutex_);
    return last_write_;
}

FaultCounts SoakMeter::faults() const
{
    std::lock_guard<std::mutex> lock(log_mutex_);
    return faults_;
}

// The simulator logs each request after it has served it from its register
// bank and before it sends the reply; the bank is not touched again until
// the next request, so reading it here gives exactly what a read served.
void SoakMeter::on_request(const std::string& line)
{
    const RequestLine request = parse_request_line(line);
    {
        std::lock_guard<std::mutex> lock(log_mutex_);
        faults_.no_reply += request.no_reply;
        faults_.delayed += request.delayed;
        faults_.exception += request.exception;
        faults_.wrong_echo += request.wrong_echo;
        faults_.bad_crc += request.bad_crc;
        if (request.kind == RequestKind::Write)
            last_write_ = {request.what, request.faulted(), request.wrong_echo,
                           last_write_.sequence + 1};
    }
    switch (request.kind) {
    case RequestKind::Read:
        if (request.reply_intact()) {
            served_.add(serving_.load()->registers());
            ++intact_reads_;
        }
        break;
    case RequestKind::Unknown:
        ++unrecognised_;
        break;
    default:
        break;
    }
}

}  // namespace soak
