// The back-end against the simulated meter over a real pseudo-terminal, and
// over TCP on the loopback interface where the kind of line matters:
// replies reach process_payload in the documented layout, every kind of
// failure reaches on_error instead, a late or damaged reply is never taken,
// the frames are watched as on the wire, also the replies a serial line
// refuses, the line recovers, and the opening of the port is kept apart from
// the first request by the silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "devhost/lines/line.h"
#include "devhost/lines/line_factory.h"
#include "devhost/lines/line_transport.h"
#include "metersim/simulator.h"
#include "modbus/frame_timing.h"
#include "modbus/rtu_crc.h"
#include "tests/e2e/bench_device.h"
#include "tests/e2e/served_bus.h"

namespace {

using modbus::LineKind;
using e2e::ServedBus;
using metersim::FaultKind;
using metersim::FaultPlan;
using metersim::RegisterValues;
using metersim::Simulator;
using metersim::SimulatorOptions;
using Clock = std::chrono::steady_clock;

// The timeout is for a reply's first byte, which comes at once, or about
// 13 ms after a request at 9600 baud with line timing: the rest is margin
// for either side's scheduling.
constexpr int kTimeoutMs = 300;

RegisterValues counting_table()
{
    RegisterValues table{};
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint16_t>(1000 + i);
    return table;
}

// With line_baud, the meter behaves like a real line at that speed
// (answering only at it, with its timing); otherwise it answers at once.
std::unique_ptr<Simulator> start_simulator(std::vector<FaultPlan> faults = {},
                                           const std::string& link = "", int line_baud = 0)
{
    SimulatorOptions options;
    options.table = counting_table();
    options.faults = std::move(faults);
    // Past the timeout by a whole timeout, so that a host thread scheduled
    // late still gives up before the reply comes.
    options.fault_delay = std::chrono::milliseconds(2 * kTimeoutMs);
    options.link = link;
    if (line_baud != 0) {
        options.baud = line_baud;
        options.line_time = true;
    }
    auto simulator = std::make_unique<Simulator>(std::move(options));
    simulator->open();
    simulator->start();
    return simulator;
}

ServedBus serve(LineKind kind, std::vector<FaultPlan> faults)
{
    SimulatorOptions options;
    options.table = counting_table();
    options.faults = std::move(faults);
    options.fault_delay = std::chrono::milliseconds(2 * kTimeoutMs);
    return e2e::serve_bus(std::move(options), kind);
}

// The opening of a port ends a frame. The test cannot see the instant the
// port was set up, but it came no sooner than `opening`, taken before the
// host opened the port: a request that reaches the simulator less than the
// silence after `opening` surely came too soon, whatever the scheduling of
// either side. (The simulator's own count starts when its thread saw the
// set-up, which on a busy machine can be later than the set-up itself.)
void expect_silence_after_opening(const Simulator& simulator, Clock::time_point opening, int baud)
{
    const auto timings = simulator.timings();
    const auto setups = simulator.terminal_setups();
    ASSERT_FALSE(timings.empty());
    ASSERT_FALSE(setups.empty()) << "the simulator saw no set-up of its terminal";
    EXPECT_EQ(setups.front().baud, baud);
    EXPECT_GE(setups.front().seen, opening);
    EXPECT_TRUE(timings.front().after_setup) << "its silence counts from the set-up";
    EXPECT_GE(timings.front().arrived - opening, modbus::inter_frame_silence(baud, 'N'));
}

class LineTransportTest : public testing::Test {
protected:
    void connect(const std::string& port, int baud = 9600)
    {
        Json::Value config(Json::objectValue);
        config["port"] = port;
        config["baud"] = baud;
        config["timeout_ms"] = kTimeoutMs;
        ASSERT_TRUE(transport.init_setting(device, config));
        ASSERT_EQ(device.OpenPort(), 0);
    }
    void SetUp() override { binding = devhost::bind_backends(device, {&transport}); }
    void TearDown() override
    {
        transport.forget(device);
        binding.reset();
    }

