// A plain Modbus RTU master for comparison with meterhost: reads the meter's
// block (60 registers from address 10) a given number of times, back to back
// but for the silence the line needs between frames, with libmodbus alone.
// It prints one line per read that succeeded, as it happens (so that a
// measurement can mark its progress as with meterhost --json), and at the
// end how many reads succeeded.
//
//   plain_master PORT POLLS [SLAVE]
#include <modbus.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "modbus/frame_timing.h"
#include "modbus/protocol.h"

namespace {

constexpr int kBaud = 9600;
constexpr int kBlockStart = 10;
constexpr int kBlockCount = 60;
constexpr int kReplyTimeoutMs = 500;

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4) {
        std::cerr << "usage: plain_master PORT POLLS [SLAVE]\n";
        return 2;
    }
    const long polls = std::strtol(argv[2], nullptr, 10);
    const int slave = argc == 4 ? std::atoi(argv[3]) : 1;
    if (polls <= 0 || slave < modbus::kFirstSlave || slave > modbus::kLastSlave) {
        std::cerr << "plain_master: POLLS must be positive and SLAVE 1 to 247\n";
        return 2;
    }

    modbus_t* context = modbus_new_rtu(argv[1], kBaud, 'N', 8, 1);
    if (context == nullptr || modbus_set_slave(context, slave) != 0 ||
        modbus_set_response_timeout(context, 0, kReplyTimeoutMs * 1000) != 0 ||
        modbus_connect(context) != 0) {
        std::cerr << "plain_master: cannot use " << argv[1] << ": " << modbus_strerror(errno)
                  << '\n';
        if (context != nullptr)
            modbus_free(context);
        return 2;
    }

    // A request sent sooner after the reply runs into it, and a slave on a
    // real line (or metersim --line-time) drops it.
    const auto frame_silence = modbus::inter_frame_silence(kBaud, 'N');
    std::uint16_t registers[kBlockCount];
    long completed = 0;
    for (long i = 0; i < polls; ++i) {
        if (i > 0)
            std::this_thread::sleep_for(frame_silence);
        if (modbus_read_registers(context, kBlockStart, kBlockCount, registers) == kBlockCount) {
            ++completed;
            std::cout << "read " << i + 1 << std::endl;
        }
    }
    modbus_close(context);
    modbus_free(context);

    std::cout << "polls " << completed << " of " << polls << '\n';
    return completed == polls ? 0 : 1;
}
