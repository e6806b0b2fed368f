#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs the packages,
# builds, runs every test, then rebuilds with ThreadSanitizer and with
# AddressSanitizer + UndefinedBehaviorSanitizer (plus a bounded libFuzzer run)
# for the threaded and byte-parsing parts.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
JOBS=$(nproc)

# The sanitizer runs take the tests labelled unit, threaded and integration (labels
# are set where each test is added, tests/CMakeLists.txt), parameterised
# suites included; the ASan run adds the single-threaded byte parsers
# (parsing) and the bounded fuzz runs. ThreadSanitizer has nothing to find in
# a single-threaded parser, so the TSan run leaves them out.
# The sanitizer builds include the Python module and its pytest suite, run by
# an interpreter launched from an instrumented executable (qel-python,
# tests/CMakeLists.txt), with leak checking under ASan.
SAN_LABELS='unit|threaded|integration'
# The sanitizer builds compile at -O1 with line tables only: what their stack
# reports need, and about a third less compile time than -O2 with full debug
# information.
SAN_FLAGS='-O1 -gline-tables-only -DNDEBUG'

echo "=== regular build (${SECONDS}s since start) ==="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 600

echo "=== ThreadSanitizer build (${SECONDS}s since start) ==="
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_TSAN=ON \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="$SAN_FLAGS" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$SAN_FLAGS" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQEL_BUILD_BENCH=OFF -DQEL_BUILD_TOOLS=ON \
  -DQEL_BUILD_PYTHON=ON
cmake --build build-tsan -j "$JOBS"
QEL_STRESS_ITEMS=2000000 TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 900 -L "$SAN_LABELS"

echo "=== AddressSanitizer + UndefinedBehaviorSanitizer build, fuzzing (${SECONDS}s since start) ==="
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_ASAN=ON -DENABLE_UBSAN=ON \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="$SAN_FLAGS" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$SAN_FLAGS" \
  -DQEL_BUILD_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQEL_BUILD_BENCH=OFF -DQEL_BUILD_TOOLS=ON \
  -DQEL_BUILD_PYTHON=ON
cmake --build build-asan -j "$JOBS"
# LeakSanitizer's own stop-the-world tracer crashes now and then at process
# exit ("Tracer caught signal 11" ... "LeakSanitizer has encountered a fatal
# error"): a fault of the sanitizer runtime, not a leak report. When every
# failed test of the run is explained by such a crash, the failed tests run
# once more; any other failure fails the suite at once.
asan_ctest() {
  QEL_STRESS_ITEMS=5000000 ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
    ctest --test-dir build-asan --output-on-failure -j "$JOBS" --timeout 900 "$@"
}
ASAN_LOG=build-asan/ctest-output.log
if ! asan_ctest -L "$SAN_LABELS|parsing|fuzz" 2>&1 | tee "$ASAN_LOG"; then
  failed=$(sed -n 's/.* tests passed, \([0-9]*\) tests failed out of .*/\1/p' "$ASAN_LOG" | tail -1)
  tracer_crashes=$(grep -c 'LeakSanitizer has encountered a fatal error' "$ASAN_LOG" || true)
  if [[ -z "$failed" || "$failed" -eq 0 || "$failed" -gt "$tracer_crashes" ]]; then
    exit 1
  fi
  echo "=== $failed failed test(s), each with a crash of LeakSanitizer's tracer: running them once more ==="
  asan_ctest --rerun-failed
fi
echo "=== all tests passed (${SECONDS}s since start) ==="
