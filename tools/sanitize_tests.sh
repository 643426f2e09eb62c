#!/bin/sh
# Builds the signing library and its C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer
# in a build folder of their own (default: build-asan in the repository) and runs them under ctest.
# Only the test program is built there: an extension module linked against a sanitized library
# could not be loaded by the interpreter.
#
# Usage: tools/sanitize_tests.sh [build-folder]
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-asan}
jobs=${JOBS:-8}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVANE_SANITIZE=ON \
  -DPython3_EXECUTABLE=/usr/bin/python3 > "$build.configure.log" 2>&1 || { cat "$build.configure.log"; exit 1; }
rm -f "$build.configure.log"
cmake --build "$build" --target mirvo_tests -j"$jobs"
cd "$build"
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1} \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
  ctest -L mirvo --output-on-failure -j"$jobs"
