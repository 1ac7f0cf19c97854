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
//
// With --guard FIGURES (bench/guard.h) it checks instead that a boot costs
// at most twice the stored multiple of a fixed reference workload.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/guard.h"
#include "sim/platform.h"
#include "tools/simboot/default_scenario.h"
#include "tools/simboot/notebook_run.h"
#include "tools/simboot/scenario.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "boots_bench: %s\n", what);
  std::exit(1);
}

// The default scenario run on to its steady state, checked.
void Settle(simboot::NotebookRun& run, sim::DriverImage& image) {
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
}

void SteadyStateBoot(benchmark::State& state) {
  const simboot::Scenario scenario =
      simboot::ParseScenario(simboot::kDefaultScenario, simboot::kDefaultScenarioName);
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  simboot::NotebookRun run(scenario);
  Settle(run, image);
  for (auto _ : state) {
    run.platform.trace.clear();
    const sim::BootOutcome outcome = run.platform.RunBoot(image);
    benchmark::DoNotOptimize(outcome.booted);
  }
  state.counters["boots/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(SteadyStateBoot)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

volatile uint64_t gSink;

// The yardstick: a fixed piece of the kind of work a simulated boot does
// (a map of formatted strings, a buffer filled and folded), so that what
// makes the host faster or slower at the one does so at the other too.
void ReferenceUnit() {
  std::map<uint32_t, std::string> table;
  std::vector<uint8_t> buffer(2048);
  uint64_t acc = 0;
  for (uint32_t i = 0; i < 48; ++i) {
    char text[40];
    std::snprintf(text, sizeof text, "record %08X", i * 2654435761u);
    table[(i * 7919u) % 509u] = text;
  }
  for (const auto& [key, value] : table) acc += key * value.size() + static_cast<uint8_t>(value[8]);
  std::memset(buffer.data(), static_cast<int>(acc & 0xFF), buffer.size());
  for (const uint8_t b : buffer) acc = ((acc << 1) | (acc >> 63)) ^ b;
  gSink = acc;
}

int Guard(const guard::Options& options) {
  const simboot::Scenario scenario =
      simboot::ParseScenario(simboot::kDefaultScenario, simboot::kDefaultScenarioName);
  sim::DriverImage image(sim::DriverImage::DefaultPath());
  simboot::NotebookRun run(scenario);
  Settle(run, image);
  guard::Side boots([&](unsigned units) {
    for (unsigned i = 0; i < units * options.slowdown; ++i) {
      run.platform.trace.clear();
      benchmark::DoNotOptimize(run.platform.RunBoot(image).booted);
    }
  });
  guard::Side reference([](unsigned units) {
    for (unsigned i = 0; i < units; ++i) ReferenceUnit();
  });
  return guard::Check(options, "boots", "steady-state boot", std::move(boots), "reference unit",
                      std::move(reference));
}

}  // namespace

int main(int argc, char** argv) {
  const guard::Options options = guard::TakeOptions(&argc, argv);
  if (options.figures) return Guard(options);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
