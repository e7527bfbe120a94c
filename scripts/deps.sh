#!/usr/bin/env bash
# Installs the Debian packages the project needs, only those that are missing.
# Usage: scripts/deps.sh [run] [group...]
#   no group: what building and testing need (./test.sh); ser2net serves the simulator over
#   TCP, pandas reads a saved scan in a test, PyVISA and PyMeasure are the clients of the
#   instrument server, libtango-dev builds the Tango device server and python3-tango is its
#   client in the tests; each test skips without its package; the rest checks the install and
#   the .deb
#   run first: only what building and showing the window need (./run.sh), instead of that
#   bench: Google Benchmark, iproute2 (bench_tcp's lookup row: a namespace's loopback); fuzz: clang and its fuzzer runtime;
#   screenshots: Xvfb, ImageMagick, xdotool; valgrind: valgrind
set -euo pipefail

packages=(cmake g++ make pkg-config qtbase5-dev libqt5serialport5-dev libqcustomplot-dev
    fonts-dejavu-core)
if [[ "${1:-}" == "run" ]]; then
    shift
else
    packages+=(python3-pandas ser2net python3-pyvisa python3-pyvisa-py python3-pymeasure
        libtango-dev python3-tango desktop-file-utils appstream lintian dpkg-dev file)
fi
for group in "$@"; do
    case "$group" in
    bench) packages+=(libbenchmark-dev iproute2) ;;
    fuzz) packages+=(clang libclang-rt-dev) ;;
    screenshots) packages+=(xvfb xauth imagemagick xdotool) ;;
    valgrind) packages+=(valgrind) ;;
    *) echo "deps.sh: unknown group $group" >&2; exit 2 ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "need root or sudo to install ${missing[*]}" >&2; exit 1; }
    SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
