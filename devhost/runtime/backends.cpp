#include "devhost/runtime/backends.h"

#include <map>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace devhost {

namespace {

class QuietTransport final : public ModbusTransport {
public:
    bool init_setting(SPModbus&, const Json::Value&) override { return true; }
    int open_port(SMDSPDevice&) override { return 0; }
    int close_port(SMDSPDevice&) override { return 0; }
    int refresh_status(SMDSPDevice&) override { return 0; }
    void reset(SMDSPDevice&) override {}
    int submit(SPModbus&, const ModbusRequest&) override { return 0; }
};

class QuietSink final : public RecordSink {
public:
    bool publish(SMDVDevice&, int, const unsigned char*, unsigned int, bool) override
    {
        return true;
    }
    bool save_history(SMDVDevice&, const unsigned char*, unsigned int) override { return true; }
};

class QuietRules final : public RuleChecker {
public:
    bool check_ao_report(SMDVDevice&, const std::string&, float) override { return false; }
    bool check_threshold(SMDVDevice&, const std::string&, const std::string&, const float&,
                         int) override
    {
        return false;
    }
    bool batch_check(SMDVDevice&, const std::vector<rule_value>&) override { return false; }
};

QuietTransport quiet_transport;
QuietSink quiet_sink;
QuietRules quiet_rules;

struct Bound {
    Backends backends;
    std::uint64_t token;
};

// Devices on different lines call their host operations at the same time:
// look-ups share the lock, bindings take it alone.
class Registry {
public:
    std::uint64_t bind(const VDeviceInterface* device, Backends backends)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        const std::uint64_t token = ++last_token_;
        bound_[device] = Bound{backends, token};
        return token;
    }

    void unbind(const VDeviceInterface* device, std::uint64_t token)
    {
        std::unique_lock<std::shared_mutex> lock(mutex_);
        const auto found = bound_.find(device);
        if (found != bound_.end() && found->second.token == token)
            bound_.erase(found);
    }

    Backends of(const VDeviceInterface* device) const
    {
        std::shared_lock<std::shared_mutex> lock(mutex_);
        const auto found = bound_.find(device);
        return found == bound_.end() ? Backends{} : found->second.backends;
    }

private:
    mutable std::shared_mutex mutex_;
    std::map<const VDeviceInterface*, Bound> bound_;
    std::uint64_t last_token_ = 0;
};

// Built on first use and never destroyed: bindings held by static objects
// may be released at exit after any other static is gone.
Registry& registry()
{
    static Registry* const instance = new Registry;
    return *instance;
}

}  // namespace

BackendBinding::BackendBinding(const VDeviceInterface& device, Backends backends)
    : device_(&device), token_(registry().bind(&device, backends))
{
}

BackendBinding::~BackendBinding() { reset(); }

BackendBinding::BackendBinding(BackendBinding&& other) noexcept
    : device_(std::exchange(other.device_, nullptr)), token_(std::exchange(other.token_, 0))
{
}

BackendBinding& BackendBinding::operator=(BackendBinding&& other) noexcept
{
    if (this != &other) {
        reset();
        device_ = std::exchange(other.device_, nullptr);
        token_ = std::exchange(other.token_, 0);
    }
    return *this;
}

void BackendBinding::reset()
{
    if (device_ != nullptr)
        registry().unbind(device_, token_);
    device_ = nullptr;
    token_ = 0;
}

BackendBinding bind_backends(const VDeviceInterface& device, Backends backends)
{
    return BackendBinding(device, backends);
}

ModbusTransport& modbus_transport_of(const VDeviceInterface& device)
{
    ModbusTransport* transport = registry().of(&device).transport;
    return transport != nullptr ? *transport : quiet_transport;
}

RecordSink& record_sink_of(const VDeviceInterface& device)
{
    RecordSink* sink = registry().of(&device).records;
    return sink != nullptr ? *sink : quiet_sink;
}

RuleChecker& rule_checker_of(const VDeviceInterface& device)
{
    RuleChecker* rules = registry().of(&device).rules;
    return rules != nullptr ? *rules : quiet_rules;
}

}  // namespace devhost
