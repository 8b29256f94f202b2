// The RTU-over-TCP line (rtu+tcp://): a reply's length from its function
// and byte count, its CRC, another slave's reply discarded, late bytes
// dropped; against a loopback server scripted by the input
// (harness/network_line_fuzz.cpp says what is checked).
#include "fuzz/harness/network_line_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    return fuzzharness::fuzz_network_line(fuzzharness::LoopbackPeer::Framing::Rtu, data, size);
}
