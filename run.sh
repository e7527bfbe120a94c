#!/usr/bin/env bash
# Installs what is missing, builds, starts the simulated counter and opens the operator
# window on it. Press OK in the port dialog: the simulator's port is preselected.
# One line per step; the output of the set-up and the build goes to build/run.log and is
# shown only when a step fails.
set -euo pipefail
cd "$(dirname "$0")"

mkdir -p build
log=build/run.log
: > "$log"
step() {
    local what=$1
    shift
    printf '%s ... ' "$what"
    if "$@" >> "$log" 2>&1; then
        echo done
    else
        echo failed
        echo "---- $log (last 40 lines):" >&2
        tail -n 40 "$log" >&2
        exit 1
    fi
}

step "Installing what is missing" scripts/deps.sh
step "Configuring" cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "Building" cmake --build build -j"$(nproc 2>/dev/null || echo 2)"

port=${KUVEL_SIM_PORT:-/tmp/kuvel-sim-port-$(id -u)}
build/simulator/kuvel-counter-sim --link "$port" "$@" > /tmp/kuvel-sim.out &
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
echo "Opening the window; press OK in the port dialog"
build/app/kuvel-counter "$port"
