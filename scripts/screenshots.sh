#!/usr/bin/env bash
# Screenshots of the operator program for the README, taken under Xvfb against the simulated
# counter, the way an operator would work it:
#   docs/screenshot-counts.png       the Counts tab after identification, reference levels set
#                                    and a short count
#   docs/screenshot-calibration.png  the Calibration tab after a complete scan, four curves
#   docs/screenshot-trend.png        the Trend tab after half a minute of counting
# With --window FILE [SIMULATOR OPTIONS] it only passes the port dialog and saves the main
# window after identification as FILE: the way to see the program without a display
# (./run.sh --screenshot FILE).
# Needs a build of kuvel-counter and kuvel-counter-sim (in BUILD_DIR, default build/) and
# xvfb-run, ImageMagick's import and xdotool (apt-get install xvfb imagemagick xdotool).
# The clicks go to fixed places of the 800 x 600 window; after a change of the layout, look
# at the pictures again.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
docs=$root/docs

all_args=("$@")
window_file=
if [ "${1:-}" = "--window" ]; then
    window_file=$(realpath -m -- "${2:?--window needs a file}")
    shift 2
fi

"$root/scripts/deps.sh" run screenshots
for tool in xvfb-run import xdotool; do
    if ! command -v "$tool" > /dev/null; then
        echo "screenshots.sh: $tool is missing (apt-get install xvfb imagemagick xdotool)" >&2
        exit 1
    fi
done
if [ ! -x "$build/app/kuvel-counter" ] || [ ! -x "$build/simulator/kuvel-counter-sim" ]; then
    echo "screenshots.sh: build first: cmake --build $build --target kuvel-counter kuvel-counter-sim" >&2
    exit 1
fi

# Everything below runs on a display of its own.
if [ -z "${KUVEL_SCREENSHOTS_XVFB:-}" ]; then
    KUVEL_SCREENSHOTS_XVFB=1 exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "${all_args[@]}"
fi

work=$(mktemp -d)
# The window remembers its size and port between runs; these pictures start from none.
export HOME=$work/home XDG_CONFIG_HOME=$work/config
# Drawn on the virtual display even when called from a test run that draws offscreen.
export QT_QPA_PLATFORM=xcb
mkdir -p "$HOME" "$XDG_CONFIG_HOME"
sim_pid=
app_pid=
cleanup() {
    [ -n "$app_pid" ] && kill "$app_pid" 2> /dev/null || true
    [ -n "$sim_pid" ] && kill "$sim_pid" 2> /dev/null || true
    wait 2> /dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

"$build/simulator/kuvel-counter-sim" --link "$work/port" --log "$work/sim.log" "$@" > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.05
done

"$build/app/kuvel-counter" "$work/port" &
app_pid=$!

click() { xdotool mousemove "$1" "$2" click 1; sleep 0.2; }
# Replaces the text of the number box at x y.
type_into() {
    click "$1" "$2"
    xdotool key ctrl+a
    xdotool type --delay 20 "$3"
    sleep 0.1
}
# Waits until the simulator has received `count` requests with the code `code` in all.
wait_requests() {
    for _ in $(seq 1200); do
        [ "$(grep -c " rx $1\b" "$work/sim.log" || true)" -ge "$2" ] && return 0
        sleep 0.05
    done
    echo "screenshots.sh: the counter never got request $1" >&2
    exit 1
}

# Waits for a window by its title; a program that never shows it must not hang the script.
find_window() {
    timeout 60 xdotool search --sync --name "$1" || {
        echo "screenshots.sh: no window titled $1 within 60 s" >&2
        exit 1
    }
}

# The port given on the command line is preselected: OK.
dialog=$(find_window '^Choose your device\.\.\.$')
xdotool windowfocus --sync "$dialog"
xdotool key Return
window=$(find_window '^Kuvel Counter$')
sleep 1
if [ -n "$window_file" ]; then
    mkdir -p "$(dirname "$window_file")"
    import -window "$window" "$window_file"
    echo "Saved the window, connected to the simulated counter, as $window_file"
    exit 0
fi

# Counts tab: a short time constant, a reference level per photon number, a few counts.
type_into 340 97 0.05
click 686 96                                  # Set TimeConst
level_y=(128 160 192 224)
levels=(4000 12000 20000 28000)
for i in 0 1 2 3; do
    type_into 340 "${level_y[$i]}" "${levels[$i]}"
    click 686 "${level_y[$i]}"                # Set Ref. Level n
done
click 234 300                                 # Start
wait_requests 17 3
click 592 300                                 # Stop
sleep 0.5
mkdir -p "$docs"
import -window "$window" "$docs/screenshot-counts.png"

# Calibration tab: every level from 0 to 40000 in steps of 500.
click 24 128
type_into 548 33 40000                        # Stop
type_into 735 33 500                          # Step
stops=$(grep -c ' rx 16\b' "$work/sim.log" || true)
click 370 64                                  # Start
wait_requests 16 $((stops + 1))               # the scan stops the counter at its end
sleep 0.5
import -window "$window" "$docs/screenshot-calibration.png"

# Trend tab: half a minute of counting at the levels of the Counts tab again, since the scan
# left its own in the counter.
click 24 40                                   # Counts tab
for i in 0 1 2 3; do
    click 686 "${level_y[$i]}"                # Set Ref. Level n
done
click 234 300                                 # Start
click 24 210                              # Trend tab
sleep 30
import -window "$window" "$docs/screenshot-trend.png"
click 24 40                                   # Counts tab
click 592 300                                 # Stop
echo "screenshots.sh: wrote $docs/screenshot-counts.png, $docs/screenshot-calibration.png and $docs/screenshot-trend.png"
