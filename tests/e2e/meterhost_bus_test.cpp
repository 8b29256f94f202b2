// meterhost driving several meters on one line and on several lines, against
// simulated buses in this process, whose registers and line timing the tests
// read back, on every kind of line (a pseudo-terminal, Modbus TCP and RTU
// over TCP on the loopback interface): the silence before every request,
// byte-exact tagged snapshots of every meter, a dead meter that neither
// holds the run up nor stays unreported, writes that reach one meter only,
// a dropped or refused connection, whole diagnostic lines, and the frame
// trace of the lines checked against what the simulators saw. Independent
// Modbus TCP and RTU-over-TCP servers check the network lines against a
// server they were not developed with. Scans find exactly the meters of a
// line at their own speed, simulated ones and libmodbus's own.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/e2e/e2e_support.h"
#include "devhost/history/history_store.h"
#include "host/spmodbus.h"
#include "modbus/frame_timing.h"
#include "devhost/runtime/module_loader.h"
#include "devhost/runtime/reply_layout.h"
#include "modbus/replies.h"
#include "modbus/rtu_crc.h"
#include "tests/e2e/served_bus.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;
using modbus::LineKind;
using metersim::RegisterValues;

constexpr int kSnapshotText = 801;
constexpr char kUpdateTimeKey[] = "更新时间";
constexpr LineKind kNetworkKinds[] = {LineKind::ModbusTcp, LineKind::RtuOverTcp};

constexpr int kBusBaud = 115200;

ServedBus start_bus(std::vector<int> slaves, std::vector<int> dead = {}, int baud = kBusBaud,
                    LineKind kind = LineKind::Serial)
{
    metersim::SimulatorOptions options;
    options.slaves = std::move(slaves);
    options.dead = std::move(dead);
    options.baud = baud;
    options.line_time = true;
    RegisterValues table{};
    for (std::size_t i = 0; i < table.size(); ++i)
        table[i] = static_cast<std::uint16_t>(300 * i + 11);
    options.table = table;
    return serve_bus(std::move(options), kind);
}

std::string kind_param_name(const testing::TestParamInfo<LineKind>& param_info)
{
    return kind_name(param_info.param);
}

// The snapshot text the module writes for these registers, with the update
// time it would have written at `update_time`.
std::string module_snapshot(const RegisterValues& registers, const std::string& update_time)
{
    static const devhost::LoadedModule module(KPM_MODULE_PATH);
    const std::unique_ptr<SPModbus> device = module.create_device();
    device->RefreshStatus();  // the block read is the transaction in progress
    devhost::place_read_reply(*device, registers.data(), registers.size());
    testing::internal::CaptureStdout();
    device->process_payload(device->tab, static_cast<unsigned>(registers.size() * 2));
    testing::internal::GetCapturedStdout();
    std::vector<char> text(8192);
    int length = 0;
    device->DeviceIoControl(kSnapshotText, nullptr, 0, text.data(), static_cast<int>(text.size()),
                            length);
    std::string snapshot(text.data(), static_cast<std::size_t>(std::max(length, 0)));
    const std::string own_time = parse_json(snapshot)[kUpdateTimeKey].asString();
    const auto at = snapshot.find("\"" + own_time + "\"");
    if (!own_time.empty() && at != std::string::npos)
        snapshot.replace(at + 1, own_time.size(), update_time);
    return snapshot;
}

struct TaggedLine {
    std::string port;  // empty when the line names none
    int slave = 0;
    std::string text;  // the embedded snapshot text, bytes as printed
};

bool take(const std::string& line, std::size_t& at, const std::string& expected)
{
    if (line.compare(at, expected.size(), expected) != 0)
        return false;
    at += expected.size();
    return true;
}

// {"port":"P","slave":N,"snapshot":TEXT} or {"slave":N,"snapshot":TEXT}.
TaggedLine parse_tagged(const std::string& line)
{
    TaggedLine parsed;
    std::size_t at = 0;
    if (!take(line, at, "{"))
        return {};
    if (take(line, at, "\"port\":\"")) {
        const std::size_t start = at - 1;
        while (at < line.size() && line[at] != '"')
            at += line[at] == '\\' ? 2 : 1;
        parsed.port = parse_json(line.substr(start, at + 1 - start)).asString();
        if (!take(line, ++at, ","))
            return {};
    }
    if (!take(line, at, "\"slave\":"))
        return {};
    const std::size_t digits = line.find_first_not_of("0123456789", at);
    if (digits == at || digits == std::string::npos)
        return {};
    parsed.slave = std::stoi(line.substr(at, digits - at));
    at = digits;
    if (!take(line, at, ",\"snapshot\":") || line.back() != '}')
        return {};
    parsed.text = line.substr(at, line.size() - 1 - at);
    return parsed;
}

