#include "soak/process_memory.h"

#include <fstream>
#include <string>

namespace soak {

ResidentMemory resident_memory()
{
    ResidentMemory memory;
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:")
            status >> memory.current_kib;
        else if (key == "VmHWM:")
            status >> memory.peak_kib;
        status.ignore(4096, '\n');
    }
    return memory;
}

}  // namespace soak
