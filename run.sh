#!/usr/bin/env bash
# Installs what is missing, builds the window and the simulated counter (nothing else), starts
# the simulator and opens the operator window on it. Press OK in the port dialog: the
# simulator's port is preselected.
#   ./run.sh [SIMULATOR OPTIONS]                  the window on this display
#   ./run.sh --screenshot FILE [SIMULATOR OPTIONS] no display needed: the window on a virtual
#                                                 one, past the port dialog, saved as FILE
#   ./run.sh --build-only                         installs and builds, starts nothing: what
#                                                 a user has after closing the window (the
#                                                 README walk starts from there)
# One line per step; the output of the set-up and the build goes to build/run.log and is
# shown only when a step fails.
set -euo pipefail

screenshot=
build_only=
if [[ "${1:-}" == "--build-only" ]]; then
    [[ $# -eq 1 ]] || { echo "usage: ./run.sh --build-only" >&2; exit 2; }
    build_only=1
    shift
elif [[ "${1:-}" == "--screenshot" ]]; then
    [[ -n "${2:-}" ]] || { echo "usage: ./run.sh --screenshot FILE [SIMULATOR OPTIONS]" >&2; exit 2; }
    # FILE is relative to where the user is, not to the checkout.
    screenshot=$(realpath -m -- "$2")
    shift 2
fi
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

groups=(run)
[[ -n "$screenshot" ]] && groups+=(screenshots)
step "Installing what is missing" scripts/deps.sh "${groups[@]}"
# The same configuration as ./test.sh, so the two share build/ and neither undoes the other;
# only the two programs started here are built.
step "Configuring" cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
step "Building the window and the simulator" \
    cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target kuvel-counter kuvel-counter-sim
[[ -z "$build_only" ]] || exit 0

if [[ -n "$screenshot" ]]; then
    BUILD_DIR=$PWD/build scripts/screenshots.sh --window "$screenshot" "$@"
    exit 0
fi

port=${KUVEL_SIM_PORT:-/tmp/kuvel-sim-port-$(id -u)}
build/simulator/kuvel-counter-sim --link "$port" "$@" > build/simulator.out &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 50); do [[ -e "$port" ]] && break; sleep 0.1; done
echo "Simulated counter on $(head -n1 build/simulator.out) (also $port)"

if [[ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
    echo "No display here. To see the window, have it drawn on a virtual display and saved:"
    echo "  ./run.sh --screenshot window.png"
    echo "The simulator keeps running until you press Ctrl-C."
    wait $sim
    exit 0
fi
echo "Opening the window; press OK in the port dialog"
build/app/kuvel-counter "$port"
