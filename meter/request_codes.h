// Control request codes the meter answers through DeviceIoControl, and the
// transaction kinds it keeps in SPModbus::tab. Every code not listed is a
// query of the last write's outcome.
#pragma once

namespace request {

constexpr int kWriteRegister = 206;    // in: address, value (2 words)
constexpr int kWriteRegisters = 210;   // in: address, then the values
constexpr int kSignalRequest = 310;    // in: JSON text; nothing goes to the meter
constexpr int kOpenPortRequest = 320;  // opens the port; nothing goes to the meter
constexpr int kSnapshotText = 801;     // out: the snapshot as compact JSON text
constexpr int kSnapshotAddress = 803;  // out: the address of the snapshot object

}  // namespace request

namespace transaction {

constexpr int kBlockRead = 11;
constexpr int kWriteRegister = request::kWriteRegister;
constexpr int kWriteRegisters = request::kWriteRegisters;

}  // namespace transaction

// Outcome of the last register write, as the result query reports it.
namespace write_outcome {

constexpr int kPending = -1;  // none yet, or no reply yet
constexpr int kConfirmed = 1;
constexpr int kRefused = 3;  // the reply did not echo what was written

}  // namespace write_outcome