// Every output line is tagged, names a live meter and carries exactly the
// text the module gives for that meter's registers; returns lines per meter.
std::map<std::pair<std::string, int>, int> check_tagged_lines(
    const std::string& out, const std::map<std::pair<std::string, int>, RegisterValues>& meters)
{
    std::map<std::pair<std::string, int>, int> counts;
    for (const std::string& line : lines_of(out)) {
        const TaggedLine tagged = parse_tagged(line);
        const auto meter = meters.find({tagged.port, tagged.slave});
        if (meter == meters.end()) {
            ADD_FAILURE() << "a line of no live meter: " << line;
            continue;
        }
        const std::string update_time = parse_json(tagged.text)[kUpdateTimeKey].asString();
        EXPECT_EQ(tagged.text + "\n", module_snapshot(meter->second, update_time)) << line;
        ++counts[meter->first];
    }
    return counts;
}

// What may reach standard error: the module's lines and meterhost's own,
// each whole.
void expect_whole_diagnostic_lines(const std::string& err)
{
    for (const std::string& line : lines_of(err)) {
        EXPECT_TRUE(is_whole_diagnostic_line(line)) << "not a whole known line: " << line;
        EXPECT_LE(count_of(line, "rvSize is"), 1) << line;
    }
}

// One line of a --trace file.
struct TracedFrame {
    std::string port;
    std::string dir;
    std::vector<std::uint8_t> bytes;
    long long silence_us = 0;
    bool crc_ok = false;
    int slave = 0;
};

std::vector<std::uint8_t> bytes_of_hex(const std::string& hex)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Every line of the file a whole JSON object with the keys of its kind.
std::vector<TracedFrame> read_trace(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    std::vector<TracedFrame> frames;
    for (const std::string& line : lines_of(text.str())) {
        const Json::Value json = parse_json(line);
        TracedFrame frame;
        frame.port = json["port"].asString();
        frame.dir = json["dir"].asString();
        frame.slave = json["slave"].asInt();
        const bool timeout = frame.dir == "timeout";
        const bool whole = json.isObject() && json["t_us"].isInt64() && json["port"].isString() &&
                           (timeout || (json["hex"].isString() && json["silence_us"].isInt64() &&
                                        json["crc_ok"].isBool()));
        EXPECT_TRUE(whole) << "not a whole trace line: " << line;
        if (!timeout) {
            frame.bytes = bytes_of_hex(json["hex"].asString());
            frame.silence_us = json["silence_us"].asInt64();
            frame.crc_ok = json["crc_ok"].asBool();
        }
        frames.push_back(frame);
    }
    return frames;
}

bool crc_right(const std::vector<std::uint8_t>& frame)
{
    return frame.size() >= 4 && modbus::rtu_crc_ok(frame.data(), frame.size());
}

std::vector<std::uint8_t> block_reply(int slave, const RegisterValues& registers)
{
    return modbus::with_rtu_crc(modbus::read_registers_reply(
        static_cast<std::uint8_t>(slave),
        std::vector<std::uint16_t>(registers.begin(), registers.end())));
}

long long whole_microseconds(std::chrono::nanoseconds duration) { return duration.count() / 1000; }

// A request as traced: a correct checksum, said to be so, and at least the
// 3.5 characters of silence meterhost keeps before it, which it measures
// from the end of the last frame to the moment it hands the request over.
void expect_request(const TracedFrame& frame, int baud, char parity)
{
    EXPECT_EQ(frame.dir, "sent");
    EXPECT_TRUE(crc_right(frame.bytes)) << testing::PrintToString(frame.bytes);
    EXPECT_TRUE(frame.crc_ok);
    EXPECT_EQ(frame.bytes.at(0), frame.slave);
    EXPECT_GE(frame.silence_us,
              whole_microseconds(modbus::inter_frame_silence(baud, parity)))
        << "before a request to slave " << frame.slave;
}

struct LineSetting {
    int baud;
    char parity;
};

