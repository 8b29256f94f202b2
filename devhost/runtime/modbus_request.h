// A Modbus request as a device starts it; the host performs it later.
#pragma once

#include <cstdint>
#include <vector>

namespace devhost {

enum class ModbusFunction : std::uint8_t {
    ReadHoldingRegisters = 3,
    WriteSingleRegister = 6,
    WriteMultipleRegisters = 16,
};

struct ModbusRequest {
    ModbusFunction function;
    int address;
    int count;                          // registers read or written
    std::vector<std::uint16_t> values;  // the values of a write
};

}  // namespace devhost
