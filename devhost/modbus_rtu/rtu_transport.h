// The serial-line back-end of the bench host. Devices queue Modbus requests
// while the host calls them; perform_pending(), called by the host loop after
// each call into a device, carries them out one at a time on the device's
// line: a good reply goes into reply_words (reply_layout.h) and on to
// process_payload, anything else to on_error. A port that fails is reopened
// at the next poll, with one message when it goes and one when it is back.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "backends.h"
#include "line_settings.h"

namespace devhost {

class RtuLine;

class RtuTransport final : public ModbusTransport {
public:
    using Reporter = std::function<void(const std::string&)>;

    // report receives one line per event worth telling (port lost or back,
    // a failed transaction, settings rejected).
    explicit RtuTransport(Reporter report);
    ~RtuTransport() override;

    bool init_setting(SPModbus& device, const Json::Value& settings) override;
    int open_port(SMDSPDevice& device) override;
    int close_port(SMDSPDevice& device) override;
    int refresh_status(SMDSPDevice& device) override;
    void reset(SMDSPDevice& device) override;
    int submit(SPModbus& device, const ModbusRequest& request) override;

    // Carries out the requests queued before the call, in order; requests
    // queued meanwhile wait for the next call. Returns how many it handled.
    std::size_t perform_pending();

    // Drops the device's line and queued requests; call before destroying it.
    void forget(const SMDSPDevice& device);

    unsigned long error_count() const { return errors_; }
    // The latest failed request and why, or empty.
    const std::string& last_failure() const { return last_failure_; }

private:
    struct Port {
        std::unique_ptr<RtuLine> line;
        bool down = false;  // reported unreachable; the next successful open is reported
    };
    struct Queued {
        SPModbus* device;
        ModbusRequest request;
    };

    Port* port_of(const SMDSPDevice& device);
    bool ensure_open(Port& port);
    void mark_down(Port& port, const std::string& why);
    void perform(const Queued& queued);
    void fail(SPModbus& device, const std::string& what, const std::string& why, bool quiet);

    Reporter report_;
    std::map<const SMDSPDevice*, Port> ports_;
    std::mutex queue_mutex_;
    std::deque<Queued> queue_;
    unsigned long errors_ = 0;
    std::string last_failure_;
};

// Why a request cannot be sent as it stands (counts outside the Modbus
// limits, values missing), or empty when it can.
std::string request_problem(const ModbusRequest& request);

}  // namespace devhost
