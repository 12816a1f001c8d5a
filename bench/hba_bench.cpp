// The benchmark figures: bus efficiency, concurrency across disks, the
// driver's cost per request, and the simulator's own speed. Each reports its
// figure as a counter; bench/run prints them beside their goals.
#include <benchmark/benchmark.h>

#include "rig.h"
#include "linked_driver.h"
#include "loader/emulated_driver.h"
#include "workload/hostile_input.h"

namespace {

using benchmark::Counter;

void require_clean(benchmark::State& state, const sim::workload::Results& r, const sim::Machine& m)
{
    if (!r.clean() || !m.errors().empty())
        state.SkipWithError("the workload did not run clean");
}

// 64 KiB sequential reads from four tagged disks whose media outrun the bus,
// at the agreed 10 MB/s: the share of the bus limit that is data. Argument 1:
// the port driver takes the driver's NextLuRequest for NextRequest only, as
// if the driver never said it, so each LU gets one request at a time.
void BusEfficiency(benchmark::State& state)
{
    sim::PortDriver::Lenient lenient;
    lenient.ignore_next_lu_request = state.range(0) != 0;
    double share = 0, busy = 0, next_lu = 0;
    for (auto _ : state) {
        bench::Rig rig(4, true, {}, nullptr, lenient);
        const auto r = rig.run(bench::reads(64 * 1024, false, 4, 100, true));
        require_clean(state, r, rig.machine());
        share = r.adapters.at(0).bus_share;
        busy = r.adapters.at(0).bus_busy;
        next_lu = static_cast<double>(rig.machine().port_driver().adapter(0).next_lu_requests);
    }
    state.counters["bus_share"] = share;
    state.counters["bus_busy"] = busy;
    state.counters["next_lu_requests"] = next_lu;
}
BENCHMARK(BusEfficiency)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// 4 KiB random reads from disks with seek and rotation, one outstanding per
// disk: four disks against one. The driver must overlap the disks' seeks.
// Argument 1: NextLuRequest taken for NextRequest only, as above.
void Concurrency(benchmark::State& state)
{
    sim::PortDriver::Lenient lenient;
    lenient.ignore_next_lu_request = state.range(0) != 0;
    const bench::DiskModel media{.track_seek = 500 * sim::kMicrosecond,
                                 .full_seek = 12 * sim::kMillisecond,
                                 .revolution = 8 * sim::kMillisecond};
    double one = 0, four = 0;
    for (auto _ : state) {
        bench::Rig single(1, true, media, nullptr, lenient);
        const auto r1 = single.run(bench::reads(4096, true, 1, 1000, true));
        bench::Rig quad(4, true, media, nullptr, lenient);
        const auto r4 = quad.run(bench::reads(4096, true, 1, 1000, true));
        require_clean(state, r1, single.machine());
        require_clean(state, r4, quad.machine());
        one = r1.total.iops;
        four = r4.total.iops;
    }
    state.counters["iops_one_disk"] = one;
    state.counters["iops_four_disks"] = four;
    state.counters["ratio"] = one > 0 ? four / one : 0;
}
BENCHMARK(Concurrency)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// One 4 KiB read at a time from one disk, untagged (0) and tagged (1).
void DriverCost(benchmark::State& state)
{
    const bool tagged = state.range(0) != 0;
    double interrupts = 0, accesses = 0;
    for (auto _ : state) {
        bench::Rig rig(1, tagged);
        const auto r = rig.run(bench::reads(4096, true, 1, 1000, false));
        require_clean(state, r, rig.machine());
        interrupts = r.adapters.at(0).interrupts_per_request;
        accesses = r.port_accesses_per_request;
    }
    state.counters["interrupts_per_request"] = interrupts;
    state.counters["port_accesses_per_request"] = accesses;
}
BENCHMARK(DriverCost)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(1);

// Simulated requests per host second: random reads of the given size from
// four tagged disks, four outstanding each, every byte verified; through the
// linked-in driver, or through `driver`.
void MeasureReads(benchmark::State& state, sim::Miniport* driver)
{
    const auto size = static_cast<uint32_t>(state.range(0));
    uint64_t requests = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bench::Rig rig(4, true, {}, driver);
        state.ResumeTiming();
        const auto r = rig.run(bench::reads(size, true, 4, 5000, true));
        state.PauseTiming();
        require_clean(state, r, rig.machine());
        requests += r.total.requests;
        state.ResumeTiming();
    }
    state.counters["requests_per_second"] = Counter(static_cast<double>(requests), Counter::kIsRate);
}

void SimulatorSpeed(benchmark::State& state)
{
    MeasureReads(state, nullptr);
}
BENCHMARK(SimulatorSpeed)->Arg(512)->Arg(4096)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// The same through the kernel image on the emulated i386 processor, with the
// deepest stack use of each routine it ran.
void ImageSpeed(benchmark::State& state)
{
    std::string error;
    const auto driver = sim::loader::EmulatedDriver::open_file(HBA_SYS_PATH, {}, error);
    if (!driver) {
        state.SkipWithError(error.c_str());
        return;
    }
    MeasureReads(state, driver.get());
    state.counters["stack_deepest"] = driver->deepest_stack();
    for (const auto& use : driver->stack_use())
        if (use.calls)
            state.counters[std::string("stack_") + use.routine] = use.deepest;
}
BENCHMARK(ImageSpeed)->Arg(512)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// One fault fuzzer execution without the fuzzer: a fresh machine booted, its
// buses scanned, a short hostile campaign and its clean phase. The corpus's
// first seed input; split into boot and campaign by the second benchmark.
void HostileRun(benchmark::State& state)
{
    const std::vector<uint8_t> input = {7, 20, 40, 3, 1, 10, 4, 0xff, 0xff, 0x1f, 16, 8, 50, 2, 1, 9};
    for (auto _ : state) {
        const auto run = sim::workload::run_hostile_input(input, hba::linked_driver());
        if (!run.sound())
            state.SkipWithError("the hostile run did not end sound");
    }
}
BENCHMARK(HostileRun)->Unit(benchmark::kMillisecond);

// A boot of the default machine (0: mechanism #1 only, the whole PCI space
// scanned) and of one whose host bridge also answers mechanism #2 (1: the
// adapter is found under #2 first, and seen again early under #1).
void Boot(benchmark::State& state)
{
    sim::MachineConfig config = sim::default_machine_config();
    config.mechanism2 = state.range(0) != 0;
    for (auto _ : state) {
        sim::Machine machine(config);
        benchmark::DoNotOptimize(machine.boot(hba::linked_driver()));
    }
}
BENCHMARK(Boot)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
