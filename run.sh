#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated counter and opens the operator
# window on it. Press OK in the port dialog: the simulator's port is preselected.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)"

port=${KUVEL_SIM_PORT:-/tmp/kuvel-sim-port-$(id -u)}
build/tools/kuvel-counter-sim --link "$port" "$@" > /tmp/kuvel-sim.out &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$port" ]] && break; sleep 0.1; done
echo "Simulated counter on $(head -n1 /tmp/kuvel-sim.out) (also $port)"

if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display here. To see the window on a virtual display, run:"
    echo "  xvfb-run -a ./run.sh"
    echo "The simulator keeps running until you press Ctrl-C."
    wait $sim
    exit 0
fi
build/app/kuvel-counter "$port"
