#include "metersim/faults.h"

#include <cerrno>
#include <cstdlib>

namespace metersim {

namespace {

struct NamedFault {
    const char* name;
    FaultKind kind;
};

constexpr NamedFault kNamedFaults[] = {
    {kFaultNoReply, FaultKind::NoReply},     {kFaultWrongEcho, FaultKind::WrongEcho},
    {kFaultException, FaultKind::Exception}, {kFaultDelay, FaultKind::Delay},
    {kFaultBadCrc, FaultKind::BadCrc},
};

}  // namespace

const char* fault_name(FaultKind kind)
{
    for (const auto& named : kNamedFaults)
        if (named.kind == kind)
            return named.name;
    return "?";
}

std::optional<FaultPlan> parse_fault(const std::string& text)
{
    const auto colon = text.find(':');
    const std::string name = text.substr(0, colon);
    unsigned every = 1;
    if (colon != std::string::npos) {
        const std::string count = text.substr(colon + 1);
        if (count.empty() || count.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        errno = 0;
        const unsigned long parsed = std::strtoul(count.c_str(), nullptr, 10);
        if (errno != 0 || parsed == 0 || parsed > 1000000)
            return std::nullopt;
        every = static_cast<unsigned>(parsed);
    }
    for (const auto& named : kNamedFaults)
        if (name == named.name)
            return FaultPlan{named.kind, every};
    return std::nullopt;
}

FaultSchedule::FaultSchedule(std::vector<FaultPlan> plans)
    : plans_(std::move(plans)), seen_(plans_.size(), 0)
{
}

FaultDecision FaultSchedule::next(bool is_write)
{
    FaultDecision decision;
    for (std::size_t i = 0; i < plans_.size(); ++i) {
        const FaultPlan& plan = plans_[i];
        if (plan.kind == FaultKind::WrongEcho && !is_write)
            continue;
        if (++seen_[i] % plan.every != 0)
            continue;
        switch (plan.kind) {
        case FaultKind::NoReply: decision.no_reply = true; break;
        case FaultKind::WrongEcho: decision.wrong_echo = true; break;
        case FaultKind::Exception: decision.exception = true; break;
        case FaultKind::Delay: decision.delay = true; break;
        case FaultKind::BadCrc: decision.bad_crc = true; break;
        }
    }
    return decision;
}

}  // namespace metersim