// One simulated line's trace against what its simulator saw. Each request
// is the next frame the simulator received, byte for byte, at the speed of
// its setting. Its silence, as meterhost measured it after a reply, is
// never more than the simulator's own measurement: meterhost counts from
// after it read the reply's last byte to before it hands the request over,
// the simulator from before it handed that byte over to after it read the
// request's first. Each reply is the one the simulator sends for the
// meter's registers, after at least the 3.5 characters the simulator keeps
// before it; the two programs round a character's time to the nanosecond
// differently, which stays within 1 us for a frame.
void expect_trace_of_line(const std::vector<TracedFrame>& trace, const ServedBus& bus,
                          const std::function<LineSetting(std::size_t request)>& setting_of)
{
    const auto received = bus.timings();
    std::size_t request = 0;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const TracedFrame& frame = trace[i];
        if (frame.dir == "received") {
            EXPECT_EQ(frame.bytes, block_reply(frame.slave, bus->registers(frame.slave)));
            EXPECT_TRUE(frame.crc_ok);
            const LineSetting setting = setting_of(request - 1);
            EXPECT_GE(frame.silence_us, whole_microseconds(modbus::inter_frame_silence(
                                            setting.baud, setting.parity)) -
                                            1);
            continue;
        }
        if (frame.dir != "sent")
            continue;
        const LineSetting setting = setting_of(request);
        expect_request(frame, setting.baud, setting.parity);
        ASSERT_LT(request, received.size()) << "a request the simulator never saw";
        EXPECT_EQ(frame.bytes, received[request].bytes) << "request " << request;
        EXPECT_EQ(received[request].baud, setting.baud) << "request " << request;
        // A set-up of the terminal the simulator saw late shortens its count.
        if (i > 0 && trace[i - 1].dir == "received" && !received[request].after_setup) {
            EXPECT_LE(frame.silence_us, whole_microseconds(received[request].gap_before))
                << "request " << request;
        }
        ++request;
    }
    EXPECT_EQ(request, received.size());
}

std::vector<TracedFrame> of_port(const std::vector<TracedFrame>& trace, const std::string& port)
{
    std::vector<TracedFrame> frames;
    for (const TracedFrame& frame : trace)
        if (frame.port == port)
            frames.push_back(frame);
    return frames;
}

// The lines at the buses' speed unless they name their own.
std::vector<std::string> poll_args(std::vector<std::string> lines, const std::string& rounds)
{
    std::vector<std::string> argv{kMeterhost, "--json", "--interval", "0", "--rounds", rounds,
                                  "--timeout-ms", "300", "--baud", std::to_string(kBusBaud)};
    argv.insert(argv.end(), lines.begin(), lines.end());
    return argv;
}

using SilenceCase = std::pair<LineKind, int>;  // the kind of line and its baud
class MeterhostSilence : public testing::TestWithParam<SilenceCase> {};

