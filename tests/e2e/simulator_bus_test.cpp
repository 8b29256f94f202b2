// The simulated bus of meters, driven by a bare master on its pseudo-terminal
// that writes frames with its own timing: which addresses answer, that each
// meter keeps its own registers, how broken frames are handled, the silence
// a request must follow, and the speed the master sets the terminal to.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "tests/e2e/child_process.h"
#include "tests/e2e/e2e_support.h"
#include "metersim/simulator.h"
#include "metersim/terminal_watch.h"
#include "modbus/frame_timing.h"
#include "modbus/protocol.h"
#include "modbus/rtu_crc.h"

namespace {

using metersim::Frame;
using metersim::Simulator;
using metersim::SimulatorOptions;
using namespace std::chrono_literals;

// A meter that answers does so within a few milliseconds (at 9600 baud with
// line timing, a short reply starts about 13 ms after the request): the
// rest is margin for the simulator's scheduling.
constexpr auto kNoReplyWait = 300ms;

Frame with_crc(Frame frame) { return modbus::with_rtu_crc(std::move(frame)); }

Frame read_request(std::uint8_t slave, std::uint16_t address, std::uint16_t count)
{
    return with_crc({slave, 3, static_cast<std::uint8_t>(address >> 8),
                     static_cast<std::uint8_t>(address), static_cast<std::uint8_t>(count >> 8),
                     static_cast<std::uint8_t>(count)});
}

Frame write_request(std::uint8_t slave, std::uint16_t address, std::uint16_t value)
{
    return with_crc({slave, 6, 0, static_cast<std::uint8_t>(address),
                     static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)});
}

// A master that writes whole frames when told and reads what comes back.
class BareMaster {
public:
    explicit BareMaster(const std::string& port) : fd_(::open(port.c_str(), O_RDWR | O_NOCTTY))
    {
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + port);
    }
    ~BareMaster() { ::close(fd_); }

    void send(const Frame& frame)
    {
        ASSERT_EQ(::write(fd_, frame.data(), frame.size()),
                  static_cast<ssize_t>(frame.size()));
    }

    // Up to length bytes, or fewer when the line stays silent for wait.
    Frame receive(std::size_t length, std::chrono::milliseconds wait = 2000ms)
    {
        Frame got;
        while (got.size() < length) {
            pollfd line = {fd_, POLLIN, 0};
            if (::poll(&line, 1, static_cast<int>(wait.count())) <= 0)
                break;
            std::uint8_t buffer[256];
            const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, length - got.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), buffer, buffer + n);
        }
        return got;
    }

    // Sets the terminal up at this speed, as a master opening the port does.
    void set_speed(int baud) { ASSERT_TRUE(metersim::set_terminal_speed(fd_, baud)); }

    bool answered(const Frame& request, std::size_t reply_length)
    {
        send(request);
        return !receive(reply_length, kNoReplyWait).empty();
    }

private:
    int fd_;
};

std::unique_ptr<Simulator> start(SimulatorOptions options)
{
    auto simulator = std::make_unique<Simulator>(std::move(options));
    simulator->open();
    simulator->start();
    return simulator;
}

TEST(SimulatorBus, OnlyLiveServedAddressesAnswer)
{
    SimulatorOptions options;
    options.slaves = {1, 2, 3};
    options.dead = {2};
    auto simulator = start(options);
    BareMaster master(simulator->port_path());

    EXPECT_TRUE(master.answered(read_request(1, 10, 1), 7));
    EXPECT_FALSE(master.answered(read_request(2, 10, 1), 7)) << "dead";
    EXPECT_FALSE(master.answered(read_request(4, 10, 1), 7)) << "not on the line";
    simulator->set_dead(2, false);
    simulator->set_dead(1, true);
    EXPECT_TRUE(master.answered(read_request(2, 10, 1), 7));
    EXPECT_FALSE(master.answered(read_request(1, 10, 1), 7));

    EXPECT_EQ(simulator->requests_seen(1), 1u);
    EXPECT_EQ(simulator->requests_seen(2), 1u);
    EXPECT_EQ(simulator->requests_seen(3), 0u);
    EXPECT_EQ(simulator->requests_seen(), 2u);
    EXPECT_THROW(simulator->registers(4), std::invalid_argument);
    EXPECT_THROW(simulator->set_dead(0, true), std::invalid_argument);
}

