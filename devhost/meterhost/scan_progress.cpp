#include "devhost/meterhost/scan_progress.h"
#include "sysio/write_all.h"

#include <unistd.h>

#include "devhost/meterhost/host_output.h"

namespace meterhost {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr char kLineStartAndErase[] = "\r\x1b[K";

}  // namespace

void ScanProgress::update(const std::string& text)
{
    if (!shown_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - drawn_at_ < kRedrawInterval)
        return;
    sysio::write_all(STDERR_FILENO, kLineStartAndErase + text);
    drawn_ = true;
    drawn_at_ = now;
}

void ScanProgress::clear()
{
    if (!drawn_)
        return;
    sysio::write_all(STDERR_FILENO, kLineStartAndErase);
    drawn_ = false;
}

std::string time_left_text(std::chrono::nanoseconds left)
{
    const long long seconds = std::chrono::ceil<std::chrono::seconds>(left).count();
    std::string text = "at most ";
    if (seconds >= 3600)
        text += std::to_string(seconds / 3600) + " h " + std::to_string(seconds % 3600 / 60) +
                " min";
    else if (seconds >= 60)
        text += std::to_string(seconds / 60) + " min " + std::to_string(seconds % 60) + " s";
    else
        text += std::to_string(seconds) + " s";
    return text + " left";
}

}  // namespace meterhost
