#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into fuzz-build/ and runs each for a bounded time on
# a copy of the seed corpus, so the inputs it finds do not land in the repository.
# Exits non-zero when a target finds a crash or a broken invariant; the input is kept in
# fuzz-build/crashes/<target>/ and the command that replays it is printed.
# Usage: scripts/fuzz.sh [seconds per target, default 60]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || ((seconds == 0)); then
    echo "usage: $0 [seconds per target, default 60]" >&2
    exit 2
fi

root=$PWD
build=$root/fuzz-build
scripts/deps.sh fuzz
cmake -S tests/fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_receive fuzz_decoder

work=$(mktemp -d "${TMPDIR:-/tmp}/kuvel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The receive path needs streams longer than the 256-byte buffer to reach its wrap-around; the
# decoder looks at 256 bytes only.
declare -A maxLen=([fuzz_receive]=1024 [fuzz_decoder]=300)

failed=0
for target in fuzz_receive fuzz_decoder; do
    corpus=$work/$target
    cp -r tests/fuzz/corpus "$corpus"
    crashes=$build/crashes/$target
    mkdir -p "$crashes"
    log=$build/$target.log
    echo "== $target, $seconds s"
    # Earlier findings stay; only the inputs of this run are reported.
    marker=$work/$target.start
    touch "$marker"
    rc=0
    "$build/$target" "$corpus" -max_total_time="$seconds" -max_len="${maxLen[$target]}" \
        -dict=tests/fuzz/star.dict -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$crashes/" >"$log" 2>&1 || rc=$?

    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    units=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
    echo "   runs ${runs:-?}, ${speed:-?} execs/s, coverage ${cov:-?} points, ${ft:-?} features," \
        "corpus ${units:-?} inputs (from $(ls tests/fuzz/corpus | wc -l) seeds)"
    if ((rc != 0)); then
        failed=1
        echo "   FAILED (exit $rc), log: $log"
        grep -E 'ERROR: |broken invariant|runtime error' "$log" | head -n 5 | sed 's/^/   /' || true
        while IFS= read -r input; do
            echo "   input kept: $input"
            echo "   replay:     $build/$target $input"
        done < <(find "$crashes" -type f -newer "$marker")
        echo "   to replay it in ./test.sh: cp the input to tests/fuzz/crashes/"
    fi
done
exit $failed
