// Where the module's published records and history records go in meterhost:
// publications are counted per device (one per completed round), history
// records are written to the history store when there is one. Devices on
// several line threads use it at once.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "devhost/runtime/backends.h"

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

    // Records published, by every device and by one.
    unsigned long rounds() const;
    unsigned long rounds(const SMDVDevice& device) const;

private:
    struct Published {
        int last_kind = 0;
        unsigned long rounds = 0;
    };

    devhost::HistoryStore* store_;
    Reporter report_;
    mutable std::mutex mutex_;
    std::map<const SMDVDevice*, Published> published_;
    unsigned long rounds_ = 0;
};

}  // namespace meterhost
