#include "devhost/meterhost/round_recorder.h"

#include <chrono>

#include "devhost/history/history_store.h"
#include "host/smd_vdevice.h"

namespace meterhost {

RoundRecorder::RoundRecorder(devhost::HistoryStore* store, Reporter report)
    : store_(store), report_(std::move(report))
{
}

bool RoundRecorder::publish(SMDVDevice& device, int kind, const unsigned char*, unsigned int,
                            bool)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Published& published = published_[&device];
    published.last_kind = kind;
    ++published.rounds;
    ++rounds_;
    return true;
}

unsigned long RoundRecorder::rounds() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rounds_;
}

unsigned long RoundRecorder::rounds(const SMDVDevice& device) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = published_.find(&device);
    return found == published_.end() ? 0 : found->second.rounds;
}

bool RoundRecorder::save_history(SMDVDevice& device, const unsigned char* data,
                                 unsigned int length)
{
    if (store_ == nullptr)
        return true;
    devhost::StoredRecord record;
    record.data_id = device.DataId();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto published = published_.find(&device);
        record.kind = published == published_.end() ? 0 : published->second.last_kind;
    }
    record.stored_at_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    record.bytes.assign(data, data + length);
    std::string error;
    if (store_->append(record, error))
        return true;
    report_("history: record not stored: " + error);
    return false;
}

}  // namespace meterhost
