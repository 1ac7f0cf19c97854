// Whole simulated boots per second, in-process on one core.
//
// The steady-state boot is the built-in ordinary-boot scenario after its first
// boot took the change-boot request and warm-reset, and its second handed the
// lid flag over: no request pending, the EC answering, BootNext chosen by a
// scan of BootOrder (and consumed by the boot manager, so every later boot
// repeats the same work). Each iteration is one such boot: a fresh driver
// image, DriverEntry, End-of-DXE, ready-to-lock, the boot manager,
// ready-to-boot and exit-boot-services. The trace is recorded as in any boot
// and dropped between iterations without being printed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

#include "sim/platform.h"
#include "tools/simboot/default_scenario.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/scenario.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "boots_bench: %s\n", what);
  std::exit(1);
}

void SteadyStateBoot(benchmark::State& state) {
  const simboot::Scenario scenario =
      simboot::ParseScenario(simboot::kDefaultScenario, simboot::kDefaultScenarioName);
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  simboot::NotebookRun run(scenario);
  // Boot 1 warm-resets after taking the request; boot 2 settles.
  if (run.Run(image, 8).size() != 2) Fail("the ordinary boot did not settle in two boots");
  // Before timing: a steady-state boot ends without a reset, writes BootNext
  // once and boots the USB option through it.
  const uint64_t nvBefore = run.platform.counters.nvWrites;
  const sim::BootOutcome check = run.platform.RunBoot(image);
  if (check.reset || !check.booted || *check.booted != 0x0001 ||
      run.platform.counters.nvWrites != nvBefore + 1 || !run.platform.violations.empty()) {
    Fail("the steady-state boot did not do what it should");
  }
  for (auto _ : state) {
    run.platform.trace.clear();
    const sim::BootOutcome outcome = run.platform.RunBoot(image);
    benchmark::DoNotOptimize(outcome.booted);
  }
  state.counters["boots/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(SteadyStateBoot)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
