#include "meter/kalvor_power_meter.h"

#include <cstdint>
#include <mutex>
#include <stdexcept>

#include "meter/request_codes.h"

namespace {

constexpr int kDefaultBaudRate = 9600;
constexpr std::uint8_t kDefaultModbusOption = 1;
constexpr std::int64_t kStaleAfterSeconds = 60;
constexpr std::uint16_t kWriteMultipleFunction = 16;

}  // namespace

KalvorPowerMeter::KalvorPowerMeter()
    : write_result(write_outcome::kPending), write_expect(-1)
{
    device_type = "kalvorpowermeter";
    baud_rate = kDefaultBaudRate;
    modbus_option = kDefaultModbusOption;
}

KalvorPowerMeter::~KalvorPowerMeter() {}

bool KalvorPowerMeter::InitSetting(const Json::Value& settings)
{
    record.data_id = data_id;
    return DataDevice::InitSetting(settings);
}

int KalvorPowerMeter::RefreshStatus()
{
    SMDSPDevice::RefreshStatus();
    tab = transaction::kBlockRead;
    modbus_read_registers(kRegisterBlockStart, kRegisterBlockCount);
    return 1;
}

// Dispatches on the transaction this device started, not on the arguments:
// the host's kind and length are not trusted to match it.
int KalvorPowerMeter::process_payload(tab_type, unsigned int)
{
    switch (tab) {
    case transaction::kBlockRead: {
        {
            std::lock_guard<std::mutex> lock(snapshot_mutex);
            store_registers(record, reply_words);
        }
        RoundDone();
        return 0;
    }
    case transaction::kWriteRegister: {
        const std::int32_t echoed = reply_words[0];
        write_result = echoed == write_expect ? write_outcome::kConfirmed : write_outcome::kRefused;
        Reset();
        return 0;
    }
    case transaction::kWriteRegisters: {
        const std::int32_t function = reply_words[0];
        const std::int32_t quantity = reply_words[1];
        const bool confirmed = function == kWriteMultipleFunction && quantity == write_expect;
        write_result = confirmed ? write_outcome::kConfirmed : write_outcome::kRefused;
        Reset();
        return 0;
    }
    default:
        return 1;
    }
}

float KalvorPowerMeter::Get_Value(unsigned int, const std::string&) const
{
    // Copied under the lock the round writes them under: a 64-bit time read
    // on a 32-bit core can otherwise see half of one round's time.
    bool ready;
    boost::posix_time::ptime round_time;
    {
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        ready = data_ready;
        round_time = data_time;
    }
    if (!ready)
        throw std::out_of_range("数据未就绪");
    if (round_time.is_special())
        throw std::out_of_range("数据已超时");
    const auto age = boost::posix_time::second_clock::local_time() - round_time;
    const std::int64_t age_seconds = age.ticks() / age.ticks_per_second();
    if (age_seconds > kStaleAfterSeconds)
        throw std::out_of_range("数据已超时");
    // Also for data stamped in the future (the clock was set back).
    throw std::out_of_range("不支持变量");
}

void KalvorPowerMeter::RunCheckThreshold() {}
