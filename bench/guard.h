// The benchmarks' slowdown guard: a cost measured against a reference
// measured in the same process and run, so that the machine's speed and
// load cancel out, compared with the ratio stored in bench/guard_figures.txt.
// The guard fails when the ratio has more than doubled.
//
//   <benchmark> --guard FIGURES [--slowdown N]
//
// Each side is timed in thread CPU time, a few rounds in turn, and the
// fastest round of each counts: a round that the scheduler or another
// process slowed down only ever makes a side slower, never faster.
// --slowdown N repeats the measured work N times per unit, so that a
// planted regression shows the guard failing.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "sim/util/util.h"

namespace guard {

// The figures in the file are per build kind: sanitizers change the cost of
// the simulator and the engine far more than the cost of the references.
constexpr const char* kBuildKind = sim::kAddressSanitizer ? "sanitize" : "plain";

constexpr double kAllowedGrowth = 2.0;
constexpr int kRounds = 5;

struct Options {
  const char* figures = nullptr;  // set: run the guard instead of the benchmarks
  unsigned slowdown = 1;
};

// Takes --guard FILE and --slowdown N out of argv; the rest is left for
// Google Benchmark.
inline Options TakeOptions(int* argc, char** argv) {
  Options o;
  int kept = 1;
  for (int i = 1; i < *argc; ++i) {
    if (std::strcmp(argv[i], "--guard") == 0 && i + 1 < *argc) {
      o.figures = argv[++i];
    } else if (std::strcmp(argv[i], "--slowdown") == 0 && i + 1 < *argc) {
      o.slowdown = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
    } else {
      argv[kept++] = argv[i];
    }
  }
  *argc = kept;
  return o;
}

inline uint64_t ThreadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
}

// CPU time of one unit of `work` (which runs `units` units), the fastest of
// the rounds; `units` is grown first until a round takes about 20 ms.
class Side {
 public:
  explicit Side(std::function<void(unsigned units)> work) : work_(std::move(work)) {}
  void Calibrate() {
    for (;;) {
      const uint64_t start = ThreadCpuNs();
      work_(units_);
      const uint64_t ns = ThreadCpuNs() - start;
      if (ns >= 20000000 || units_ >= (1u << 24)) return;
      units_ = ns == 0 ? units_ * 16 : std::max(units_ + 1, static_cast<unsigned>(units_ * 22000000.0 / ns));
    }
  }
  void Round() {
    const uint64_t start = ThreadCpuNs();
    work_(units_);
    best_ = std::min(best_, static_cast<double>(ThreadCpuNs() - start) / units_);
  }
  double NsPerUnit() const { return best_; }

 private:
  std::function<void(unsigned)> work_;
  unsigned units_ = 1;
  double best_ = 1e300;
};

// Reads "<name>.<build kind> <ratio>" from the figures file; 0 when absent.
inline double StoredFigure(const char* path, const std::string& name) {
  std::ifstream in(path);
  std::string line;
  const std::string key = name + "." + kBuildKind;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string k;
    double v = 0;
    if (fields >> k >> v && k == key) return v;
  }
  return 0;
}

// Times both sides in turn and compares their ratio with the stored one.
// Returns the exit status: 0 within the allowed growth, 1 beyond it or
// without a stored figure.
inline int Check(const Options& o, const std::string& name, const char* measuredName, Side measured,
                 const char* referenceName, Side reference) {
  measured.Calibrate();
  reference.Calibrate();
  for (int i = 0; i < kRounds; ++i) {
    measured.Round();
    reference.Round();
  }
  const double ratio = measured.NsPerUnit() / reference.NsPerUnit();
  const double stored = StoredFigure(o.figures, name);
  std::printf("%s (%s build): %s %.1f ns, %s %.1f ns: ratio %.3f; stored %.3f, limit %.3f%s\n", name.c_str(),
              kBuildKind, measuredName, measured.NsPerUnit(), referenceName, reference.NsPerUnit(), ratio,
              stored, stored * kAllowedGrowth, o.slowdown > 1 ? " (planted slowdown)" : "");
  if (stored <= 0) {
    std::printf("%s: no figure \"%s.%s\" in %s\n", name.c_str(), name.c_str(), kBuildKind, o.figures);
    return 1;
  }
  if (ratio > stored * kAllowedGrowth) {
    std::printf("%s: FAILED: the ratio grew %.2f times, more than %.1f times\n", name.c_str(), ratio / stored,
                kAllowedGrowth);
    return 1;
  }
  std::printf("%s: passed (%.2f times the stored ratio)\n", name.c_str(), ratio / stored);
  return 0;
}

}  // namespace guard
