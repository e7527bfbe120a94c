#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test twice: in the normal build and in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer; between the two, every command
# of the README. Exits non-zero on any failure or sanitizer report.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
export QT_QPA_PLATFORM=offscreen

echo "== normal build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"
echo "== the README's commands"
/usr/bin/python3 scripts/readme-walk.py
scripts/check-install.sh build

echo "== sanitizer build (address, undefined)"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKUVEL_SANITIZE=ON -DKUVEL_BENCH=OFF
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/scripts/lsan.supp:print_suppressions=0"
ctest --test-dir build-asan --output-on-failure -j"$jobs"
