// The hot paths that must not touch the heap: a polling round, a cached
// record's round, and request 803. Counted with the same malloc hook the
// benchmarks report with, which first has to prove that it sees the
// module's allocations at all.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "bench/alloc_counter.h"
#include "bench/meter_fixture.h"

namespace {

std::uint64_t allocations_during(const std::function<void()>& work)
{
    const std::uint64_t before = bench::heap_allocations();
    work();
    return bench::heap_allocations() - before;
}

TEST(HotPathAllocations, CounterSeesAllocationsInsideTheModule)
{
    bench::MeterFixture meter;
    // Request 801 writes its text through jsoncpp into strings of the module.
    EXPECT_GT(allocations_during([&] { meter.snapshot_text(); }), 0u);
}

TEST(HotPathAllocations, NoneInRoundsOrRequest803)
{
    bench::MeterFixture meter;
    bench::DiscardStdout quiet;
    struct Case {
        const char* what;
        std::function<int()> operation;
        int expected;
    };
    const Case cases[] = {
        {"polling round", [&] { return meter.polling_round(); }, 0},
        {"cached record", [&] { return meter.load_from_cache(); }, 1},
        {"request 803", [&] { return meter.snapshot_address(); }, 0},
    };
    for (const Case& c : cases) {
        // One call first: the first 803 after the rounds rebuilds the snapshot.
        int failures = c.operation() != c.expected;
        const std::uint64_t made = allocations_during([&] {
            for (int i = 0; i < 100; ++i)
                failures += c.operation() != c.expected;
        });
        EXPECT_EQ(failures, 0) << c.what;
        EXPECT_EQ(made, 0u) << c.what;
    }
}

}  // namespace
