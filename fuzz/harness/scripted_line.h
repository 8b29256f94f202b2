// A line whose carrier hands back a scripted reply, as a line would after
// taking an intact frame from its meter (address, function, data; no
// checksum), in a buffer of exactly the reply's size so that a read past it
// is caught. For the tests and the fuzz targets of the Modbus judgement
// every kind of line shares.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devhost/lines/line.h"

namespace fuzzharness {

class ScriptedLine final : public devhost::Line {
public:
    ScriptedLine() : Line(devhost::LineSettings{}) {}

    bool open(std::string&) override { return true; }
    void close() override {}
    bool is_open() const override { return true; }

    std::vector<std::uint8_t> reply;
    devhost::ExchangeStatus carried = devhost::ExchangeStatus::Ok;  // else the carrier fails
    std::vector<std::uint8_t> last_request;

private:
    devhost::Exchange transact(const devhost::MeterAddress&,
                               const std::vector<std::uint8_t>& request,
                               std::vector<std::uint8_t>& out) override
    {
        last_request = request;
        if (carried != devhost::ExchangeStatus::Ok)
            return devhost::failed_exchange(carried, "carrier says no");
        out = reply;
        out.shrink_to_fit();
        return devhost::Exchange{};
    }
};

}  // namespace fuzzharness
