// Time and heap allocations per operation of the module's hot paths, each
// measured as the host calls it, with the host's back-ends doing no work.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "bench/alloc_counter.h"
#include "bench/meter_fixture.h"

namespace {

// Runs `operation` once per iteration and reports, next to the time, the
// heap allocations it made on average.
template <typename Operation>
void measure(benchmark::State& state, Operation operation)
{
    const std::uint64_t before = bench::heap_allocations();
    for (auto _ : state)
        benchmark::DoNotOptimize(operation());
    const auto made = static_cast<double>(bench::heap_allocations() - before);
    state.counters["allocs"] = benchmark::Counter(made, benchmark::Counter::kAvgIterations);
}

// Reports the fastest repetition next to the mean and median: on a shared
// machine it is the figure least disturbed by other work.
void with_minimum(benchmark::internal::Benchmark* benchmark)
{
    benchmark->ComputeStatistics("min", [](const std::vector<double>& values) {
        return *std::min_element(values.begin(), values.end());
    });
}

// The round's own work: its diagnostic line is formatted but not written.
void BM_PollingRound(benchmark::State& state)
{
    bench::MeterFixture meter;
    bench::DiscardStdout quiet;
    measure(state, [&] { return meter.polling_round(); });
}
BENCHMARK(BM_PollingRound)->Apply(with_minimum);

// The same round with its line written to standard output (/dev/null).
void BM_PollingRoundWithStdout(benchmark::State& state)
{
    bench::MeterFixture meter;
    bench::StdoutToDevNull devnull;
    measure(state, [&] { return meter.polling_round(); });
}
BENCHMARK(BM_PollingRoundWithStdout)->Apply(with_minimum);

// The diagnostic line alone, written to standard output (/dev/null).
void BM_DiagnosticLine(benchmark::State& state)
{
    bench::StdoutToDevNull devnull;
    measure(state, [] {
        bench::diagnostic_line();
        return 0;
    });
}
BENCHMARK(BM_DiagnosticLine)->Apply(with_minimum);

void BM_SnapshotText(benchmark::State& state)
{
    bench::MeterFixture meter;
    measure(state, [&] { return meter.snapshot_text(); });
}
BENCHMARK(BM_SnapshotText)->Apply(with_minimum);

void BM_SnapshotTextRebuilt(benchmark::State& state)
{
    bench::MeterFixture meter;
    measure(state, [&] { return meter.snapshot_text_rebuilt(); });
}
BENCHMARK(BM_SnapshotTextRebuilt)->Apply(with_minimum);

void BM_SnapshotAddress(benchmark::State& state)
{
    bench::MeterFixture meter;
    measure(state, [&] { return meter.snapshot_address(); });
}
BENCHMARK(BM_SnapshotAddress)->Apply(with_minimum);

void BM_WriteRegister(benchmark::State& state)
{
    bench::MeterFixture meter;
    measure(state, [&] { return meter.write_register(); });
}
BENCHMARK(BM_WriteRegister)->Apply(with_minimum);

// The host's share of BM_WriteRegister: the request it queues for the line.
void BM_HostWriteRegister(benchmark::State& state)
{
    bench::MeterFixture meter;
    measure(state, [&] { return meter.host_write_register(); });
}
BENCHMARK(BM_HostWriteRegister)->Apply(with_minimum);

void BM_LoadFromCache(benchmark::State& state)
{
    bench::MeterFixture meter;
    bench::DiscardStdout quiet;
    measure(state, [&] { return meter.load_from_cache(); });
}
BENCHMARK(BM_LoadFromCache)->Apply(with_minimum);

}  // namespace

BENCHMARK_MAIN();
