// Catches what the module writes to its standard output, file descriptor 1:
// its diagnostic lines ("rvSize is N", "SPModbus get error", module_lines.h).
// Descriptor 1 becomes a pipe that a thread reads, handing each line on
// whole (descriptor_lines.h), so that lines written from several line
// threads are seen as written and never scroll through a live view or a
// progress line. When the tap ends, descriptor 1 is pointed at `restore_to`
// and what is left in the pipe is read.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace meterhost {

class ModuleOutputTap {
public:
    // Each line without its line feed; a last line that has none is handed
    // on too, with ended false. Called on the tap's own thread.
    using LineHandler = std::function<void(const std::string& line, bool ended)>;

    // restore_to: a descriptor that stays open at least until the tap ends.
    // Throws std::runtime_error when the descriptors cannot be rearranged.
    ModuleOutputTap(LineHandler handler, int restore_to);
    ~ModuleOutputTap();
    ModuleOutputTap(const ModuleOutputTap&) = delete;
    ModuleOutputTap& operator=(const ModuleOutputTap&) = delete;

    // Ends the tap: every line written before it has been handed on when it
    // returns. The destructor calls it; further calls do nothing.
    void finish();

private:
    LineHandler handler_;
    const int restore_to_;
    std::thread reader_;
};

}  // namespace meterhost
