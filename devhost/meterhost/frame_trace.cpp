#include "devhost/meterhost/frame_trace.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

#include "devhost/meterhost/meter_board.h"
#include "sysio/write_all.h"

namespace meterhost {

namespace {

using devhost::LineFrame;

const char* direction_name(LineFrame::Direction direction)
{
    switch (direction) {
    case LineFrame::Direction::Sent: return "sent";
    case LineFrame::Direction::Received: return "received";
    case LineFrame::Direction::Timeout: return "timeout";
    }
    return "?";
}

std::string hex_of(const std::vector<std::uint8_t>& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const std::uint8_t byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 0x0F];
    }
    return hex;
}

long long microseconds(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

}  // namespace

std::string trace_line(const MeterIdentity& meter, const LineFrame& frame,
                       std::chrono::steady_clock::time_point start)
{
    std::string text = "{\"t_us\":" + std::to_string(microseconds(frame.time - start)) +
                       ",\"port\":" + json_string(meter.port) + ",\"dir\":\"" +
                       direction_name(frame.direction) + "\"";
    if (frame.direction != LineFrame::Direction::Timeout)
        text += ",\"hex\":\"" + hex_of(frame.bytes) +
                "\",\"silence_us\":" + std::to_string(microseconds(frame.silence_before)) +
                ",\"crc_ok\":" + (frame.intact ? "true" : "false");
    text += ",\"slave\":" + std::to_string(meter.slave);
    if (!frame.problem.empty())
        text += ",\"problem\":" + json_string(frame.problem);
    return text + "}\n";
}

FrameTrace::FrameTrace(const std::string& path, Reporter report)
    : path_(path), report_(std::move(report)), start_(std::chrono::steady_clock::now())
{
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw std::runtime_error("cannot write the trace " + path + ": " + std::strerror(errno));
}

FrameTrace::~FrameTrace()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void FrameTrace::on_frame(const MeterIdentity& meter, const LineFrame& frame)
{
    const std::string text = trace_line(meter, frame, start_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0 || sysio::write_all(fd_, text))
        return;
    report_("trace " + path_ + ": " + std::strerror(errno) + "; no more frames are traced");
    ::close(fd_);
    fd_ = -1;
}

}  // namespace meterhost
