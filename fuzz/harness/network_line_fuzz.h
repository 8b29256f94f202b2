// One fuzz input against a network line (Modbus TCP, or RTU frames over
// TCP) and a loopback server scripted by the input. See network_line_fuzz.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fuzz/harness/loopback_peer.h"

namespace fuzzharness {

int fuzz_network_line(LoopbackPeer::Framing framing, const std::uint8_t* data, std::size_t size);

}  // namespace fuzzharness
