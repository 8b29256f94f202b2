// Runs one operation of bench::MeterFixture a given number of times with
// callgrind collecting only inside that loop, so that the collected
// instruction count divided by the count is the cost of one operation.
// Outside valgrind it runs the same loop and checks the results.
//
//   valgrind --tool=callgrind --collect-atstart=no instruction_probe OP COUNT
#include <valgrind/callgrind.h>

#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include "bench/meter_fixture.h"

namespace {

using bench::MeterFixture;
using Operation = std::function<int(MeterFixture&)>;

enum class Stdout { Discard, Write };

struct Probe {
    Operation operation;
    int expected;   // what each call must return
    Stdout output;  // the round's line: dropped, or written to standard output
};

int loop_only(MeterFixture&) { return 0; }

int line_only(MeterFixture&)
{
    bench::diagnostic_line();
    return 0;
}

const std::map<std::string, Probe>& probes()
{
    // clang-format off
    static const std::map<std::string, Probe> table = {
        // The loop and the call through std::function, subtracted from the others.
        {"loop-overhead",         {loop_only,                               0, Stdout::Discard}},
        {"round",                 {&MeterFixture::polling_round,            0, Stdout::Discard}},
        {"round-with-stdout",     {&MeterFixture::polling_round,            0, Stdout::Write}},
        {"diagnostic-line",       {line_only,                               0, Stdout::Write}},
        {"snapshot-text",         {&MeterFixture::snapshot_text,            0, Stdout::Discard}},
        {"snapshot-text-rebuilt", {&MeterFixture::snapshot_text_rebuilt,    0, Stdout::Discard}},
        {"snapshot-address",      {&MeterFixture::snapshot_address,         0, Stdout::Discard}},
        {"write-register",        {&MeterFixture::write_register,           0, Stdout::Discard}},
        {"load-from-cache",       {&MeterFixture::load_from_cache,          1, Stdout::Discard}},
    };
    // clang-format on
    return table;
}

int usage()
{
    std::cerr << "usage: instruction_probe OPERATION COUNT\noperations:";
    for (const auto& entry : probes())
        std::cerr << ' ' << entry.first;
    std::cerr << '\n';
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3)
        return usage();
    const auto found = probes().find(argv[1]);
    const long count = std::strtol(argv[2], nullptr, 10);
    if (found == probes().end() || count <= 0)
        return usage();
    const Probe& probe = found->second;

    int failures = 0;
    {
        MeterFixture meter;
        std::unique_ptr<bench::DiscardStdout> quiet;
        if (probe.output == Stdout::Discard)
            quiet = std::make_unique<bench::DiscardStdout>();

        // One call outside the measured loop, so first-use costs stay out.
        failures += probe.operation(meter) != probe.expected;
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < count; ++i)
            failures += probe.operation(meter) != probe.expected;
        CALLGRIND_TOGGLE_COLLECT;
    }
    if (failures != 0) {
        std::cerr << "instruction_probe: " << argv[1] << " failed " << failures << " times\n";
        return 1;
    }
    return 0;
}
