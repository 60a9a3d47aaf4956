#!/usr/bin/env bash
# Builds the fuzz targets into build-fuzz/ and runs each for the given time.
#   fuzz/run.sh <seconds> [target...]     (default: every target)
# Each target keeps its corpus in build-fuzz/fuzz/corpus/<target>, starting
# from the seeds in fuzz/corpus/<target>. Any finding (crash, broken
# invariant, leak, timeout) stops the run with a non-zero status; the input
# that caused it is saved in build-fuzz/fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."

ALL=(fuzz_console fuzz_shield fuzz_udp_framing fuzz_hex fuzz_sipconfig fuzz_sipevents)
if [ "${1:-}" = "--list" ]; then
    echo "${ALL[*]}"
    exit 0
fi
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
    echo "usage: fuzz/run.sh <seconds> [${ALL[*]}]" >&2
    exit 2
fi
seconds=$1
shift
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${ALL[@]}")

BUILD=${FUZZ_BUILD_DIR:-build-fuzz}
CC=${FUZZ_CC:-clang} CXX=${FUZZ_CXX:-clang++} \
    cmake -S . -B "$BUILD" -DTMX_FUZZ=ON -DTMX_BUILD_TESTS=OFF -DTMX_WERROR=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target "${targets[@]}"

for t in "${targets[@]}"; do
    corpus=$BUILD/fuzz/corpus/$t
    findings=$BUILD/fuzz/findings/$t
    mkdir -p "$corpus" "$findings"
    args=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
          -artifact_prefix="$findings/")
    [ -f "fuzz/$t.dict" ] && args+=(-dict="fuzz/$t.dict")
    echo "fuzz: $t for ${seconds}s" >&2
    log=$BUILD/fuzz/$t.log
    if ! "$BUILD/fuzz/$t" "${args[@]}" "$corpus" "fuzz/corpus/$t" 2>"$log"; then
        tail -n 60 "$log" >&2
        echo "fuzz: $t found a problem; the input is in $findings/ (full log: $log)" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz: $t ran ${runs:-?} inputs without a finding" >&2
done
