// meterhost driving several meters on one line and on several lines, against
// simulated buses in this process, whose registers and line timing the tests
// read back, on every kind of line (a pseudo-terminal, Modbus TCP and RTU
// over TCP on the loopback interface): the silence before every request,
// byte-exact tagged snapshots of every meter, a dead meter that neither
// holds the run up nor stays unreported, writes that reach one meter only,
// a dropped or refused connection, and whole diagnostic lines. Independent
// Modbus TCP and RTU-over-TCP servers check the network lines against a
// server they were not developed with.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <map>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e_support.h"
#include "history_store.h"
#include "host/spmodbus.h"
#include "line_timing.h"
#include "module_loader.h"
#include "reply_layout.h"
#include "served_bus.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;
using devhost::LineKind;
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
        const auto setups = bus->terminal_setups();
        ASSERT_FALSE(setups.empty());
        EXPECT_EQ(setups.front().baud, baud);
    }
    const auto silence = metersim::inter_frame_silence(baud, 'N');
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
    EXPECT_EQ(bus->frames_rejected(), 0u);
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
                     "--slave", "2", "--timeout-ms", "100", "20", "500", "501"});
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
                       "--slave", "1,2", "--json", "--interval", "0.02", "--timeout-ms", "100",
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

TEST(MeterhostBus, LinesOfEveryKindEachOnItsThreadTagTheirPorts)
{
    auto serial = start_bus({1, 2});
    auto modbus_tcp = start_bus({3}, {}, kBusBaud, LineKind::ModbusTcp);
    auto rtu_over_tcp = start_bus({4}, {}, kBusBaud, LineKind::RtuOverTcp);
    const Finished run = run_command(
        poll_args({"--port", serial.port, "--slave", "1,2", "--port", modbus_tcp.port, "--slave",
                   "3", "--port", rtu_over_tcp.port, "--slave", "4"},
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
         "--rounds", "1", "--interval", "0", "--timeout-ms", "100", "--retry-min", "0"},
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

}  // namespace
