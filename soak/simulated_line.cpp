#include "soak/simulated_line.h"

#include <utility>

#include "soak/request_log.h"
#include "metersim/simulator.h"

namespace soak {

namespace {

constexpr metersim::FaultKind kFaultKinds[] = {
    metersim::FaultKind::NoReply, metersim::FaultKind::WrongEcho, metersim::FaultKind::Exception,
    metersim::FaultKind::Delay, metersim::FaultKind::BadCrc,
};

}  // namespace

SimulatedLine::SimulatedLine(std::string link, const std::vector<MeterUnderTest*>& meters,
                             std::uint32_t seed, std::chrono::milliseconds fault_delay)
    : link_(std::move(link)), fault_delay_(fault_delay), random_(seed)
{
    std::map<int, metersim::RegisterValues> tables;
    for (MeterUnderTest* meter : meters) {
        meters_[meter->slave] = meter;
        tables[meter->slave] = meter->first_block();
        logs_[meter->slave] = {};
        if (meter->dead)
            dead_.push_back(meter->slave);
    }
    std::lock_guard<std::mutex> lock(simulator_mutex_);
    open_simulator(std::move(tables), {});
}

SimulatedLine::~SimulatedLine()
{
    std::lock_guard<std::mutex> lock(simulator_mutex_);
    simulator_.reset();
}

void SimulatedLine::open_simulator(std::map<int, metersim::RegisterValues> tables,
                                   std::vector<metersim::FaultPlan> faults)
{
    metersim::SimulatorOptions options;
    options.link = link_;
    options.slaves.clear();
    for (const auto& slave : meters_)
        options.slaves.push_back(slave.first);
    options.dead = dead_;
    options.tables = std::move(tables);
    options.faults = std::move(faults);
    options.fault_delay = fault_delay_;
    options.log = [this](const std::string& line) { on_request(line); };
    auto simulator = std::make_unique<metersim::Simulator>(std::move(options));
    simulator->open();
    serving_ = simulator.get();
    simulator->start();
    simulator_ = std::move(simulator);
}

void SimulatedLine::reopen_with_random_faults()
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
    // A request being served when the stop comes may still change the
    // registers and be answered, so they are taken once serving has ended.
    simulator_->stop();
    simulator_->join();
    std::map<int, metersim::RegisterValues> tables;
    for (const auto& slave : meters_)
        tables[slave.first] = simulator_->registers(slave.first);
    simulator_.reset();  // closes the terminal
    open_simulator(std::move(tables), std::move(faults));
    std::lock_guard<std::mutex> log_lock(log_mutex_);
    ++faults_.reopened;
}

metersim::RegisterValues SimulatedLine::registers(int slave) const
{
    std::lock_guard<std::mutex> lock(simulator_mutex_);
    return simulator_->registers(slave);
}

SlaveLog SimulatedLine::slave_log(int slave) const
{
    std::lock_guard<std::mutex> lock(log_mutex_);
    const auto found = logs_.find(slave);
    return found == logs_.end() ? SlaveLog{} : found->second;
}

FaultCounts SimulatedLine::faults() const
{
    std::lock_guard<std::mutex> lock(log_mutex_);
    return faults_;
}

// The simulator logs each request after it has served it from the meter's
// register bank and before it sends the reply; the bank is not touched again
// until the next request, so reading it here gives exactly what a read served.
void SimulatedLine::on_request(const std::string& line)
{
    const RequestLine request = parse_request_line(line);
    const auto meter = meters_.find(request.slave);
    if (meter == meters_.end() &&
        (request.kind == RequestKind::Read || request.kind == RequestKind::Write)) {
        ++unrecognised_;  // a meter the soak did not set up answered
        return;
    }
    {
        std::lock_guard<std::mutex> lock(log_mutex_);
        faults_.no_reply += request.no_reply;
        faults_.delayed += request.delayed;
        faults_.exception += request.exception;
        faults_.wrong_echo += request.wrong_echo;
        faults_.bad_crc += request.bad_crc;
        SlaveLog& log = logs_[request.slave];
        if (request.kind == RequestKind::Write)
            log.last_write = {request.what, request.faulted(), request.wrong_echo,
                              log.last_write.sequence + 1};
        log.intact_reads += request.kind == RequestKind::Read && request.reply_intact();
        log.ignored += request.kind == RequestKind::Ignored;
    }
    switch (request.kind) {
    case RequestKind::Read:
        if (request.reply_intact())
            meter->second->served.add(serving_.load()->registers(request.slave));
        break;
    case RequestKind::Unknown:
        ++unrecognised_;
        break;
    default:
        break;
    }
}

}  // namespace soak
