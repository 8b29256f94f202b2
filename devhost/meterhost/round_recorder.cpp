#include "round_recorder.h"

#include <chrono>

#include "history_store.h"
#include "host/smd_vdevice.h"

namespace meterhost {

RoundRecorder::RoundRecorder(devhost::HistoryStore* store, Reporter report)
    : store_(store), report_(std::move(report))
{
}

bool RoundRecorder::publish(SMDVDevice& device, int kind, const unsigned char*, unsigned int,
                            bool)
{
    last_kind_[&device] = kind;
    ++rounds_;
    return true;
}

bool RoundRecorder::save_history(SMDVDevice& device, const unsigned char* data,
                                 unsigned int length)
{
    if (store_ == nullptr)
        return true;
    devhost::StoredRecord record;
    record.data_id = device.DataId();
    const auto kind = last_kind_.find(&device);
    record.kind = kind == last_kind_.end() ? 0 : kind->second;
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
