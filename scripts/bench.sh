#!/bin/bash
# Builds the benchmarks (RelWithDebInfo, into build/), runs each of them and
# prints one table: row, what, figure, ratio, target, met. Every benchmark
# prints its results as "@row|Row|what|figure|ratio|target|met" lines; the
# full output of each is kept in build/bench-logs/.
#
#   scripts/bench.sh [--quick] [--full] [--memory-minutes N]
#     --quick             a short pass (about 5 minutes): shorter windows, fewer records and node
#                         deaths (pipeline_bench still gives median (min..max) of 3 runs)
#     --full              the memory growth run lasts 10 minutes
#     --memory-minutes N  the memory growth run lasts N minutes (default 2, 0.5 with --quick)
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
minutes=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --full) minutes=10 ;;
    --memory-minutes) shift; minutes="${1:?--memory-minutes needs a value}" ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "$quick" = 1 ]; then
  minutes="${minutes:-0.5}"
  queue_args=(--runs 3 --items 5000000 --trips 50000)
  pipeline_args=(--runs 3 --records 200000 --memory-seconds 3 --latency-seconds 2 --idle-seconds 3
                 --reconnect-runs 3)
  json_args=(--benchmark_min_time=0.2)
  python_args=(--seconds 2 --backlog 10000)
else
  minutes="${minutes:-2}"
  queue_args=(--runs 5)
  pipeline_args=(--runs 3)
  json_args=()
  python_args=()
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQEL_BUILD_BENCH=ON >/dev/null
cmake --build build -j2 --target queue_bench pipeline_bench json_bench qel_gateway_client qel-feed-sim >/dev/null

load_start="$(cut -d' ' -f1-3 /proc/loadavg)"
logs=build/bench-logs
mkdir -p "$logs"
status=0
run() {  # run NAME COMMAND...: output to the console and to $logs/NAME.txt
  local name="$1"
  shift
  echo "== $name: $*" >&2
  if ! "$@" 2>&1 | tee "$logs/$name.txt" >&2; then
    echo "== $name exited non-zero" >&2
    status=1
  fi
}

run queue build/bench/queue_bench "${queue_args[@]}"
run pipeline build/bench/pipeline_bench "${pipeline_args[@]}"
# In a process of its own: the runs above leave freed heap behind.
run growth build/bench/pipeline_bench --only growth --memory-minutes "$minutes"
run json build/bench/json_bench "${json_args[@]}"
run python env PYTHONPATH=build/python PYTHONDONTWRITEBYTECODE=1 /usr/bin/python3 bench/python_notify_bench.py \
  --sim build/tools/feed_sim/qel-feed-sim "${python_args[@]}"

echo
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), kernel $(uname -r); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "load average (1/5/15 min): $load_start before the runs, $(cut -d' ' -f1-3 /proc/loadavg) after them"
echo
echo "| Row | What | Figure | Ratio | Target | Met? |"
echo "|---|---|---|---|---|---|"
for name in queue pipeline growth json python; do
  grep -h '^@row|' "$logs/$name.txt" || true
done | awk -F'|' '{ printf "| %s | %s | %s | %s | %s | %s |\n", $2, $3, $4, $5, $6, $7 }'
exit $status
