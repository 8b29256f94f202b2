// A data device that keeps one fixed-size record and completes it once per
// polling round: time stamp, publication, report and threshold checks,
// history. Sits between a host protocol base class and a concrete driver.
#pragma once

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "host/smd_vdevice.h"
#include "host/ttime.h"

namespace datadevice {

// The "b_mode" setting as text, read the way atof reads it (leading blanks
// skipped, longest numeric prefix, 0 when none), then truncated toward zero.
// Values outside the int range are clamped, NaN gives 0.
inline int mode_from_text(const std::string& text)
{
    const double value = std::strtod(text.c_str(), nullptr);
    if (std::isnan(value))
        return 0;
    if (value >= static_cast<double>(INT_MAX))
        return INT_MAX;
    if (value <= static_cast<double>(INT_MIN))
        return INT_MIN;
    return static_cast<int>(value);
}

// Writes "rvSize is N" and the line end to standard output as one write of
// the whole line, then flushes: devices completing rounds on different
// threads never interleave their lines. Built on the stack, so a round
// allocates nothing for it.
inline void write_round_line(std::size_t rule_count)
{
    static constexpr char kPrefix[] = "rvSize is ";
    char line[sizeof kPrefix + 24];
    std::memcpy(line, kPrefix, sizeof kPrefix - 1);
    char* const digits = line + (sizeof kPrefix - 1);
    char* const end = std::to_chars(digits, line + sizeof line - 1, rule_count).ptr;
    *end = '\n';
    std::cout.write(line, end + 1 - line);
    std::cout.flush();
}

}  // namespace datadevice

template <typename Data_t, typename Base, int RecordKind>
class UniDataDevice : public Base {
    static_assert(std::is_trivially_copyable<Data_t>::value, "the record is copied as bytes");

public:
    UniDataDevice() : b_mode(1) { std::memset(&record, 0, sizeof record); }
    ~UniDataDevice() override {}

    // Takes a stored record of exactly the record's size and completes a
    // round with it at once; refuses any other length and changes nothing.
    using Base::LoadFromCache;
    int LoadFromCache(const unsigned char* data, int length) override
    {
        if (data == nullptr || length != static_cast<int>(sizeof(Data_t)))
            return 0;
        {
            std::lock_guard<std::mutex> lock(snapshot_mutex);
            std::memcpy(&record, data, sizeof(Data_t));
            this->data_ready = true;
        }
        RoundDone();
        return 1;
    }

    void RoundDone() override
    {
        const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
        const ttime stamp = get_ttime(now);
        {
            // Held only for the writes a concurrent snapshot request or value
            // query reads; never across a call into the host.
            std::lock_guard<std::mutex> lock(snapshot_mutex);
            if (!this->data_ready)
                this->data_ready = true;
            this->data_time = now;
            record.time_stamp = stamp;
            ++rounds_completed;
        }

        this->SMDVDevice::SendSP(RecordKind, record_bytes(), sizeof(Data_t), false);
        this->Reset();
        this->data_status = 1;
        this->report_needed = false;
        RunCheckThreshold();

        for (const std::string& signal : this->check_signals) {
            const auto found = this->signal_values.find(signal);
            if (found == this->signal_values.end())
                continue;
            const bool report = this->SMDVDevice::CheckAOReport(signal, found->second);
            this->report_needed = report || this->report_needed;
            this->SMDVDevice::CheckThreshold(signal, std::string(), found->second, 1);
        }

        datadevice::write_round_line(this->rule_values.size());

        const bool batch = this->SMDVDevice::DoBatchCheckThreshold(this->rule_values);
        this->report_needed = batch || this->report_needed;
        this->SMDVDevice::SaveDeviceHistory(record_bytes(), sizeof(Data_t));
        this->rule_values.clear();
    }

    // Copies the data id into the record, reads "appSetting"/"b_mode", and
    // hands the whole configuration to the base. A configuration that is
    // neither an object nor null, or a "b_mode" with no text form (array,
    // object), raises the JSON library's error before the base is called.
    bool InitSetting(const Json::Value& settings) override
    {
        record.data_id = this->data_id;
        const Json::Value& app_setting = settings["appSetting"];
        if (!app_setting.isNull() && app_setting.isObject()) {
            const Json::Value& mode = app_setting["b_mode"];
            if (!mode.isNull())
                b_mode = datadevice::mode_from_text(mode.asString());
        }
        return Base::InitSetting(settings);
    }

    // The driver's own per-round threshold work; none by default.
    virtual void RunCheckThreshold() {}

    Data_t record;
    int b_mode;
    boost::posix_time::ptime snapshot_time;
    // Guards the record, data_ready, data_time, the round count and the
    // snapshot; mutable so that const queries can read the round under it.
    mutable std::mutex snapshot_mutex;
    Json::Value snapshot;

    // Rounds completed, and the count the snapshot was last built for; both
    // guarded by snapshot_mutex. data_time has one-second resolution, so two
    // rounds within one second leave it unchanged: the count tells them apart.
    std::uint32_t rounds_completed = 0;
    std::uint32_t snapshot_round = 0;

protected:
    const unsigned char* record_bytes() const
    {
        return reinterpret_cast<const unsigned char*>(&record);
    }
};
