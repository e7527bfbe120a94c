#!/usr/bin/env bash
# Runs the operator program under valgrind's memcheck from start to exit: the port dialog,
# identification, counting at 0.01 s, a calibration scan and closing the window, worked by
# qa/walkthrough (kuvel-walkthrough, which calls the program's own entry and clicks its
# controls from timers) against the simulated counter behind a symlinked port name, on the
# offscreen platform. Fails on any memory error and on any block definitely lost, except the
# reports scripts/valgrind-qt.supp explains.
# Usage: scripts/valgrind.sh [build-dir]    (default: build, as ./test.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

scripts/deps.sh valgrind

cmake -S . -B "$build" >/dev/null
cmake --build "$build" -j2 --target kuvel-walkthrough kuvel-counter-sim

dir=$(mktemp -d)
"$build/simulator/kuvel-counter-sim" --link "$dir/port" >"$dir/sim.out" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$dir"' EXIT
# The simulator prints its terminal once the port name exists.
for _ in $(seq 100); do
    [ -s "$dir/sim.out" ] && break
    sleep 0.05
done

QT_QPA_PLATFORM=offscreen valgrind \
    --error-exitcode=1 \
    --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 \
    --suppressions=scripts/valgrind-qt.supp \
    "$build/qa/walkthrough/kuvel-walkthrough" "$dir/port"
echo "valgrind: no error outside the explained suppressions"