TEST(SimulatorOptions, AddressListsAreCheckedWhenTheBusIsMade)
{
    using Addresses = std::vector<int>;
    const std::pair<Addresses, Addresses> cases[] = {
        {{}, {}}, {{0}, {}}, {{248}, {}}, {{1, 2}, {3}}};
    for (const auto& [slaves, dead] : cases) {
        SimulatorOptions options;
        options.slaves = slaves;
        options.dead = dead;
        EXPECT_THROW(Simulator{options}, std::invalid_argument);
    }
}

TEST(SimulatorBus, EachMeterKeepsItsOwnRegisters)
{
    SimulatorOptions options;
    options.slaves = {1, 2};
    auto simulator = start(options);
    const metersim::RegisterValues one = simulator->registers(1);
    const metersim::RegisterValues two = simulator->registers(2);
    for (const auto& meter : {one, two}) {
        for (int phase = 0; phase < 3; ++phase) {
            EXPECT_NEAR(meter[phase], 2300, 100) << "phase voltage, 0.1 V";
            EXPECT_NEAR(meter[6 + phase], 2000, 800) << "phase current, 0.01 A";
        }
        EXPECT_NEAR(meter[19], 5000, 10) << "frequency, 0.01 Hz";
    }
    EXPECT_NE(one[6], two[6]);
    EXPECT_NE(one[20], two[20]) << "energy counters";

    BareMaster master(simulator->port_path());
    master.send(write_request(2, 20, 500));
    EXPECT_EQ(master.receive(8).size(), 8u);
    EXPECT_EQ(simulator->registers(2)[20 - 10], 500);
    EXPECT_NE(simulator->registers(1)[20 - 10], 500);

    // A broadcast write reaches every meter and none answers.
    EXPECT_FALSE(master.answered(write_request(0, 21, 7), 8));
    EXPECT_EQ(simulator->registers(1)[21 - 10], 7);
    EXPECT_EQ(simulator->registers(2)[21 - 10], 7);
}

TEST(SimulatorBus, BrokenFramesAreDroppedAndUnknownFunctionsRefused)
{
    auto simulator = start({});
    BareMaster master(simulator->port_path());
    Frame corrupted = read_request(1, 10, 1);
    corrupted.back() ^= 1;
    EXPECT_FALSE(master.answered(corrupted, 7));

    // Its length is not in its header: it ends at the silence after it.
    master.send(with_crc({1, 0x2B, 0x0E, 1, 0}));
    EXPECT_EQ(master.receive(5), with_crc({1, 0x2B | 0x80, modbus::kIllegalFunction}));

    master.send(read_request(1, 69, 2));
    EXPECT_EQ(master.receive(5), with_crc({1, 0x83, modbus::kIllegalAddress}));
    EXPECT_TRUE(master.answered(read_request(1, 69, 1), 7));
}

// At 300 baud the silence is 117 ms, far above the serving thread's wake-up
// time and a loaded machine's scheduling delays, so a request sent at once
// after a reply is surely too early.
TEST(SimulatorBus, LineTimingDropsARequestThatFollowsTooSoon)
{
    SimulatorOptions options;
    options.baud = 300;
    options.line_time = true;
    auto simulator = start(options);
    const auto silence = modbus::inter_frame_silence(300, 'N');
    BareMaster master(simulator->port_path());

    master.send(read_request(1, 10, 1));
    ASSERT_EQ(master.receive(7).size(), 7u);
    EXPECT_FALSE(master.answered(read_request(1, 11, 1), 7));
    EXPECT_EQ(simulator->frames_rejected(), 1u);

    std::this_thread::sleep_for(silence * 2);
    master.send(read_request(1, 12, 1));
    EXPECT_EQ(master.receive(7).size(), 7u);
    EXPECT_EQ(simulator->frames_rejected(), 1u);
    EXPECT_EQ(simulator->requests_seen(), 2u);

    const auto timings = simulator->timings();
    ASSERT_EQ(timings.size(), 3u);
    EXPECT_FALSE(timings[0].rejected);
    EXPECT_TRUE(timings[1].rejected);
    EXPECT_LT(timings[1].gap_before, silence);
    EXPECT_FALSE(timings[2].rejected);
    EXPECT_GE(timings[2].gap_before, silence * 2);
    EXPECT_EQ(timings[2].slave, 1);
    EXPECT_EQ(timings[2].function, 3);
}

