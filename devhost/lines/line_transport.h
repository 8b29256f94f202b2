// The Modbus back-end of the bench host. Devices queue Modbus requests while
// the host calls them; perform_pending(), called by the host loop after each
// call into a device, carries them out one at a time on the device's line
// (line.h): a good reply goes into reply_words (reply_layout.h) and on to
// process_payload, anything else to on_error. Devices configured for the same
// port share one line, each with its own slave address; they must agree on
// its baud rate and parity. A line that fails is reopened at the next poll,
// with one message when it goes and one when it is back, each also told to
// the line's listener as an event. What became of each request comes back
// from perform_pending().
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
#include <vector>

#include "devhost/runtime/backends.h"
#include "devhost/lines/line_settings.h"

namespace devhost {

class Line;
class LineObserver;

// Hears a transport's line go and come back, on the thread that runs the
// transport's lines.
class LineListener {
public:
    virtual ~LineListener() = default;
    // The line on `port` failed, or would not open; it is reopened at the
    // next poll.
    virtual void line_lost(const std::string& port) = 0;
    // It opened again after that.
    virtual void line_back(const std::string& port) = 0;
};

// What became of one request perform_pending() carried out.
struct Transaction {
    const SMDSPDevice* device = nullptr;  // whose request it was
    bool answered = false;  // a valid reply went to process_payload; otherwise on_error
};

class LineTransport final : public ModbusTransport {
public:
    using Reporter = std::function<void(const std::string&)>;

    // report receives one line per event worth telling (port lost or back,
    // a failed transaction unless quiet, settings rejected).
    explicit LineTransport(Reporter report);
    ~LineTransport() override;

    bool init_setting(SPModbus& device, const Json::Value& settings) override;
    int open_port(SMDSPDevice& device) override;
    int close_port(SMDSPDevice& device) override;
    int refresh_status(SMDSPDevice& device) override;
    void reset(SMDSPDevice& device) override;
    int submit(SPModbus& device, const ModbusRequest& request) override;

    // Whether perform_pending() reports failed transactions. Quiet is for a
    // meter the host already reports offline, or a scan's silent addresses;
    // a line that fails is told either way.
    enum class Failures { Reported, Quiet };

    // Carries out the requests queued before the call, in order; requests
    // queued meanwhile wait for the next call. `failures` holds for every
    // request of the batch. Returns what became of each, in order.
    std::vector<Transaction> perform_pending(Failures failures = Failures::Reported);

    // Drops the device's line and queued requests; call before destroying it.
    void forget(const SMDSPDevice& device);

    // Failed transactions of every device.
    unsigned long error_count() const { return errors_; }
    // The latest failed request and why, or empty.
    const std::string& last_failure() const { return last_failure_; }

    // Hears every line of this back-end go and come back; null for none.
    void set_listener(LineListener* listener) { listener_ = listener; }
    // Watches the frames of every line of this back-end, those set up later
    // included; null for none.
    void set_observer(LineObserver* observer);

private:
    struct SharedLine {
        std::unique_ptr<devhost::Line> link;
        bool down = false;  // reported unreachable; the next successful open is reported
    };
    // What the transport needs of a device's meter: where it is reached.
    struct Meter {
        std::shared_ptr<SharedLine> line;
        int slave = 1;
        int timeout_ms = 500;
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
    Transaction perform(const Queued& queued, Failures failures);
    Transaction fail(SPModbus& device, Meter* meter, const std::string& what,
                     const std::string& why, bool quiet);

    Reporter report_;
    LineListener* listener_ = nullptr;
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
