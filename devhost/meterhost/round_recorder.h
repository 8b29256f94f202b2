// Where the module's published records and history records go in meterhost:
// publications are counted (one per completed round), history records are
// written to the history store when there is one.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "backends.h"

namespace devhost {
class HistoryStore;
}

namespace meterhost {

class RoundRecorder final : public devhost::RecordSink {
public:
    using Reporter = std::function<void(const std::string&)>;
    RoundRecorder(devhost::HistoryStore* store, Reporter report);

    bool publish(SMDVDevice& device, int kind, const unsigned char* data, unsigned int length,
                 bool urgent) override;
    // True only once the record is committed to the store.
    bool save_history(SMDVDevice& device, const unsigned char* data, unsigned int length) override;

    unsigned long rounds() const { return rounds_; }

private:
    devhost::HistoryStore* store_;
    Reporter report_;
    std::map<const SMDVDevice*, int> last_kind_;
    unsigned long rounds_ = 0;
};

}  // namespace meterhost
