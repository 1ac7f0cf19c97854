#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; the main tree configured with -DFUZZ=ON) in
# build-fuzz and runs each one from its seed corpus in fuzz/corpus/<target>/.
# Fails when a target crashes, leaks, times out or breaks an oracle; the
# input is written to <build>/artifacts/.
#
#   fuzz/run.sh [SECONDS]        smoke run: SECONDS per target (default 20),
#                                FUZZ_JOBS targets at a time (default: one per
#                                processor)
#   fuzz/run.sh --long N         long run: N executions per target, one target
#                                after the other (FUZZ_JOBS=2: two at a time),
#                                growing <build>/corpus/<target>/;
#                                FUZZ_MAX_SECONDS=S also stops each target after S seconds
#   FUZZ_TARGETS="print scenario" fuzz/run.sh ...   only these targets
#   FUZZ_BUILD=DIR fuzz/run.sh ...   build and run in DIR instead of build-fuzz
#                                (two long runs side by side, one per core; or a
#                                test build already configured with -DFUZZ=ON,
#                                as .ci/run does, which is only brought up to date)
#
# A smoke run starts from the seeds each time and leaves the tree as it was.
# A long run keeps what it found in <build>/corpus/; copy inputs worth
# keeping (a finding, a seed that reaches new code) into fuzz/corpus/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=smoke
seconds=20
runs=0
if [ "${1:-}" = "--long" ]; then
  mode=long
  runs=${2:?--long needs a number of executions}
elif [ -n "${1:-}" ]; then
  seconds=$1
fi

build=${FUZZ_BUILD:-build-fuzz}
if ! grep -qs '^FUZZ:BOOL=ON$' "$build/CMakeCache.txt"; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DSANITIZE=ON -DFUZZ=ON -DBUILD_EFI_IMAGE=OFF \
        -DFIRMWARE_TESTS=OFF > /dev/null
fi
cmake --build "$build" -j"$(nproc)" --target fuzz_targets
build=$(cd "$build" && pwd)

# Longest input per target: enough for its seeds and a few options or
# arguments more, short enough that each execution stays cheap.
declare -A max_len=([boot_scan]=2048 [change_boot]=1024 [eod_vars]=256 [print]=1024 [scenario]=8192
                  [whole_boot]=2048 [comm_region]=1024 [heap_hobs]=2048 [flash_map]=1024 [sfdp]=64
                  [firmware_info]=4200 [hii]=4096)
targets=${FUZZ_TARGETS:-boot_scan change_boot eod_vars print scenario whole_boot comm_region heap_hobs flash_map sfdp
         firmware_info hii}
mkdir -p "$build/artifacts"
# A smaller quarantine keeps the memory of ten targets' runs modest on a
# shared machine; use-after-free is still caught within it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

# One target's run; its output goes to <build>/fuzz_<t>.log, its exit status
# to <build>/fuzz_<t>.status.
run_target() {
  local t=$1 work status=0
  local args=(-max_len="${max_len[$t]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
              -artifact_prefix="$build/artifacts/$t-")
  if [ "$mode" = smoke ]; then
    work=$(mktemp -d)
    args+=(-max_total_time="$seconds" "$work")
  else
    work="$build/corpus/$t"
    mkdir -p "$work"
    args+=(-runs="$runs" "$work")
    if [ -n "${FUZZ_MAX_SECONDS:-}" ]; then args+=(-max_total_time="$FUZZ_MAX_SECONDS"); fi
  fi
  "$build/fuzz/fuzz_$t" "${args[@]}" "fuzz/corpus/$t" > "$build/fuzz_$t.log" 2>&1 || status=$?
  if [ "$mode" = smoke ]; then rm -rf "$work"; fi
  echo "$status" > "$build/fuzz_$t.status"
}

for t in $targets; do
  if [ -z "${max_len[$t]:-}" ]; then
    echo "unknown fuzz target $t (known: ${!max_len[*]})" >&2
    exit 2
  fi
done
jobs=1
if [ "$mode" = smoke ]; then jobs=$(nproc); fi
jobs=${FUZZ_JOBS:-$jobs}
echo "fuzz: $mode run, $jobs target(s) at a time"
running=0
for t in $targets; do
  rm -f "$build/fuzz_$t.status"
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait

failed=0
for t in $targets; do
  echo "== fuzz_$t ($mode)"
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" "$build/fuzz_$t.log" || true
  status=$(cat "$build/fuzz_$t.status" 2>/dev/null || echo "no status")
  if [ "$status" != 0 ]; then
    echo "fuzz_$t failed (status $status); log: $build/fuzz_$t.log" >&2
    grep -E "fuzz oracle|ERROR|SUMMARY|Test unit written|runtime error" "$build/fuzz_$t.log" | head -20 >&2
    failed=1
  fi
done
if [ "$failed" -ne 0 ]; then exit 1; fi
echo "all fuzz targets ran clean"
