// The Modbus back-end of the bench host. Devices queue Modbus requests while
// the host calls them; perform_pending(), called by the host loop after each
// call into a device, carries them out one at a time on the device's line
// (line.h): a good reply goes into reply_words (reply_layout.h) and on to
// process_payload, anything else to on_error. Devices configured for the same
// port share one line, each with its own slave address; they must agree on
// its baud rate and parity. A line that fails is reopened at the next poll,
// with one message when it goes and one when it is back.
//
// submit() may be called from any thread; everything else from the one
// thread that runs the transport's lines.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "devhost/runtime/backends.h"
#include "devhost/lines/line_settings.h"

namespace devhost {

class Line;
class LineObserver;

class LineTransport final : public ModbusTransport {
public:
    using Reporter = std::function<void(const std::string&)>;

    // report receives one line per event worth telling (port lost or back,
    // a failed transaction, settings rejected).
    explicit LineTransport(Reporter report);
    ~LineTransport() override;

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

    // Failed transactions of every device.
    unsigned long error_count() const { return errors_; }
    // The latest failed request and why, or empty.
    const std::string& last_failure() const { return last_failure_; }

    struct MeterCounts {
        unsigned long answered = 0;  // transactions the meter answered
        unsigned long errors = 0;    // transactions that failed
    };
    MeterCounts meter_counts(const SMDSPDevice& device) const;
    // A quiet device's failures are counted but not reported (a meter the
    // host already reports offline).
    void set_quiet(const SMDSPDevice& device, bool quiet);
    // Watches the frames of every line of this back-end, those set up later
    // included; null for none.
    void set_observer(LineObserver* observer);

private:
    struct SharedLine {
        std::unique_ptr<devhost::Line> link;
        bool down = false;  // reported unreachable; the next successful open is reported
    };
    struct Meter {
        std::shared_ptr<SharedLine> line;
        int slave = 1;
        int timeout_ms = 500;
        MeterCounts counts;
        bool quiet = false;
    };
    struct Queued {
        SPModbus* device;
        ModbusRequest request;
    };

    Meter* meter_of(const SMDSPDevice& device);
    std::string sharing_problem(const SMDSPDevice& device, const LineSettings& settings) const;
    void drop_unused_lines();
    bool ensure_open(SharedLine& line);
    void mark_down(SharedLine& line, const std::string& why);
    void perform(const Queued& queued);
    void fail(SPModbus& device, Meter* meter, const std::string& what, const std::string& why,
              bool quiet);

    Reporter report_;
    LineObserver* observer_ = nullptr;
    std::map<std::string, std::shared_ptr<SharedLine>> lines_;  // by port
    std::map<const SMDSPDevice*, Meter> meters_;
    std::mutex queue_mutex_;
    std::deque<Queued> queue_;
    unsigned long errors_ = 0;
    std::string last_failure_;
};

// Why a request cannot be sent as it stands (counts outside the Modbus
// limits, values missing), or empty when it can.
std::string request_problem(const ModbusRequest& request);

}  // namespace devhost
