#include "devhost/meterhost/live_view.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "devhost/meterhost/module_output_tap.h"
#include "devhost/meterhost/snapshot_view.h"
#include "devhost/meterhost/terminal_screen.h"
#include "sysio/write_all.h"

namespace meterhost {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kMinRedrawGap =
    std::chrono::milliseconds(1000 / LiveView::kMaxRedrawsPerSecond);
constexpr auto kPageTurn = std::chrono::seconds(LiveView::kPageSeconds);
constexpr auto kClockTick = std::chrono::seconds(1);  // the clock and the ages move

}  // namespace

LiveView::LiveView(std::vector<std::string> ports, const std::vector<MeterIdentity>& meters)
    : pacer_(kMinRedrawGap, kClockTick, kPageTurn, Clock::now())
{
    model_.ports = std::move(ports);
    for (const MeterIdentity& meter : meters) {
        ViewMeter& shown = model_.meters.emplace_back();
        shown.id = meter;
    }
}

LiveView::~LiveView()
{
    stop();
}

bool LiveView::start(HostOutput& out, HostMessages& messages, std::string& why)
{
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        why = "no pipe for the view";
        return false;
    }
    screen_ = TerminalScreen::open(out.stream(), wake_[1], why);
    if (!screen_) {
        ::close(wake_[0]);
        ::close(wake_[1]);
        wake_[0] = wake_[1] = -1;
        return false;
    }
    out_ = &out;
    messages_ = &messages;
    const bool also_to_error = !out.error_on_same_terminal();
    try {
        tap_ = std::make_unique<ModuleOutputTap>(
            [this, also_to_error](const std::string& line, bool ended) {
                module_line(line, ended);
                if (also_to_error)
                    sysio::write_all(STDERR_FILENO, ended ? line + "\n" : line);
            },
            STDERR_FILENO);
    } catch (const std::runtime_error& error) {
        messages.report(error.what());  // the module's lines keep going to standard error
    }
    messages.divert_to([this](const std::string& text) { message(text); }, also_to_error);
    drawer_ = std::thread([this] { draw_loop(); });
    return true;
}

void LiveView::stop()
{
    if (!drawer_.joinable())
        return;
    messages_->restore();
    tap_.reset();  // the module's lines go to standard error again
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake();
    drawer_.join();
    const ScreenSize size = screen_->size();
    screen_.reset();
    std::string text;
    for (const std::string& line : lay_out_view(model_now(), size, pacer_.page()).lines)
        text += line + "\n";
    out_->write(text);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

void LiveView::round_done(const MeterIdentity& meter, const std::string& snapshot_text,
                          unsigned long rounds, unsigned long errors)
{
    SnapshotValues values = read_snapshot(snapshot_text);
    std::optional<std::time_t> data_time;
    if (values.update_time)
        data_time = parse_update_time(*values.update_time);
    if (!data_time && values.has_data)
        data_time = std::time(nullptr);

    std::unique_lock<std::mutex> lock(mutex_);
    ViewMeter& shown = model_.meters.at(meter.index);
    shown.values = std::move(values.quantities);
    shown.data_time = data_time;
    shown.rounds = rounds;
    shown.errors = errors;
    shown.state = MeterState::Online;
    mark_dirty(lock);
}

void LiveView::polled(const MeterIdentity& meter, const PollOutcome& outcome)
{
    const bool online = outcome.online;
    const unsigned long errors = outcome.errors;
    std::unique_lock<std::mutex> lock(mutex_);
    ViewMeter& shown = model_.meters.at(meter.index);
    const MeterState state = !online                ? MeterState::Offline
                             : shown.values.empty() ? MeterState::Waiting
                                                    : MeterState::Online;
    if (state == shown.state && errors == shown.errors)
        return;
    shown.state = state;
    shown.errors = errors;
    mark_dirty(lock);
}

void LiveView::module_line(const std::string& line, bool ended)
{
    std::unique_lock<std::mutex> lock(mutex_);
    model_.module_lines.count(line, ended);
    mark_dirty(lock);
}

void LiveView::message(const std::string& text)
{
    std::unique_lock<std::mutex> lock(mutex_);
    model_.message = text;
    mark_dirty(lock);
}

void LiveView::mark_dirty(std::unique_lock<std::mutex>& lock)
{
    const bool was_dirty = dirty_;
    dirty_ = true;
    lock.unlock();
    if (!was_dirty)
        wake();
}

void LiveView::wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(wake_[1], &byte, 1);
}

ViewModel LiveView::model_now()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ViewModel model = model_;
    model.now = std::time(nullptr);
    dirty_ = false;
    return model;
}

void LiveView::wait_until(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd wake = {wake_[0], POLLIN, 0};
    if (::poll(&wake, 1, static_cast<int>(std::max<long long>(0, left.count()))) > 0) {
        char drained[64];
        while (::read(wake_[0], drained, sizeof drained) > 0) {
        }
    }
}

void LiveView::draw_loop()
{
    screen_->take_resize_signal();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_)
                return;
            if (dirty_)
                pacer_.changed();
        }
        if (screen_->follow_resize())
            pacer_.changed();
        if (pacer_.draw_now(Clock::now()))
            screen_->draw(lay_out_view(model_now(), screen_->size(), pacer_.page()).lines);
        wait_until(pacer_.next_wake());
    }
}

}  // namespace meterhost
