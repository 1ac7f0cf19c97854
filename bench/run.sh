#!/usr/bin/env bash
# Builds the benchmarks (Release, no sanitizers, in build-bench) and runs them,
# then prints each print format's median time for the engine and for glibc
# snprintf, measured in the same run, and their ratio (ours / glibc); then the
# steady-state simulated boots per second against the 20,000 aimed at, and
# the firmware time that boot costs by kind.
#
#   bash bench/run.sh [REPETITIONS] [extra Google Benchmark flags...]
#
# REPETITIONS defaults to 10, each running at least 0.2 s; the medians over
# the repetitions (CPU time) are reported. About two minutes on an idle
# 2-core machine. The raw results are in build-bench/print_bench.json and
# build-bench/boots_bench.json.
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-10}
[ $# -gt 0 ] && shift
mkdir -p build-bench
{ cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DSANITIZE=OFF -DBUILD_EFI_IMAGE=OFF -DFIRMWARE_TESTS=OFF &&
  cmake --build build-bench --target print_bench boots_bench simboot -j2; } >build-bench/build.log 2>&1 || { cat build-bench/build.log; exit 1; }
out=build-bench/print_bench.json
load=$(cut -d' ' -f1-3 /proc/loadavg)
build-bench/bench/print_bench --benchmark_repetitions="$reps" --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json "$@" \
  >build-bench/print_bench.log 2>&1 || { cat build-bench/print_bench.log; exit 1; }
echo "print engine against glibc snprintf: $reps repetitions, load average before the run $load"
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
median = {}
for r in runs:
    if r.get("aggregate_name") == "median":
        median[r["run_name"]] = r["cpu_time"] if r["time_unit"] == "ns" else None
formats = []
for name in median:
    parts = name.split("/")
    if len(parts) == 3 and parts[0] == "Print" and parts[1] not in formats:
        formats.append(parts[1])
print(f"{'format':<20} {'ours ns':>9} {'glibc ns':>9} {'ours/glibc':>10}")
above = []
for f in formats:
    ours, glibc = median.get(f"Print/{f}/ours"), median.get(f"Print/{f}/glibc")
    if ours is None or glibc is None:
        print(f"{f:<20} missing")
        continue
    ratio = ours / glibc
    if ratio > 1.0:
        above.append(f)
    print(f"{f:<20} {ours:9.1f} {glibc:9.1f} {ratio:10.2f}")
print("medians of the repetitions; " +
      ("every format at or below glibc" if not above else "above glibc: " + ", ".join(above)))
PY

out=build-bench/boots_bench.json
build-bench/bench/boots_bench --benchmark_repetitions="$reps" --benchmark_min_time=0.2 \
  --benchmark_report_aggregates_only=true --benchmark_out="$out" --benchmark_out_format=json "$@" \
  >build-bench/boots_bench.log 2>&1 || { cat build-bench/boots_bench.log; exit 1; }
echo
echo "steady-state simulated boots, in-process on one core: $reps repetitions"
python3 - "$out" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["benchmarks"]
for r in runs:
    if r.get("aggregate_name") == "median":
        per_s = 1e6 / r["cpu_time"] if r["time_unit"] == "us" else None
        print(f"median {r['cpu_time']:.1f} us a boot: {per_s:,.0f} boots/s, "
              f"{per_s / 20000:.2f} x the 20,000 boots/s aimed at")
PY
echo
echo "firmware time of the steady-state boot (the built-in ordinary boot run on from the state it settles in):"
build-bench/simboot --quiet --write-state build-bench/steady-state.json >/dev/null
build-bench/simboot --quiet build-bench/steady-state.json | sed -n '/^Firmware time/,$p'