    // Whether the read was answered, as the back-end tells it.
    bool read_block()
    {
        device.tab = 11;
        device.modbus_read_registers(10, 60);
        const auto done = transport.perform_pending();
        EXPECT_EQ(done.size(), 1u);
        EXPECT_TRUE(done.empty() || done.front().device == &device);
        return done.size() == 1 && done.front().answered;
    }

    std::vector<std::string> reports;
    devhost::LineTransport transport{[this](const std::string& line) { reports.push_back(line); }};
    BenchDevice device;
    devhost::BackendBinding binding;
};

TEST_F(LineTransportTest, ReadPlacesTheRegistersAndCallsProcessPayloadOnce)
{
    auto simulator = start_simulator();
    connect(simulator->port_path());
    device.tab = 11;
    device.modbus_read_registers(10, 60);
    EXPECT_TRUE(device.payloads.empty()) << "nothing happens until the host loop runs";
    EXPECT_EQ(transport.perform_pending().size(), 1u);

    ASSERT_EQ(device.payloads.size(), 1u);
    EXPECT_EQ(device.errors, 0);
    EXPECT_EQ(device.payloads[0].kind, 11);
    EXPECT_EQ(device.payloads[0].length, 120u);
    for (int i = 0; i < 60; ++i)
        ASSERT_EQ(device.reply_words[i], 1000 + i) << "word " << i;
    EXPECT_EQ(device.reply_words[60], 0);
}

TEST_F(LineTransportTest, WritesReachTheMeterAndTheirEchoIsPlaced)
{
    auto simulator = start_simulator();
    connect(simulator->port_path());
    device.modbus_write_register(20, 500);
    const unsigned short values[3] = {7, 8, 65535};
    device.modbus_write_registers(67, 3, values);
    EXPECT_EQ(transport.perform_pending().size(), 2u);

    ASSERT_EQ(device.payloads.size(), 2u);
    EXPECT_EQ(device.payloads[0].words[0], 500);
    EXPECT_EQ(device.payloads[0].words[1], 0);
    EXPECT_EQ(device.payloads[1].words[0], 16);
    EXPECT_EQ(device.payloads[1].words[1], 3);
    const RegisterValues now = simulator->registers();
    EXPECT_EQ(now[20 - 10], 500);
    EXPECT_EQ(now[67 - 10], 7);
    EXPECT_EQ(now[69 - 10], 65535);
}

class LineTransportOpening : public LineTransportTest, public testing::WithParamInterface<int> {};

TEST_P(LineTransportOpening, FirstRequestWaitsTheSilenceAfterTheOpening)
{
    const int baud = GetParam();
    auto simulator = start_simulator({}, "", baud);
    const auto opening = Clock::now();
    connect(simulator->port_path(), baud);
    read_block();
    ASSERT_EQ(device.payloads.size(), 1u) << testing::PrintToString(reports);
    expect_silence_after_opening(*simulator, opening, baud);
}

INSTANTIATE_TEST_SUITE_P(Bauds, LineTransportOpening, testing::Values(9600, 19200));

// Every second request misbehaves: the first and third succeed, the second
// must end in on_error without process_payload.
struct FaultCase {
    FaultKind kind;
    const char* report;  // what the host says about the failed request
    LineKind line = LineKind::Serial;
};

class LineTransportFaultTest : public LineTransportTest,
                              public testing::WithParamInterface<FaultCase> {};

TEST_P(LineTransportFaultTest, FailedReplyGoesToOnErrorAndTheNextSucceeds)
{
    auto bus = serve(GetParam().line, {{GetParam().kind, 2}});
    connect(bus.port);
    EXPECT_TRUE(read_block());
    EXPECT_FALSE(read_block()) << "told as answered though it went to on_error";
    EXPECT_EQ(device.payloads.size(), 1u);
    EXPECT_EQ(device.errors, 1);
    EXPECT_EQ(transport.error_count(), 1u);
    ASSERT_FALSE(reports.empty());
    EXPECT_NE(reports.back().find(GetParam().report), std::string::npos) << reports.back();

    // A delayed reply lands after the timeout; the flush before the next
    // request (a serial line, RTU over TCP) or its transaction number
    // (Modbus TCP) must drop it, or this write would take it for its reply.
    const unsigned long replies = GetParam().kind == FaultKind::NoReply ? 1 : 2;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (bus.replies_sent() < replies && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(bus.replies_sent(), replies);
    device.modbus_write_register(30, 1234);
    transport.perform_pending();
    ASSERT_EQ(device.payloads.size(), 2u);
    EXPECT_EQ(device.payloads[1].words[0], 1234);
    EXPECT_EQ(device.errors, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LineTransportFaultTest,
    testing::Values(FaultCase{FaultKind::NoReply, "timeout"},
                    FaultCase{FaultKind::Delay, "timeout"},
                    FaultCase{FaultKind::Exception, "exception 4"},
                    FaultCase{FaultKind::BadCrc, "bad CRC"},
                    FaultCase{FaultKind::Delay, "timeout", LineKind::ModbusTcp},
                    FaultCase{FaultKind::Delay, "timeout", LineKind::RtuOverTcp}),
    [](const testing::TestParamInfo<FaultCase>& param_info) {
        std::string name = metersim::fault_name(param_info.param.kind);
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return param_info.param.line == LineKind::Serial
                   ? name
                   : name + "_" + e2e::kind_name(param_info.param.line);
    });

struct FrameLog : devhost::LineObserver {
    void on_frame(const devhost::LineSettings&, const devhost::LineFrame& frame) override
    {
        frames.push_back(frame);
    }
    std::vector<devhost::LineFrame> frames;
};

std::vector<std::uint8_t> modbus_tcp_frame(std::uint8_t transaction,
                                           const std::vector<std::uint8_t>& pdu)
{
    std::vector<std::uint8_t> frame(6 + pdu.size(), 0);
    frame[1] = transaction;
    frame[5] = static_cast<std::uint8_t>(pdu.size());
    std::copy(pdu.begin(), pdu.end(), frame.begin() + 6);
    return frame;
}

class LineTransportFrames : public LineTransportTest, public testing::WithParamInterface<LineKind> {};

// Every second reply is damaged: over RTU its CRC, over Modbus TCP (no CRC)
// its transaction number.
TEST_P(LineTransportFrames, AreWatchedAsOnTheWireAndADamagedReplyIsNeverTaken)
{
    auto bus = serve(GetParam(), {{FaultKind::BadCrc, 2}});
    FrameLog log;
    transport.set_observer(&log);
    connect(bus.port);
    read_block();
    read_block();
    transport.set_observer(nullptr);
    EXPECT_EQ(device.payloads.size(), 1u);
    EXPECT_EQ(device.errors, 1);

    const std::vector<std::uint8_t> request{1, 3, 0, 10, 0, 60};
    std::vector<std::uint8_t> reply{1, 3, 120};
    for (std::uint16_t word : counting_table()) {
        reply.push_back(static_cast<std::uint8_t>(word >> 8));
        reply.push_back(static_cast<std::uint8_t>(word & 0xFF));
    }
    using Direction = devhost::LineFrame::Direction;
    const auto& frames = log.frames;
    if (GetParam() == LineKind::ModbusTcp) {
        ASSERT_EQ(frames.size(), 5u);
        EXPECT_EQ(frames[0].bytes, modbus_tcp_frame(1, request));
        EXPECT_EQ(frames[1].bytes, modbus_tcp_frame(1, reply));
        EXPECT_EQ(frames[2].bytes, modbus_tcp_frame(2, request));
        EXPECT_EQ(frames[3].bytes, modbus_tcp_frame(3, reply)) << "another transaction's";
        EXPECT_EQ(frames[3].problem, "for another transaction or unit, discarded");
        EXPECT_EQ(frames[4].direction, Direction::Timeout);
    } else {
        ASSERT_EQ(frames.size(), 4u);
        EXPECT_EQ(frames[0].bytes, modbus::with_rtu_crc(request));
        EXPECT_EQ(frames[1].bytes, modbus::with_rtu_crc(reply));
        EXPECT_EQ(frames[2].bytes, modbus::with_rtu_crc(request));
        EXPECT_FALSE(frames[3].intact);
        EXPECT_EQ(frames[3].problem, "bad CRC");
        EXPECT_TRUE(frames[1].intact);
    }
    EXPECT_EQ(frames[1].problem, "");
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(frames[i].direction, i % 2 == 0 ? Direction::Sent : Direction::Received) << i;
}

INSTANTIATE_TEST_SUITE_P(Network, LineTransportFrames,
                         testing::Values(LineKind::ModbusTcp, LineKind::RtuOverTcp),
                         [](const testing::TestParamInfo<LineKind>& param_info) {
                             return e2e::kind_name(param_info.param);
                         });

TEST_F(LineTransportTest, WrongEchoIsPassedOnForTheDeviceToJudge)
{
    auto simulator = start_simulator({{FaultKind::WrongEcho, 1}});
    connect(simulator->port_path());
    device.modbus_write_register(20, 500);
    const unsigned short values[2] = {1, 2};
    device.modbus_write_registers(40, 2, values);
    transport.perform_pending();
    ASSERT_EQ(device.payloads.size(), 2u);
    EXPECT_EQ(device.payloads[0].words[0], 501);
    EXPECT_EQ(device.payloads[1].words[0], 16);
    EXPECT_EQ(device.payloads[1].words[1], 3);
    EXPECT_EQ(device.errors, 0);
}

TEST_F(LineTransportTest, CountsOutsideTheModbusLimitsNeverReachTheLine)
{
    auto simulator = start_simulator();
    connect(simulator->port_path());
    const std::vector<unsigned short> values(200, 1);
    struct Case {
        bool write;
        int count;
        bool sent;
    };
    const Case cases[] = {{true, 0, false},  {true, 1, true},   {true, 123, true},
                          {true, 124, false}, {false, 0, false}, {false, 125, true},
                          {false, 126, false}};
    for (const Case& c : cases) {
        const unsigned long before = simulator->requests_seen();
        const int errors_before = device.errors;
        if (c.write)
            device.modbus_write_registers(10, c.count, values.data());
        else
            device.modbus_read_registers(10, c.count);
        transport.perform_pending();
        // A sent request is counted when the simulator's thread takes it,
        // which a loaded machine may delay past the master's timeout.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (c.sent && simulator->requests_seen() == before &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(simulator->requests_seen() - before, c.sent ? 1u : 0u)
            << (c.write ? "write " : "read ") << c.count;
        if (!c.sent) {
            EXPECT_EQ(device.errors, errors_before + 1) << c.count;
            EXPECT_NE(transport.last_failure().find("refused before sending"), std::string::npos);
        }
    }
}

TEST_F(LineTransportTest, DevicesSharingAPortMustAgreeOnItsFormatAndNotOnTheirAddress)
{
    auto simulator = start_simulator();
    connect(simulator->port_path());
    BenchDevice other;
    const auto bound = devhost::bind_backends(other, {&transport});
    Json::Value config(Json::objectValue);
    config["port"] = simulator->port_path();
    config["slave"] = 2;
    config["baud"] = 19200;
    EXPECT_FALSE(other.SPModbus::InitSetting(config));
    EXPECT_NE(reports.back().find("runs at 9600 baud, parity N for slave 1; slave 2 asks for "
                                  "19200 baud, parity N"),
              std::string::npos)
        << reports.back();
    config["baud"] = 9600;
    config["slave"] = 1;
    EXPECT_FALSE(other.SPModbus::InitSetting(config));
    EXPECT_NE(reports.back().find("slave 1 on port"), std::string::npos) << reports.back();

    // On its own address it shares the line: the line stays open for the
    // first device when the second closes its port.
    config["slave"] = 2;
    ASSERT_TRUE(other.SPModbus::InitSetting(config));
    EXPECT_EQ(other.OpenPort(), 0);
    EXPECT_EQ(other.ClosePort(), 0);
    read_block();
    EXPECT_EQ(device.payloads.size(), 1u);
    transport.forget(other);
}

// The line's going and coming back as its listener hears them.
struct LineChanges : devhost::LineListener {
    void line_lost(const std::string& port) override { changes.push_back("lost " + port); }
    void line_back(const std::string& port) override { changes.push_back("back " + port); }
    std::vector<std::string> changes;
};

TEST_F(LineTransportTest, VanishedPortIsReopenedAtTheNextPollWithOneMessageEachWay)
{
    char directory[] = "/tmp/rtu-transport-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/meter";
    auto simulator = start_simulator({}, link);
    LineChanges listener;
    transport.set_listener(&listener);
    connect(link);
    read_block();
    ASSERT_EQ(device.payloads.size(), 1u);

    simulator.reset();
    for (int poll = 0; poll < 3; ++poll) {
        device.RefreshStatus();
        read_block();
    }
    EXPECT_EQ(device.payloads.size(), 1u);
    EXPECT_EQ(device.errors, 3);

    // Long after the last request went out (its 8 bytes and the silence
    // after them take 12 ms at 9600 baud): only the reopening can hold the
    // next request back.
    std::this_thread::sleep_for(10 * modbus::inter_frame_silence(9600, 'N'));
    simulator = start_simulator({}, link, 9600);
    const auto reopening = Clock::now();
    device.RefreshStatus();
    read_block();
    EXPECT_EQ(device.payloads.size(), 2u);
    expect_silence_after_opening(*simulator, reopening, 9600);

    int lost = 0, back = 0;
    for (const std::string& line : reports) {
        lost += line.find("lost") != std::string::npos;
        back += line.find("is back") != std::string::npos;
    }
    EXPECT_EQ(lost, 1);
    EXPECT_EQ(back, 1);
    EXPECT_EQ(reports.size(), 2u) << "no per-poll noise while the port is gone";
    EXPECT_EQ(listener.changes, (std::vector<std::string>{"lost " + link, "back " + link}));
    transport.set_listener(nullptr);
    simulator.reset();
    rmdir(directory);
}

// A meter that answers one request with whatever bytes it is given, on a
// raw pseudo-terminal of its own.
class ScriptedMeter {
public:
    explicit ScriptedMeter(std::vector<std::uint8_t> reply)
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
            throw std::runtime_error("no pseudo-terminal");
        port_ = ::ptsname(master_);
        other_side_ = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios raw{};
        ::tcgetattr(other_side_, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(other_side_, TCSANOW, &raw);
        thread_ = std::thread([this, reply = std::move(reply)] { answer(reply); });
    }
    ~ScriptedMeter()
    {
        thread_.join();
        ::close(other_side_);
        ::close(master_);
    }
    const std::string& port() const { return port_; }

private:
    void answer(const std::vector<std::uint8_t>& reply)
    {
        std::uint8_t request[8];
        for (std::size_t got = 0; got < sizeof request;) {
            pollfd line = {master_, POLLIN, 0};
            if (::poll(&line, 1, 5000) <= 0)
                return;
            const ssize_t n = ::read(master_, request + got, sizeof request - got);
            if (n <= 0)
                return;
            got += static_cast<std::size_t>(n);
        }
        [[maybe_unused]] const ssize_t written = ::write(master_, reply.data(), reply.size());
    }

    int master_ = -1;
    int other_side_ = -1;
    std::string port_;
    std::thread thread_;
};

struct RefusedReply {
    const char* name;
    std::vector<std::uint8_t> reply;  // as the meter sends it
    devhost::ExchangeStatus status;
    std::size_t seen;  // how many of its bytes the line shows; 0: a timeout
    bool intact;
    const char* problem;
};

class SerialLineTrace : public testing::TestWithParam<RefusedReply> {};

// A read of two registers from slave 1, answered with the scripted bytes:
// the trace shows the request, then the reply as far as the line read it.
TEST_P(SerialLineTrace, AReplyIsTracedAsItCame)
{
    const RefusedReply& c = GetParam();
    ScriptedMeter meter(c.reply);
    devhost::LineSettings settings;
    settings.port = meter.port();
    settings.baud = 19200;
    const auto line = devhost::make_line(settings);
    FrameLog log;
    line->set_observer(&log);
    std::string error;
    ASSERT_TRUE(line->open(error)) << error;
    const devhost::Exchange result = line->read_registers({1, 300}, 10, 2);
    EXPECT_EQ(result.status, c.status) << result.error;

    ASSERT_EQ(log.frames.size(), 2u);
    const devhost::LineFrame& sent = log.frames[0];
    EXPECT_EQ(sent.direction, devhost::LineFrame::Direction::Sent);
    EXPECT_EQ(sent.bytes, modbus::with_rtu_crc({1, 3, 0, 10, 0, 2}));
    EXPECT_GE(sent.silence_before, modbus::inter_frame_silence(19200, 'N'));
    const devhost::LineFrame& reply = log.frames[1];
    EXPECT_EQ(reply.slave, 1);
    EXPECT_EQ(reply.problem, c.problem);
    if (c.seen == 0) {
        EXPECT_EQ(reply.direction, devhost::LineFrame::Direction::Timeout);
        return;
    }
    EXPECT_EQ(reply.direction, devhost::LineFrame::Direction::Received);
    EXPECT_EQ(reply.bytes, std::vector<std::uint8_t>(c.reply.begin(), c.reply.begin() + c.seen));
    EXPECT_EQ(reply.intact, c.intact);
}

std::vector<std::uint8_t> framed(std::vector<std::uint8_t> bytes)
{
    return modbus::with_rtu_crc(bytes);
}

std::vector<std::uint8_t> with_bad_crc(std::vector<std::uint8_t> bytes)
{
    bytes = framed(bytes);
    bytes.back() ^= 0xFF;
    return bytes;
}

using devhost::ExchangeStatus;

INSTANTIATE_TEST_SUITE_P(
    Replies, SerialLineTrace,
    testing::Values(
        RefusedReply{"Good", framed({1, 3, 4, 0, 7, 0, 8}), ExchangeStatus::Ok, 9, true, ""},
        RefusedReply{"Exception", framed({1, 0x83, 2}), ExchangeStatus::Exception, 5, true, ""},
        RefusedReply{"BadCrc", with_bad_crc({1, 3, 4, 0, 7, 0, 8}), ExchangeStatus::BadCrc, 9,
                     false, "bad CRC"},
        RefusedReply{"BadCrcOfAnException", with_bad_crc({1, 0x83, 2}), ExchangeStatus::BadCrc,
                     5, false, "bad CRC"},
        RefusedReply{"AnotherSlaves", framed({9, 3, 4, 0, 7, 0, 8}), ExchangeStatus::BadReply, 9,
                     true, "reply from slave 9"},
        RefusedReply{"LongerThanAFrame", {1, 3, 0xFF, 0, 7, 0, 8}, ExchangeStatus::BadReply, 3,
                     false, "announces more data than a frame holds"},
        RefusedReply{"CutShort", {1, 3, 4, 0}, ExchangeStatus::Timeout, 0, false,
                     "a reply began and was cut short"}),
    [](const testing::TestParamInfo<RefusedReply>& param_info) { return param_info.param.name; });

}  // namespace
