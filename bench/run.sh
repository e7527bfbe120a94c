#!/usr/bin/env bash
# Builds the benchmarks in Release in their own build directory (build-bench), runs each of
# them against the simulated counter and prints one table of figures (median over repeated
# runs, with the spread of the runs). The benchmarks' own reports go to build-bench/logs/.
# Usage: bench/run.sh [names...]   e.g. bench/run.sh bench_codec bench_wait
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh bench
dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKUVEL_BENCH=ON >/dev/null
# Only the benchmarks named, when some are: the machine may be shared.
if [[ $# -gt 0 ]]; then
    cmake --build "$dir" -j2 --target "$@"
else
    cmake --build "$dir" -j2 --target benchmarks
fi

export QT_QPA_PLATFORM=offscreen
export QT_LOGGING_RULES="*.debug=false"
mkdir -p "$dir/logs"

names=("$@")
[[ ${#names[@]} -eq 0 ]] && names=(bench_codec bench_wait bench_fit bench_roundtrip bench_tcp bench_server bench_tango bench_scan bench_startup bench_trend)

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
rows=()
failed=0
for name in "${names[@]}"; do
    exe="$dir/bench/$name"
    if [[ ! -x "$exe" ]]; then
        echo "-- $name: not built here (see the cmake output), skipped" >&2
        continue
    fi
    echo "-- running $name" >&2
    if ! out=$("$exe" 2>"$dir/logs/$name.log"); then
        echo "-- $name failed, see $dir/logs/$name.log" >&2
        failed=1
    fi
    while IFS= read -r line; do
        [[ $line == ROW$'\t'* ]] && rows+=("${line#ROW$'\t'}")
    done <<<"$out"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo
echo "Kuvel Counter benchmarks, $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "Machine: $(nproc) CPUs, $(lscpu | sed -n 's/^Model name: *//p' | head -n1)"
echo "Load average (1, 5, 15 min): $load_before before, $load_after after"
echo
echo "| bench | figure | median | spread (min-max of runs) | baseline | ratio | goal | met |"
echo "|---|---|---|---|---|---|---|---|"
for row in "${rows[@]}"; do
    echo "| ${row//$'\t'/ | } |"
done
exit $failed
