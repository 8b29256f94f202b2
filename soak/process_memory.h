// This process's resident memory as the kernel reports it (/proc/self/status).
#pragma once

namespace soak {

struct ResidentMemory {
    long current_kib = 0;  // VmRSS
    long peak_kib = 0;     // VmHWM: the highest VmRSS so far
};

// Zeros when /proc cannot be read.
ResidentMemory resident_memory();

}  // namespace soak
