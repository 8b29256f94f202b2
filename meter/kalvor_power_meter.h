// The three-phase power meter: polls registers 10..69 over Modbus, completes
// a data round per reply, starts register writes and confirms them by the
// meter's echo, and serves a JSON snapshot of its 30 quantities.
#pragma once

#include <cstdint>
#include <string>

#include "datadevice/uni_data_device.h"
#include "host/spmodbus.h"
#include "meter/kalvor_power_meter_data.h"

constexpr int kMeterRecordKind = 5156;

class KalvorPowerMeter : public UniDataDevice<KalvorPowerMeter_Data_t, SPModbus, kMeterRecordKind> {
public:
    using DataDevice = UniDataDevice<KalvorPowerMeter_Data_t, SPModbus, kMeterRecordKind>;

    KalvorPowerMeter();
    ~KalvorPowerMeter() override;

    // Never returns: this meter serves its values as records and snapshots,
    // and the query only tells why it has none (no data, stale, unsupported).
    float Get_Value(unsigned int id, const std::string& name) const override;

    // Requests 206/210 (writes), 310/320, 801/803 (snapshot), and the write
    // outcome for every other code. Buffers are checked before any use: a
    // negative length, a null buffer with a positive length, or input shorter
    // than a request reads gives -1 and changes nothing.
    //
    // 803 hands out the address of `snapshot` itself, in the platform's
    // pointer width. A holder may rely on: the address stays valid and the
    // same for the device's whole life; the object changes only while a later
    // 801 or 803 request on this device rebuilds it (under snapshot_mutex),
    // so reading it is safe only while no such request can run, e.g. on the
    // thread that makes the requests, between them.
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_count) override;

    bool InitSetting(const Json::Value& settings) override;
    int RefreshStatus() override;
    int process_payload(tab_type kind, unsigned int length) override;
    void RunCheckThreshold() override;

    std::int32_t write_result;  // write_outcome::k*
    std::int32_t write_expect;  // what the pending write's reply must echo

private:
    int write_register(const unsigned char* in, int in_len);
    int write_registers(const unsigned char* in, int in_len);
    int signal_request(const unsigned char* in, int in_len);
    int open_port_request();
    int snapshot_text(unsigned char* out, int out_len, int& out_count);
    int snapshot_address(unsigned char* out, int out_len, int& out_count);
    int write_outcome_query(unsigned char* out, int out_len, int& out_count) const;

    // Rebuilds `snapshot` if a round has completed since it was last built.
    // The caller holds snapshot_mutex.
    void refresh_snapshot_locked();
};
