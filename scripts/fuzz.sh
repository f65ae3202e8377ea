#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each on a copy of
# its seed corpus, sharing the given number of seconds: the receive path
# gets half, the simulator's log reader and korvane-cli's request reader a
# quarter each. Prints how many
# inputs ran; exits non-zero when a run found a crash, a sanitizer report, a
# leak, a hang or a wrong result. The input that did it is kept in
# build-fuzz/fuzz-artifacts/.
#
#   scripts/fuzz.sh [seconds]        (default 300)
#
# KORVANE_FUZZ_BUILD overrides the build folder (default build-fuzz).
set -euo pipefail

seconds=${1:-300}
case "$seconds" in
    '' | *[!0-9]* | 0) echo "usage: $0 [seconds > 0]" >&2; exit 2 ;;
esac
receiveSeconds=$(( (seconds + 1) / 2 ))
logSeconds=$(( (seconds - receiveSeconds + 1) / 2 ))
requestSeconds=$(( seconds - receiveSeconds - logSeconds ))
[ "$logSeconds" -gt 0 ] || logSeconds=1
[ "$requestSeconds" -gt 0 ] || requestSeconds=1

root=$(cd "$(dirname "$0")/.." && pwd)
build=${KORVANE_FUZZ_BUILD:-$root/build-fuzz}
case "$build" in /*) ;; *) build=$root/$build ;; esac

KORVANE_DEPS_EXTRA="clang libclang-rt-14-dev" "$root/scripts/install-deps.sh"

CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_FUZZ=ON >/dev/null
cmake --build "$build" --target korvane_fuzz korvane_fuzz_log korvane_fuzz_request

artifacts=$build/fuzz-artifacts
mkdir -p "$artifacts"

# The window's log lives in memory, in a folder that goes away with the run
# however the run ends.
scratch=$(mktemp -d -p /dev/shm korvane-fuzz-run.XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# fuzz_one WHAT TARGET CORPUS MAX_LEN SECONDS
fuzz_one() {
    local what=$1 target=$2 corpus=$3 maxLen=$4 secs=$5
    local run=$build/fuzz-run/$target
    rm -rf "$run"
    mkdir -p "$run"
    cp -r "$root/fuzz/$corpus" "$run/corpus"
    local before after status=0 execs rate
    before=$(find "$artifacts" -type f | wc -l)

    echo "Fuzzing the $what for $secs s (log: $run/fuzz.log)"
    TMPDIR="$scratch" \
    LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
        "$build/fuzz/$target" \
        -max_total_time="$secs" -max_len="$maxLen" -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$run/corpus" >"$run/fuzz.log" 2>&1 || status=$?

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/fuzz.log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$run/fuzz.log" | tail -n 1)
    after=$(find "$artifacts" -type f | wc -l)

    if [ "$status" -ne 0 ] || [ "$after" -ne "$before" ] || [ -z "$execs" ]; then
        tail -n 60 "$run/fuzz.log" >&2
        echo "fuzz: $what FAILED (exit status $status) after ${execs:-an unknown number of} executions;" \
             "inputs kept in $artifacts/" >&2
        return 1
    fi
    echo "fuzz: $what: $execs executions in $secs s ($rate per second), no failure"
}

# Log lines longer than any row (814 bytes) must come up too.
fuzz_one "receive path" korvane_fuzz corpus 1024 "$receiveSeconds"
fuzz_one "log reader" korvane_fuzz_log logcorpus 4096 "$logSeconds"
fuzz_one "request reader" korvane_fuzz_request requestcorpus 2048 "$requestSeconds"
