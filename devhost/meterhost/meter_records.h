// Where one meter's device puts its records: each published record (one per
// completed round) goes to the session's events and is noted, so that a
// poll can tell whether it completed a round; history records are written
// to the history store when there is one. The device publishes on its
// line's thread, or on the session's while it restores from the history.
#pragma once

#include <mutex>

#include "devhost/meterhost/meter_identity.h"
#include "devhost/runtime/backends.h"

namespace devhost {
class HistoryStore;
}

namespace meterhost {

class SessionEvents;

class MeterRecords final : public devhost::RecordSink {
public:
    // store: null for none.
    MeterRecords(const MeterIdentity& meter, devhost::HistoryStore* store, SessionEvents& events);

    bool publish(SMDVDevice& device, int kind, const unsigned char* data, unsigned int length,
                 bool urgent) override;
    // True only once the record is committed to the store.
    bool save_history(SMDVDevice& device, const unsigned char* data, unsigned int length) override;

    // Starts watching for a round: published() then says whether one
    // completed since.
    void mark();
    bool published() const;

private:
    const MeterIdentity meter_;
    devhost::HistoryStore* store_;
    SessionEvents& events_;
    mutable std::mutex mutex_;
    int last_kind_ = 0;  // of the latest record published, for the history's records
    bool published_ = false;
};

}  // namespace meterhost
