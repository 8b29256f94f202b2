// The forms a line's port takes and lists of slave addresses, as the command
// lines and configurations give them.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "modbus/address_list.h"
#include "modbus/line_address.h"

namespace {

TEST(LineAddress, EachFormHasItsKindAndReadsBackAsGiven)
{
    using modbus::LineKind;
    const struct {
        const char* text;
        LineKind kind;
        const char* host;
        int port;
    } cases[] = {
        {"/dev/ttyUSB0", LineKind::Serial, "", 0},
        {"tcp://10.0.0.5:502", LineKind::ModbusTcp, "10.0.0.5", 502},
        {"rtu+tcp://gateway.local:4001", LineKind::RtuOverTcp, "gateway.local", 4001},
        {"tcp://[fe80::1%eth0]:65535", LineKind::ModbusTcp, "fe80::1%eth0", 65535},
    };
    for (const auto& c : cases) {
        modbus::LineAddress address;
        std::string error;
        ASSERT_TRUE(modbus::parse_line_address(c.text, address, error)) << c.text << error;
        EXPECT_EQ(address.kind, c.kind) << c.text;
        EXPECT_EQ(address.host, c.host) << c.text;
        EXPECT_EQ(address.tcp_port, c.port) << c.text;
        EXPECT_EQ(modbus::line_address_text(address), c.text);
    }
}

TEST(LineAddress, MalformedNetworkAddressesAreRefusedNamingTheFault)
{
    const struct {
        const char* text;
        const char* says;
    } cases[] = {
        {"tcp://host", "names no TCP port"},
        {"tcp://:502", "names no host"},
        {"tcp://[::1:502", "no ']'"},
        {"tcp://::1:502", "out of brackets"},
        {"tcp://host:0", "1 to 65535"},
        {"tcp://host:65536", "1 to 65535"},
        {"rtu+tcp://host:5o2", "'5o2'"},
        {"udp://host:502", "no kind of line"},
    };
    for (const auto& c : cases) {
        modbus::LineAddress address;
        std::string error;
        EXPECT_FALSE(modbus::parse_line_address(c.text, address, error)) << c.text;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.text << ": " << error;
    }
    // A server may listen on port 0, to be given a free one.
    modbus::LineAddress address;
    std::string error;
    EXPECT_TRUE(modbus::parse_line_address("tcp://127.0.0.1:0", address, error,
                                           modbus::PortZero::Allowed))
        << error;
}

TEST(SlaveList, SinglesRangesAndListsWithinTheAddressRange)
{
    using Slaves = std::vector<int>;
    const std::pair<const char*, std::optional<Slaves>> cases[] = {
        {"1", Slaves{1}},
        {"247", Slaves{247}},
        {"1-3", Slaves{1, 2, 3}},
        {"5,1-2,2", Slaves{1, 2, 5}},  // ascending, each once
        {"7-7", Slaves{7}},
        {"0", std::nullopt},
        {"248", std::nullopt},
        {"1-248", std::nullopt},
        {"3-1", std::nullopt},
        {"", std::nullopt},
        {"1,", std::nullopt},
        {",1", std::nullopt},
        {"1,,2", std::nullopt},
        {"-1", std::nullopt},
        {"1-", std::nullopt},
        {"1-2-3", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
        {"0x10", std::nullopt},
        {"99999999999", std::nullopt},
    };
    for (const auto& [text, want] : cases)
        EXPECT_EQ(modbus::parse_slave_list(text), want) << "'" << text << "'";
}

}  // namespace