TEST_P(MeterhostSilence, EveryRequestFollowsThreeAndAHalfCharactersOfSilence)
{
    const auto [kind, baud] = GetParam();
    auto bus = start_bus({1, 2, 3}, {}, baud, kind);
    const Finished run = run_command(
        poll_args({"--port", bus.port, "--baud", std::to_string(baud), "--slave", "1-3"}, "3"));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(lines_of(run.out).size(), 9u);

    // The first request's silence counts from the opening, which the
    // simulator sees only when its thread runs: line_transport_test checks
    // it against the instant the host began to open the port. Over TCP the
    // first request follows the connection's opening instead, and the
    // serial server's line behind it is the host's to keep silent.
    if (!bus.server) {
        const auto setups = bus.line->terminal_setups();
        ASSERT_FALSE(setups.empty());
        EXPECT_EQ(setups.front().baud, baud);
    }
    const auto silence = modbus::inter_frame_silence(baud, 'N');
    const auto timings = bus.timings();
    ASSERT_GE(timings.size(), 9u);
    EXPECT_TRUE(timings.front().after_setup);
    for (const auto& timing : timings) {
        if (!timing.after_setup) {
            EXPECT_GE(timing.gap_before.count(), silence.count())
                << "ns before a request to slave " << timing.slave;
        }
        EXPECT_FALSE(timing.rejected);
    }
    EXPECT_EQ(bus.frames_rejected(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Bauds, MeterhostSilence,
                         testing::Values(SilenceCase{LineKind::Serial, 9600},
                                         SilenceCase{LineKind::Serial, 19200},
                                         SilenceCase{LineKind::RtuOverTcp, 9600}),
                         [](const testing::TestParamInfo<SilenceCase>& param_info) {
                             return kind_name(param_info.param.first) +
                                    std::to_string(param_info.param.second);
                         });

class MeterhostBusKinds : public testing::TestWithParam<LineKind> {};

TEST_P(MeterhostBusKinds, LiveMetersPrintTheirOwnLinesAndADeadOneIsReportedOnce)
{
    TempDir dir;
    auto bus = start_bus({1, 2, 3, 4}, {4}, kBusBaud, GetParam());
    const RegisterValues untouched = bus->registers(1);

    const Finished write =
        run_command({kMeterhost, "write", "--port", bus.port, "--baud", std::to_string(kBusBaud),
                     "--slave", "2", "--timeout-ms", kShortTimeoutMs, "20", "500", "501"});
    ASSERT_EQ(write.status, 0) << write.out << write.err;
    RegisterValues written = untouched;
    written[20 - 10] = 500;
    written[21 - 10] = 501;
    EXPECT_EQ(bus->registers(2), written);
    for (int slave : {1, 3, 4})
        EXPECT_EQ(bus->registers(slave), untouched) << "slave " << slave;

    const std::string db = dir.path("history.db");
    const Finished run = run_command(poll_args(
        {"--port", bus.port, "--slave", "1-4", "--data-id", "11", "--history", db}, "3"));
    EXPECT_EQ(run.status, 1) << "a meter ended offline short of its rounds\n" << run.err;
    const auto counts = check_tagged_lines(
        run.out, {{{"", 1}, untouched}, {{"", 2}, written}, {{"", 3}, untouched}});
    for (int slave : {1, 2, 3})
        EXPECT_EQ(counts.count({"", slave}) ? counts.at({"", slave}) : 0, 3) << slave;
    EXPECT_EQ(count_of(run.err, "is offline"), 1) << run.err;
    EXPECT_EQ(count_of(run.err, "meter 4 on " + bus.port + " is offline"), 1) << run.err;
    expect_whole_diagnostic_lines(run.err);

    // Each meter's records apart, under its own data id.
    devhost::HistoryStore store(db);
    for (const auto& [data_id, registers] :
         {std::pair<std::uint32_t, RegisterValues>{11, untouched}, {12, written}}) {
        const auto newest = store.newest(data_id);
        ASSERT_TRUE(newest) << data_id;
        RegisterValues stored{};
        for (std::size_t i = 0; i < stored.size(); ++i)
            stored[i] = static_cast<std::uint16_t>(newest->bytes.at(4 + 2 * i) |
                                                   newest->bytes.at(5 + 2 * i) << 8);
        EXPECT_EQ(stored, registers) << data_id;
    }
    EXPECT_EQ(store.count(14), 0u);
}

// Offline, a dead meter is tried at most once per retry wait, so it cannot
// hold the line from the live one: counted against the time that passed,
// this holds however fast the machine polls. Without the retry wait it would
// be tried in every round, each costing a timeout (100 ms): about three
// times as often as this allows.
TEST_P(MeterhostBusKinds, AMeterThatDiesGoesOfflineAndComesBackWithOneMessageEach)
{
    constexpr auto kRetryMin = 300ms;
    auto bus = start_bus({1, 2}, {}, kBusBaud, GetParam());
    ChildProcess host({kMeterhost, "--port", bus.port, "--baud", std::to_string(kBusBaud),
                       "--slave", "1,2", "--json", "--interval", "0.02", "--timeout-ms",
                       kShortTimeoutMs,
                       "--retry-min", "0.3", "--retry-max", "0.6"});
    ASSERT_TRUE(host.read_line(10s)) << host.err();
    bus->set_dead(2, true);
    ASSERT_TRUE(host.wait_for_error_text("is offline", 10s)) << host.err();

    const auto window_start = std::chrono::steady_clock::now();
    const unsigned long live_before = bus->requests_seen(1);
    const auto deadline = window_start + 10s;
    while (bus->requests_seen(1) < live_before + 20 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    const auto window_end = std::chrono::steady_clock::now();
    ASSERT_GE(bus->requests_seen(1), live_before + 20) << "the live meter keeps being polled";
    long dead_tries = 0;
    for (const auto& timing : bus.timings())
        dead_tries += timing.slave == 2 && timing.arrived >= window_start &&
                      timing.arrived <= window_end;
    EXPECT_LE(dead_tries, 1 + (window_end - window_start) / kRetryMin);

    bus->set_dead(2, false);
    ASSERT_TRUE(host.wait_for_error_text("answers again", 10s)) << host.err();
    host.send_signal(SIGINT);
    EXPECT_EQ(host.wait(5s), 0);
    EXPECT_EQ(count_of(host.err(), "is offline"), 1) << host.err();
    EXPECT_EQ(count_of(host.err(), "answers again"), 1) << host.err();
    // Its failed polls are reported until it is offline, and not after.
    int dead_meter_failures = 0;
    for (const std::string& line : lines_of(host.err()))
        dead_meter_failures += line.rfind("meterhost: slave 2 on ", 0) == 0;
    EXPECT_EQ(dead_meter_failures, 3) << host.err();
}

INSTANTIATE_TEST_SUITE_P(Lines, MeterhostBusKinds,
                         testing::Values(LineKind::Serial, LineKind::ModbusTcp,
                                         LineKind::RtuOverTcp),
                         kind_param_name);

TEST(MeterhostBus, LinesOfEveryKindEachOnItsThreadTagTheirPortsAndTraceTheirFrames)
{
    TempDir dir;
    auto serial = start_bus({1, 2});
    auto modbus_tcp = start_bus({3}, {}, kBusBaud, LineKind::ModbusTcp);
    auto rtu_over_tcp = start_bus({4}, {}, kBusBaud, LineKind::RtuOverTcp);
    const std::string trace = dir.path("trace.jsonl");
    const Finished run = run_command(
        poll_args({"--port", serial.port, "--slave", "1,2", "--port", modbus_tcp.port, "--slave",
                   "3", "--port", rtu_over_tcp.port, "--slave", "4", "--trace", trace},
                  "4"));
    ASSERT_EQ(run.status, 0) << run.err;
    const RegisterValues registers = serial->registers(1);
    const auto counts = check_tagged_lines(run.out, {{{serial.port, 1}, registers},
                                                     {{serial.port, 2}, registers},
                                                     {{modbus_tcp.port, 3}, registers},
                                                     {{rtu_over_tcp.port, 4}, registers}});
    EXPECT_EQ(counts.size(), 4u) << run.out;
    for (const auto& [meter, lines] : counts)
        EXPECT_EQ(lines, 4) << meter.first << " " << meter.second;
    EXPECT_EQ(count_of(run.err, "rvSize is 0"), 16) << run.err;
    expect_whole_diagnostic_lines(run.err);

    // Whole lines from the three line threads: a request and a reply per
    // round, each naming its meter; the serial line's as its simulator saw them.
    const std::vector<TracedFrame> frames = read_trace(trace);
    EXPECT_EQ(frames.size(), 32u);
    for (const auto& [port, slave] : {std::pair<std::string, int>{modbus_tcp.port, 3},
                                      {rtu_over_tcp.port, 4}}) {
        const auto of_line = of_port(frames, port);
        EXPECT_EQ(of_line.size(), 8u) << port;
        for (std::size_t i = 0; i < of_line.size(); ++i) {
            EXPECT_EQ(of_line[i].dir, i % 2 == 0 ? "sent" : "received") << port << " " << i;
            EXPECT_EQ(of_line[i].slave, slave) << port << " " << i;
        }
    }
    expect_trace_of_line(of_port(frames, serial.port), serial,
                         [](std::size_t) { return LineSetting{kBusBaud, 'N'}; });
}

class MeterhostConnection : public testing::TestWithParam<LineKind> {};

bool eventually(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A connection the server drops is made again at the next poll; a server
// that is gone refuses the connection, which fails the meter's polls until
// it is offline, and it is back once served again.
TEST_P(MeterhostConnection, DroppedIsMadeAgainAndRefusedFailsThePollUntilServedAgain)
{
    auto bus = start_bus({1}, {}, kBusBaud, GetParam());
    ChildProcess host({kMeterhost, "--port", bus.port, "--json", "--interval", "0.02",
                       "--timeout-ms", "200", "--retry-min", "0.1", "--retry-max", "0.2"});
    ASSERT_TRUE(host.read_line(10s)) << host.err();
    bus.server->drop_connection();
    ASSERT_TRUE(eventually([&] { return bus.server->connections() == 2; })) << host.err();
    const unsigned long before = bus->requests_seen();
    ASSERT_TRUE(eventually([&] { return bus->requests_seen() >= before + 3; })) << host.err();

    bus.server.reset();
    ASSERT_TRUE(host.wait_for_error_text("is offline", 10s)) << host.err();
    bus.serve_again();
    ASSERT_TRUE(host.wait_for_error_text("answers again", 10s)) << host.err();
    host.send_signal(SIGINT);
    EXPECT_EQ(host.wait(5s), 0);
    EXPECT_EQ(count_of(host.err(), "is offline"), 1) << "the dropped connection cost no more "
                                                        "than one poll\n"
                                                     << host.err();
    EXPECT_NE(host.err().find("Connection refused"), std::string::npos) << host.err();
    expect_whole_diagnostic_lines(host.err());
}

INSTANTIATE_TEST_SUITE_P(Network, MeterhostConnection, testing::ValuesIn(kNetworkKinds),
                         kind_param_name);

// A listener whose queue of connections is full: the kernel drops further
// connection attempts unanswered, as a server that is down behind a router
// would. Each connect must end at the meter's timeout, not after the
// system's own (over two minutes), or the run could not end in time.
TEST(MeterhostConnection, AConnectNobodyAnswersEndsAtTheTimeout)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(queued, reinterpret_cast<sockaddr*>(&address), length), 0);
    const int dropped = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    ::connect(dropped, reinterpret_cast<sockaddr*>(&address), length);

    const Finished run = run_command(
        {kMeterhost, "--port", "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)),
         "--rounds", "1", "--interval", "0", "--timeout-ms", kShortTimeoutMs, "--retry-min", "0"},
        30s);
    EXPECT_EQ(run.status, 1) << "offline short of its round\n" << run.err;
    EXPECT_EQ(count_of(run.err, "no answer in time"), 3) << run.err;
    for (int fd : {dropped, queued, listener})
        ::close(fd);
}

class MeterhostIndependentServer : public testing::TestWithParam<LineKind> {};

// Units 1 and 2 of a Modbus server from Debian's pymodbus, each with
// registers of its own.
TEST_P(MeterhostIndependentServer, TaggedSnapshotsOfBothUnitsAndAWriteToOneOfThem)
{
    TempDir dir;
    RegisterValues one{}, two{};
    for (std::size_t i = 0; i < one.size(); ++i) {
        one[i] = static_cast<std::uint16_t>(100 * i + 7);
        two[i] = static_cast<std::uint16_t>(65535 - 211 * i);
    }
    const RunningSlave server = start_pymodbus_server(
        GetParam() == LineKind::ModbusTcp ? "tcp" : "rtu+tcp",
        {{1, dir.file("one", table_text(one))}, {2, dir.file("two", table_text(two))}});

    const Finished run = run_command({kMeterhost, "--port", server.port, "--slave", "1,2",
                                      "--json", "--rounds", "2", "--interval", "0"});
    ASSERT_EQ(run.status, 0) << run.err;
    auto counts = check_tagged_lines(run.out, {{{"", 1}, one}, {{"", 2}, two}});
    EXPECT_EQ(counts[std::make_pair(std::string(), 1)], 2) << run.out;
    EXPECT_EQ(counts[std::make_pair(std::string(), 2)], 2) << run.out;

    const Finished write = run_command(
        {kMeterhost, "write", "--port", server.port, "--slave", "2", "20", "500", "501"});
    ASSERT_EQ(write.status, 0) << write.out << write.err;
    RegisterValues written = two;
    written[20 - 10] = 500;
    written[21 - 10] = 501;
    const std::string config = dir.file(
        "config.json", "{\"port\": \"" + server.port + "\", \"slave\": [1, 2]}");
    const Finished after =
        run_command({kMeterhost, "--config", config, "--json", "--rounds", "1"});
    ASSERT_EQ(after.status, 0) << after.err;
    counts = check_tagged_lines(after.out, {{{"", 1}, one}, {{"", 2}, written}});
    EXPECT_EQ(counts.size(), 2u) << after.out;
}

INSTANTIATE_TEST_SUITE_P(Network, MeterhostIndependentServer, testing::ValuesIn(kNetworkKinds),
                         kind_param_name);

RegisterValues own_registers(int slave)
{
    RegisterValues registers{};
    for (std::size_t i = 0; i < registers.size(); ++i)
        registers[i] = static_cast<std::uint16_t>(100 * i + 7 * static_cast<std::size_t>(slave));
    return registers;
}

// Simulated meters 2 and 5 at 38400 baud, tried at 9600 and 38400 baud with
// parities N and E, every setting: found at 38400 baud, parity N, the first
// setting they answer at, and not asked again; at no setting does another
// address answer. The trace holds every request the simulator received, at
// the speed of its setting, and each reply it sent.
TEST(MeterhostScan, FindsSimulatedMetersAtTheirOwnSettingAndNoOthers)
{
    TempDir dir;
    auto bus = start_bus({2, 5}, {}, 38400);
    const std::string trace = dir.path("trace.jsonl");
    const Finished run = run_command({kMeterhost, "scan", "--json", "--port", bus.port,
                                      "--slave", "1-6", "--baud", "9600,38400", "--parity",
                                      "N,E", "--all-settings", "--timeout-ms", kShortTimeoutMs,
                                      "--trace",
                                      trace});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::pair<int, std::string>> found;
    for (const std::string& line : lines_of(run.out)) {
        const Json::Value json = parse_json(line);
        EXPECT_EQ(json["port"], bus.port);
        found.emplace_back(json["slave"].asInt(),
                           json["baud"].asString() + json["parity"].asString());
    }
    EXPECT_EQ(found, (std::vector<std::pair<int, std::string>>{{2, "38400N"}, {5, "38400N"}}))
        << run.out;

    // Six addresses at each of the first three settings, then the four not found.
    const LineSetting settings[] = {{9600, 'N'}, {9600, 'E'}, {38400, 'N'}, {38400, 'E'}};
    const std::vector<TracedFrame> frames = read_trace(trace);
    expect_trace_of_line(frames, bus, [&](std::size_t request) {
        return settings[std::min<std::size_t>(request / 6, 3)];
    });
    std::vector<int> asked_last;
    for (const TracedFrame& frame : frames)
        if (frame.dir == "sent")
            asked_last.push_back(frame.slave);
    ASSERT_EQ(asked_last.size(), 22u);
    asked_last.erase(asked_last.begin(), asked_last.begin() + 18);
    EXPECT_EQ(asked_last, (std::vector<int>{1, 3, 4, 6}));
}

class MeterhostScanNetwork : public testing::TestWithParam<LineKind> {};

// A line over the network has no speed or parity for meterhost to set: a
// scan asks each address once and names none.
TEST_P(MeterhostScanNetwork, FindsTheMetersByAddressAlone)
{
    auto bus = start_bus({2, 3}, {}, kBusBaud, GetParam());
    const Finished run = run_command({kMeterhost, "scan", "--json", "--port", bus.port, "--slave",
                                      "1-4", "--baud", std::to_string(kBusBaud), "--timeout-ms",
                                      kShortTimeoutMs});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<int> found;
    for (const std::string& line : lines_of(run.out)) {
        const Json::Value json = parse_json(line);
        EXPECT_FALSE(json.isMember("baud") || json.isMember("parity")) << line;
        found.push_back(json["slave"].asInt());
    }
    EXPECT_EQ(found, (std::vector<int>{2, 3})) << run.out;
    std::vector<int> asked;
    for (const auto& timing : bus.timings())
        asked.push_back(timing.slave);
    EXPECT_EQ(asked, (std::vector<int>{1, 2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(Network, MeterhostScanNetwork, testing::ValuesIn(kNetworkKinds),
                         kind_param_name);

// Meters of another make (libmodbus's own slaves) at addresses 3 and 17, on
// a line that carries bytes only at 19200 baud. A scan of addresses 1 to 20
// tries 9600 baud at each parity first, then finds exactly those two at
// 19200, parity N, and tries nothing after that setting; each line carries
// the module's snapshot of that meter's registers, byte for byte.
TEST(MeterhostScan, FindsForeignMetersOnlyAtTheirSpeed)
{
    TempDir dir;
    std::vector<std::string> meters{"--baud", "19200"};
    for (int slave : {3, 17})
        meters.push_back(std::to_string(slave) + ":" +
                         dir.file("meter" + std::to_string(slave),
                                  table_text(own_registers(slave))));
    const RunningSlave line = start_plain_slave(meters);
    const std::string trace = dir.path("trace.jsonl");
    const Finished run =
        run_command({kMeterhost, "scan", "--json", "--port", line.port, "--slave", "1-20",
                     "--timeout-ms", kShortTimeoutMs, "--trace", trace});
    ASSERT_EQ(run.status, 0) << run.err;

    const auto found = lines_of(run.out);
    ASSERT_EQ(found.size(), 2u) << run.out;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const int slave = i == 0 ? 3 : 17;
        const Json::Value json = parse_json(found[i]);
        EXPECT_TRUE(snapshot_mismatches(json["snapshot"], own_registers(slave)).empty())
            << found[i];
        const std::string update_time = json["snapshot"][kUpdateTimeKey].asString();
        std::string snapshot = module_snapshot(own_registers(slave), update_time);
        snapshot.pop_back();  // its line feed
        EXPECT_EQ(found[i], "{\"port\":\"" + line.port + "\",\"baud\":19200,\"parity\":\"N\"," +
                                "\"slave\":" + std::to_string(slave) +
                                ",\"snapshot\":" + snapshot + "}");
    }

    // Every address once at each setting, in order: 9600 baud with N, E
    // and O, then 19200 with N, where the two answer.
    const std::vector<TracedFrame> frames = read_trace(trace);
    const struct {
        int baud;
        char parity;
    } settings[] = {{9600, 'N'}, {9600, 'E'}, {9600, 'O'}, {19200, 'N'}};
    std::size_t requests = 0;
    std::vector<int> answered;
    for (const TracedFrame& frame : frames) {
        if (frame.dir == "sent") {
            ASSERT_LT(requests, 80u) << "more requests than addresses at four settings";
            const auto& setting = settings[requests / 20];
            expect_request(frame, setting.baud, setting.parity);
            EXPECT_EQ(frame.slave, 1 + static_cast<int>(requests % 20));
            ++requests;
        } else if (frame.dir == "received") {
            answered.push_back(frame.slave);
            EXPECT_EQ(frame.bytes, block_reply(frame.slave, own_registers(frame.slave)));
            EXPECT_TRUE(frame.crc_ok);
        }
    }
    EXPECT_EQ(requests, 80u);
    EXPECT_EQ(answered, (std::vector<int>{3, 17}));
    EXPECT_EQ(frames.size(), 160u) << "a reply or a timeout after each request";
}

// Without --json each meter found is one line of its address, its setting
// and three of the module's quantities as its snapshot gives them (whole
// numbers as such, others with three decimals).
TEST(MeterhostScan, PlainTextNamesEachMeterWithItsSettingAndThreeQuantities)
{
    auto bus = start_bus({2, 4}, {}, 9600);
    const std::vector<std::string> scan{kMeterhost, "scan", "--port", bus.port, "--slave", "2-4",
                                        "--baud", "9600", "--parity", "N", "--timeout-ms",
                                        kShortTimeoutMs};
    const Finished plain = run_command(scan);
    std::vector<std::string> with_json = scan;
    with_json.push_back("--json");
    const Finished json = run_command(with_json);
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(json.status, 0) << json.err;
    const auto json_lines = lines_of(json.out);
    ASSERT_EQ(json_lines.size(), 2u) << json.out;

    std::vector<std::string> expected;
    for (const std::string& line : json_lines) {
        const Json::Value found = parse_json(line);
        std::string text = "slave " + found["slave"].asString() + " at 9600 baud, parity N:";
        const char* separator = " ";
        for (const char* key : {"AB相线电压", "A相电流", "电压频率"}) {
            const double value = found["snapshot"][key].asDouble();
            char number[32];
            if (value == static_cast<double>(static_cast<long long>(value)))
                std::snprintf(number, sizeof number, "%lld", static_cast<long long>(value));
            else
                std::snprintf(number, sizeof number, "%.3f", value);
            text += separator + std::string(key) + " " + number;
            separator = ", ";
        }
        expected.push_back(text);
    }
    EXPECT_EQ(lines_of(plain.out), expected) << plain.out;
    EXPECT_NE(plain.err.find("2 meters found on " + bus.port), std::string::npos) << plain.err;
}

// Exit status 1 when the scan went through every address and none answered:
// nothing on standard output, and one message saying so.
TEST(MeterhostScan, NoMeterFoundIsStatusOneWithItsMessage)
{
    auto bus = start_bus({5}, {}, kBusBaud, LineKind::ModbusTcp);
    const Finished run = run_command({kMeterhost, "scan", "--port", bus.port, "--slave", "1-2",
                                      "--timeout-ms", kShortTimeoutMs});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("no meter answered on " + bus.port), std::string::npos) << run.err;
}

// A line lost part way ends the scan with status 3, whatever it found:
// what it printed cannot be every meter on the line. The meter found before
// is printed, and the message says the line went and how many were found.
TEST(MeterhostScan, ALineLostAfterFindingAMeterIsStatusThree)
{
    RunningSlave line = start_metersim({"--slave", "1"});
    ChildProcess scan({kMeterhost, "scan", "--json", "--port", line.port, "--slave", "1-247",
                       "--baud", "9600", "--parity", "N", "--timeout-ms", kShortTimeoutMs});
    const auto found = scan.read_line(30s);
    ASSERT_TRUE(found) << scan.err();
    EXPECT_EQ(parse_json(*found)["slave"], 1);
    line.process.reset();  // the simulator and its pseudo-terminal go
    EXPECT_EQ(scan.wait(30s), 3) << scan.err();
    EXPECT_EQ(lines_of(scan.out()).size(), 1u) << scan.out();
    EXPECT_NE(scan.err().find("scan of " + line.port + " ended: the line is lost; 1 meter found"),
              std::string::npos)
        << scan.err();
}

// Ctrl-C during a scan ends it with the meters found so far printed.
TEST(MeterhostScan, CtrlCEndsItWithWhatItFound)
{
    TempDir dir;
    const RunningSlave line =
        start_plain_slave({"2:" + dir.file("meter2", table_text(own_registers(2)))});
    ChildProcess scan(
        {kMeterhost, "scan", "--json", "--port", line.port, "--timeout-ms", kShortTimeoutMs});
    const auto found = scan.read_line(10s);
    ASSERT_TRUE(found) << scan.err();
    EXPECT_EQ(parse_json(*found)["slave"], 2);
    scan.send_signal(SIGINT);
    EXPECT_EQ(scan.wait(10s), 0) << scan.err();
    EXPECT_EQ(lines_of(scan.out()).size(), 1u) << scan.out();
    EXPECT_NE(scan.err().find("stopped: 1 meter found so far"), std::string::npos) << scan.err();
}

}  // namespace
