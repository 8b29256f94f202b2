// The Modbus TCP line (tcp://): replies framed by their header, stale and
// other units' replies discarded, a header no frame has closing the
// connection; against a loopback server scripted by the input
// (harness/network_line_fuzz.cpp says what is checked).
#include "fuzz/harness/network_line_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return fuzzharness::fuzz_network_line(fuzzharness::LoopbackPeer::Framing::ModbusTcp, data,
                                          size);
}
