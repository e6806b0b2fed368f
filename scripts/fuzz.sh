#!/usr/bin/env bash
# Longer fuzz runs than the test suite's bounded ones:
#   scripts/fuzz.sh [seconds-per-target] [target...]
# Builds the libFuzzer targets (build-asan, AddressSanitizer + UBSan, with
# QEL_BUILD_FUZZ=ON) and runs each named target (default: all) for the given
# time (default 600 s) as two parallel jobs, from its seed corpus, with input
# lengths free from the start (-len_control=0) up to the target's -max_len
# (taken from fuzz/CMakeLists.txt). New inputs go to
# build-asan/fuzz/long/<target>/, findings to build-asan/fuzz/findings/<target>/.
# Exits non-zero if any target crashed, leaked, hit undefined behaviour, ran
# out of memory or hung.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-600}
shift || true
if ! [[ "$SECONDS_PER_TARGET" =~ ^[0-9]+$ ]]; then
  echo "usage: $0 [seconds-per-target] [target...]" >&2
  exit 2
fi

ALL_TARGETS=$(sed -n 's/^qel_add_fuzzer(\([a-z0-9_]*\) MAX_LEN \([0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  read -r -a TARGETS <<<"$(echo $ALL_TARGETS)"
fi
for t in "${TARGETS[@]}"; do
  if ! grep -qx "$t" <<<"$ALL_TARGETS"; then
    echo "unknown target $t; targets: $(echo $ALL_TARGETS)" >&2
    exit 2
  fi
done

BUILD=build-asan
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DENABLE_ASAN=ON -DENABLE_UBSAN=ON \
  -DQEL_BUILD_FUZZ=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQEL_BUILD_BENCH=OFF \
  -DQEL_BUILD_TOOLS=ON -DQEL_BUILD_PYTHON=OFF >/dev/null
cmake --build "$BUILD" -j 2 --target "${TARGETS[@]}"

export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
failed=()
for t in "${TARGETS[@]}"; do
  max_len=$(sed -n "s/^qel_add_fuzzer($t MAX_LEN \([0-9]*\).*/\1/p" fuzz/CMakeLists.txt)
  work="$BUILD/fuzz/long/$t"
  findings="$BUILD/fuzz/findings/$t"
  logs="$BUILD/fuzz/logs/$t"
  mkdir -p "$work" "$findings" "$logs"
  rm -f "$logs"/fuzz-*.log
  echo "=== $t: ${SECONDS_PER_TARGET}s, max_len $max_len ==="
  # Two jobs on two workers: the machines this runs on have two cores.
  ( cd "$logs" && "$OLDPWD/$BUILD/fuzz/$t" -jobs=2 -workers=2 -max_total_time="$SECONDS_PER_TARGET" \
      -len_control=0 -max_len="$max_len" -timeout=60 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$OLDPWD/$findings/" "$OLDPWD/$work" "$OLDPWD/fuzz/corpus/$t" ) >/dev/null 2>&1 || true
  if ls "$findings" | grep -qE '^(crash|leak|timeout|oom)-' ||
     grep -qE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)|runtime error:' "$logs"/fuzz-*.log; then
    echo "$t: FAILED; inputs in $findings, logs in $logs"
    grep -hE 'ERROR: |runtime error:|SUMMARY:' "$logs"/fuzz-*.log | sort -u | head -20 || true
    failed+=("$t")
  else
    echo "$t: no finding ($(ls "$work" | wc -l) new inputs kept in $work)"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "targets with findings: ${failed[*]}"
  exit 1
fi
echo "all targets ran without a finding"
