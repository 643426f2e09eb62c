#!/bin/sh
# Builds every extension module, the signing library and its C++ tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in a build folder of their own (default: build-asan in the repository),
# runs the C++ tests under ctest and a short run of the network input parser's fuzz target, then runs
# the whole pytest suite with Debian's interpreter against the sanitized modules.
#
# The interpreter itself is not instrumented: it loads the sanitized modules when the sanitizer
# runtimes are preloaded (LD_PRELOAD of libasan and libubsan). The modules are written into a copy
# of the package tree (<build-folder>/tree: the sources, the tests and the tools, without the
# normal build's modules), so the modules of the normal build in the source tree stay untouched.
# Child interpreters started by the tests inherit the environment and so the preload.
#
# Every sanitizer report, in the test process or in any child it starts, is written to a log file
# under <build-folder>/reports; the script fails when pytest fails or when any report was written.
#
# Usage: tools/sanitize_tests.sh [build-folder] [pytest arguments (default: tests)...]
# Environment: JOBS (build and ctest jobs, default 8), PYTEST_JOBS (pytest-xdist workers, default
# JOBS; 0 runs in one process).
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-asan}
[ $# -gt 0 ] && shift
case "$build" in /*) ;; *) build=$(pwd)/$build ;; esac
jobs=${JOBS:-8}
pytest_jobs=${PYTEST_JOBS:-$jobs}
tree=$build/tree
reports=$build/reports
py=/usr/bin/python3

# The package tree copy: everything but the version control folder, build folders and modules.
# Files other than the modules are refreshed on every run, so edits and removals reach the copy.
mkdir -p "$tree"
find "$tree" ! -type d ! -name '*.so' -delete
(cd "$root" && tar -cf - --exclude=./.git --exclude='./build' --exclude='./build-*' --exclude='*.so' \
    --exclude=__pycache__ --exclude=.hypothesis --exclude=.pytest_cache .) | (cd "$tree" && tar -xf -)

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDORVANE_SANITIZE=ON \
  -DDORVANE_PACKAGE_ROOT="$tree" -DPython3_EXECUTABLE=$py > "$build.configure.log" 2>&1 \
  || { cat "$build.configure.log"; exit 1; }
rm -f "$build.configure.log"
cmake --build "$build" -j"$jobs"

# The C++ tests of the signing library, leaks included (a plain test program has no interpreter
# whose exit-time allocations would show up as leaks).
(cd "$build" && \
  ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:strict_string_checks=1} \
  UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
  ctest -L mirvo --output-on-failure -j"$jobs")

# A short run of the fuzz target of the network input parser (frame splitter and native header
# codec; tools/fuzz/run_frames_fuzz.sh), its binary kept in the build folder between runs. It
# imports the protocol modules of the normal build in the repository.
FUZZ_SECONDS=${FUZZ_SECONDS:-5} FUZZ_WORK=$build/fuzz JOBS=$jobs sh "$root/tools/fuzz/run_frames_fuzz.sh"

# The pytest suite against the sanitized modules. PYTHONMALLOC=malloc makes the interpreter take
# its objects from malloc, so a read past the end of a bytes object's buffer is caught as well.
rm -rf "$reports"
mkdir -p "$reports"
# Without pytest arguments the whole suite runs. DORVANE_SANITIZED tells the tests that start many
# interpreters or wait on loopback work that they run in the slower sanitized build.
[ $# -gt 0 ] || set -- tests
# The unpoisoning of a thread's stack before pthread_exit (tools/asan_thread_exit.c).
thread_exit=$build/asan_thread_exit.so
gcc -shared -fPIC -O2 -o "$thread_exit" "$root/tools/asan_thread_exit.c" -ldl
xdist=""
[ "$pytest_jobs" -gt 0 ] && xdist="-n $pytest_jobs"
status=0
(cd "$tree" && \
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so) $thread_exit" \
  ASAN_OPTIONS="detect_leaks=0:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
  PYTHONMALLOC=malloc DORVANE_SANITIZED=1 \
  $py -m pytest -q -p no:cacheprovider $xdist "$@") || status=$?

if [ -n "$(ls -A "$reports")" ]; then
  for f in "$reports"/*; do
    echo "=== sanitizer report $f"
    cat "$f"
  done
  echo "sanitizer reports were written: failing" >&2
  exit 1
fi
exit $status
