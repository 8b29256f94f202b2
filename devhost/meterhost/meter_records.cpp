#include "devhost/meterhost/meter_records.h"

#include <chrono>

#include "devhost/history/history_store.h"
#include "devhost/meterhost/session_events.h"
#include "host/smd_vdevice.h"

namespace meterhost {

MeterRecords::MeterRecords(const MeterIdentity& meter, devhost::HistoryStore* store,
                           SessionEvents& events)
    : meter_(meter), store_(store), events_(events)
{
}

bool MeterRecords::publish(SMDVDevice&, int kind, const unsigned char* data, unsigned int length,
                           bool)
{
    events_.record_published(meter_, kind, data, length);
    std::lock_guard<std::mutex> lock(mutex_);
    last_kind_ = kind;
    published_ = true;
    return true;
}

void MeterRecords::mark()
{
    std::lock_guard<std::mutex> lock(mutex_);
    published_ = false;
}

bool MeterRecords::published() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return published_;
}

bool MeterRecords::save_history(SMDVDevice& device, const unsigned char* data,
                                unsigned int length)
{
    if (store_ == nullptr)
        return true;
    devhost::StoredRecord record;
    record.data_id = device.DataId();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        record.kind = last_kind_;
    }
    record.stored_at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    record.bytes.assign(data, data + length);
    std::string error;
    if (store_->append(record, error))
        return true;
    events_.message("history: record not stored: " + error);
    return false;
}

}  // namespace meterhost