// A master that gives up on a late reply sends its next request while the
// meter still holds that reply back: on the line the request came first,
// after a long silence, so it must be taken. The request comes 100 ms after
// the one delayed and 200 ms before the late reply: margins for the
// simulator's scheduling, far above the 3.6 ms silence it needs.
TEST(SimulatorBus, LineTimingTakesARequestSentWhileAReplyIsHeldBack)
{
    SimulatorOptions options;
    options.line_time = true;
    options.faults = {{metersim::FaultKind::Delay, 2}};
    options.fault_delay = 300ms;
    auto simulator = start(options);
    BareMaster master(simulator->port_path());

    EXPECT_TRUE(master.answered(read_request(1, 10, 1), 7));
    std::this_thread::sleep_for(modbus::inter_frame_silence(9600, 'N') * 2);
    master.send(read_request(1, 11, 1));
    std::this_thread::sleep_for(100ms);
    master.send(read_request(1, 12, 1));
    EXPECT_EQ(master.receive(14).size(), 14u) << "the late reply, then the next one";
    EXPECT_EQ(simulator->frames_rejected(), 0u);
    EXPECT_EQ(simulator->requests_seen(), 3u);
}

// A meter hears only its own speed; on a pseudo-terminal the simulator reads
// the speed a master set, and each set-up counts.
TEST(SimulatorBus, LineTimingAnswersOnlyAtTheMetersOwnSpeed)
{
    SimulatorOptions options;
    options.baud = 19200;
    options.line_time = true;
    auto simulator = start(options);
    BareMaster master(simulator->port_path());
    EXPECT_TRUE(master.answered(read_request(1, 10, 1), 7)) << "the terminal starts at its speed";

    master.set_speed(9600);
    EXPECT_FALSE(master.answered(read_request(1, 10, 1), 7));
    master.set_speed(19200);
    EXPECT_TRUE(master.answered(read_request(1, 10, 1), 7));
    EXPECT_EQ(simulator->requests_seen(), 2u);

    const auto setups = simulator->terminal_setups();
    ASSERT_EQ(setups.size(), 2u);
    EXPECT_EQ(setups[0].baud, 9600);
    EXPECT_EQ(setups[1].baud, 19200);
    const auto timings = simulator->timings();
    ASSERT_EQ(timings.size(), 3u);
    EXPECT_TRUE(timings[1].wrong_speed);
    EXPECT_EQ(timings[1].baud, 9600);
    EXPECT_FALSE(timings[2].wrong_speed);
    EXPECT_TRUE(timings[2].after_setup);
    EXPECT_EQ(simulator->frames_rejected(), 0u);
}

TEST(SimulatorBus, WithoutLineTimingASoonRequestIsStillTaken)
{
    auto simulator = start({});
    BareMaster master(simulator->port_path());
    master.send(read_request(1, 10, 1));
    ASSERT_EQ(master.receive(7).size(), 7u);
    EXPECT_TRUE(master.answered(read_request(1, 10, 1), 7));
    EXPECT_EQ(simulator->frames_rejected(), 0u);
    ASSERT_EQ(simulator->timings().size(), 2u);
}

TEST(MetersimCommandLine, BadAddressListsEndWithOneMessage)
{
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--slave", "0"}, "--slave takes N, A-B or a comma-separated list"},
        {{"--slave", "1,,3"}, "not '1,,3'"},
        {{"--dead", "2"}, "--dead 2 is not among the --slave addresses"},
        {{"--slave", "1-3", "--dead", "2,4"}, "--dead 4 is not among"},
        {{"--listen", "/dev/ttyS0"}, "--listen takes tcp://HOST:PORT or rtu+tcp://HOST:PORT"},
        {{"--listen", "tcp://127.0.0.1"}, "names no TCP port"},
        {{"--listen", "tcp://127.0.0.1:0", "--line-time"}, "--line-time are for a serial line"},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> argv{e2e::kMetersim};
        argv.insert(argv.end(), args.begin(), args.end());
        const Finished run = run_command(argv);
        EXPECT_EQ(run.status, 2) << message;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(e2e::lines_of(run.err).size(), 2u) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }
}

}  // namespace
