// The registers the simulated meter serves: 60 words at addresses 10 to 69,
// either a fixed table or live three-phase values that drift slowly.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace metersim {

constexpr int kFirstRegister = 10;
constexpr int kRegisterCount = 60;
using RegisterValues = std::array<std::uint16_t, kRegisterCount>;

class RegisterBank {
public:
    // Live values of the meter at this slave address, computed from the
    // time since the simulator started.
    explicit RegisterBank(int slave = 1);
    // A fixed table; only writes change it.
    explicit RegisterBank(const RegisterValues& table);

    // 0 on success, else the Modbus exception code (modbus/protocol.h). A
    // written register keeps its value even in live mode, as a meter's
    // setting would.
    std::uint8_t read(int address, int count, double seconds, std::vector<std::uint16_t>& out);
    std::uint8_t write(int address, const std::vector<std::uint16_t>& values);

    RegisterValues current(double seconds) const;

private:
    bool live_;
    int slave_ = 1;
    RegisterValues values_{};
    std::array<bool, kRegisterCount> written_{};
};

// Plausible readings of a balanced three-phase load at the given time, each
// slave address with a load of its own.
RegisterValues live_values(double seconds, int slave = 1);

// A table file: one "REGISTER VALUE" pair a line (decimal or 0x hex), '#'
// starts a comment, registers not listed are 0. nullopt with a message naming
// the line when the file cannot be read or a line is wrong.
std::optional<RegisterValues> load_register_table(const std::string& path, std::string& error);

}  // namespace metersim
