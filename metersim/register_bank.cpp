#include "metersim/register_bank.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "modbus/protocol.h"

namespace metersim {

RegisterBank::RegisterBank(int slave) : live_(true), slave_(slave) {}

RegisterBank::RegisterBank(const RegisterValues& table) : live_(false), values_(table) {}

RegisterValues RegisterBank::current(double seconds) const
{
    if (!live_)
        return values_;
    RegisterValues values = live_values(seconds, slave_);
    for (int i = 0; i < kRegisterCount; ++i)
        if (written_[i])
            values[i] = values_[i];
    return values;
}

std::uint8_t RegisterBank::read(int address, int count, double seconds,
                                std::vector<std::uint16_t>& out)
{
    if (count < 1 || count > modbus::kMaxReadCount)
        return modbus::kIllegalValue;
    if (address < kFirstRegister || address + count > kFirstRegister + kRegisterCount)
        return modbus::kIllegalAddress;
    const RegisterValues values = current(seconds);
    const int first = address - kFirstRegister;
    out.assign(values.begin() + first, values.begin() + first + count);
    return 0;
}

std::uint8_t RegisterBank::write(int address, const std::vector<std::uint16_t>& values)
{
    const int count = static_cast<int>(values.size());
    if (count < 1 || count > modbus::kMaxWriteCount)
        return modbus::kIllegalValue;
    if (address < kFirstRegister || address + count > kFirstRegister + kRegisterCount)
        return modbus::kIllegalAddress;
    for (int i = 0; i < count; ++i) {
        values_[address - kFirstRegister + i] = values[i];
        written_[address - kFirstRegister + i] = true;
    }
    return 0;
}

namespace {

bool parse_number(const std::string& text, long max, long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && value >= 0 && value <= max;
}

}  // namespace

std::optional<RegisterValues> load_register_table(const std::string& path, std::string& error)
{
    std::ifstream file(path);
    if (!file) {
        error = "cannot read register table " + path;
        return std::nullopt;
    }
    RegisterValues values{};
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::string reg_text, value_text, extra;
        if (!(fields >> reg_text))
            continue;
        long reg = 0, value = 0;
        const bool complete = static_cast<bool>(fields >> value_text) && !(fields >> extra);
        if (!complete || !parse_number(reg_text, 0xFFFF, reg) ||
            !parse_number(value_text, 0xFFFF, value) || reg < kFirstRegister ||
            reg >= kFirstRegister + kRegisterCount) {
            error = path + ":" + std::to_string(number) +
                    ": expected \"REGISTER VALUE\" with REGISTER 10 to 69 and VALUE 0 to 65535";
            return std::nullopt;
        }
        values[reg - kFirstRegister] = static_cast<std::uint16_t>(value);
    }
    return values;
}

}  // namespace metersim
