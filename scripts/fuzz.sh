#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into fuzz-build/ and runs each, one after another,
# for a bounded time on a copy of its seed corpus, so the inputs it finds do not land in the
# repository. A run goes on after a finding (libFuzzer's fork mode), so one fault does not end
# the search for others. Exits non-zero when a target found a crash or a broken invariant; the
# inputs are kept in fuzz-build/crashes/<target>/, each replayed once to print what it breaks.
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
targets=(fuzz_receive fuzz_decoder fuzz_driver)
cmake --build "$build" -j2 --target "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/kuvel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The receive path needs streams longer than the 256-byte buffer to reach its wrap-around; the
# decoder looks at 256 bytes only; a driver script of 16 operations fits in 512.
declare -A maxLen=([fuzz_receive]=1024 [fuzz_decoder]=300 [fuzz_driver]=512)
declare -A seeds=([fuzz_receive]=corpus [fuzz_decoder]=corpus [fuzz_driver]=corpus-driver)

failed=0
for target in "${targets[@]}"; do
    corpus=$work/$target
    cp -r "tests/fuzz/${seeds[$target]}" "$corpus"
    crashes=$build/crashes/$target
    mkdir -p "$crashes"
    log=$build/$target.log
    echo "== $target, $seconds s"
    # Earlier findings stay; only the inputs of this run are reported.
    marker=$work/$target.start
    touch "$marker"
    rc=0
    "$build/$target" "$corpus" -fork=1 -ignore_crashes=1 -max_total_time="$seconds" \
        -max_len="${maxLen[$target]}" -dict=tests/fuzz/star.dict -timeout=10 \
        -artifact_prefix="$crashes/" >"$log" 2>&1 || rc=$?

    # The fork mode's progress lines: "#runs: cov: N ft: N corp: N exec/s N ... time: Ns".
    last=$(grep -E '^#[0-9]+: cov:' "$log" | tail -n 1 || true)
    runs=$(sed -n 's/^#\([0-9]*\):.*/\1/p' <<<"$last")
    speed=$(sed -n 's/.* exec\/s \([0-9]*\).*/\1/p' <<<"$last")
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    units=$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")
    echo "   runs ${runs:-?}, ${speed:-?} execs/s, coverage ${cov:-?} points, ${ft:-?} features," \
        "corpus ${units:-?} inputs (from $(ls "tests/fuzz/${seeds[$target]}" | wc -l) seeds)"
    found=$(find "$crashes" -type f -newer "$marker" | sort)
    if ((rc != 0)) || [[ -n "$found" ]]; then
        failed=1
        echo "   FAILED (exit $rc), log: $log"
        declare -A seen=()
        while IFS= read -r input; do
            [[ -n "$input" ]] || continue
            what=$("$build/$target" "$input" 2>&1 \
                | grep -m 1 -E 'broken invariant|ERROR: AddressSanitizer|runtime error|ERROR: libFuzzer' \
                | sed 's/^==[0-9]*==//' || true)
            if [[ -z "${seen[$what]:-}" ]]; then
                seen[$what]=1
                echo "   finding:    ${what:-(does not replay)}"
                echo "   replay:     $build/$target $input"
            fi
        done <<<"$found"
        echo "   $(wc -l <<<"$found") inputs kept in $crashes;" \
            "to replay one in ./test.sh: cp it to tests/fuzz/crashes/"
        unset seen
    fi
done
exit $failed
