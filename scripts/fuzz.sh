#!/usr/bin/env bash
# Builds the libFuzzer target for the receive path (fuzz/) with clang and
# runs it for the given number of seconds on a copy of the seed corpus.
# Prints how many inputs ran; exits non-zero when the run found a crash, a
# sanitizer report, a leak, a hang or a wrong row or reply. The input that
# did it is kept in build-fuzz/fuzz-artifacts/.
#
#   scripts/fuzz.sh [seconds]        (default 300)
#
# KORVANE_FUZZ_BUILD overrides the build folder (default build-fuzz).
set -euo pipefail

seconds=${1:-300}
case "$seconds" in
    '' | *[!0-9]* | 0) echo "usage: $0 [seconds > 0]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_FUZZ_BUILD:-$root/build-fuzz}
case "$build" in /*) ;; *) build=$root/$build ;; esac

KORVANE_DEPS_EXTRA="clang libclang-rt-14-dev" "$root/scripts/install-deps.sh"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_FUZZ=ON >/dev/null
cmake --build "$build" --target korvane_fuzz

run=$build/fuzz-run
artifacts=$build/fuzz-artifacts
rm -rf "$run"
mkdir -p "$run" "$artifacts"
cp -r "$root/fuzz/corpus" "$run/corpus"
before=$(find "$artifacts" -type f | wc -l)

# The window's log lives in memory, in a folder that goes away with the run
# however the run ends.
scratch=$(mktemp -d -p /dev/shm korvane-fuzz-run.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "Fuzzing the receive path for $seconds s (log: $run/fuzz.log)"
status=0
TMPDIR="$scratch" \
LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    "$build/fuzz/korvane_fuzz" \
    -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$run/corpus" >"$run/fuzz.log" 2>&1 || status=$?

execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log" | tail -n 1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$run/fuzz.log" | tail -n 1)
after=$(find "$artifacts" -type f | wc -l)

if [ "$status" -ne 0 ] || [ "$after" -ne "$before" ] || [ -z "$execs" ]; then
    tail -n 60 "$run/fuzz.log" >&2
    echo "fuzz: FAILED (exit status $status) after ${execs:-an unknown number of} executions;" \
         "inputs kept in $artifacts/" >&2
    exit 1
fi
echo "fuzz: $execs executions in $seconds s ($rate per second), no failure"
