#!/usr/bin/env bash
# Live market data in one command: installs the packages, builds the feed
# simulator and qel-cli, makes a throw-away TLS certificate, starts the
# simulator with the default scenario (discovery on 9100, TLS datafeed nodes
# on 9111/9112 and 9121/9122, user demo/demo123) in the background, and runs
# qel-cli against it over TLS for about ten seconds: it prints a sample of the
# live records as JSON lines, then its summary. Everything it started is
# stopped before it exits; Ctrl-C at any moment leaves no process behind.
#
#   ./scripts/demo.sh [--seconds N] [--every N]
#     --seconds N   how long qel-cli receives (default 10)
#     --every N     print one record in N (default 1000; the scenario sends
#                   about 10,000 records/s)
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_TO_RUN=10
EVERY=1000
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) SECONDS_TO_RUN=${2:?--seconds needs a value}; shift 2 ;;
    --every) EVERY=${2:?--every needs a value}; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done

SIM_PID=""
CLI_PID=""
WORK=""

# Ends one background process: SIGTERM (both programs shut down cleanly on
# it), then SIGKILL if it is still there after five seconds; always reaped.
stop_pid() {
  local pid=$1
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$CLI_PID"
  CLI_PID=""
  stop_pid "$SIM_PID"
  SIM_PID=""
  if [ -n "$WORK" ]; then rm -rf "$WORK"; fi
  WORK=""
}
on_signal() {
  trap - INT TERM
  echo "demo: interrupted, stopping" >&2
  cleanup
  exit 130
}
trap cleanup EXIT
trap on_signal INT TERM

./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qel-feed-sim qel-cli

WORK=$(mktemp -d)
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$WORK/server.key" -out "$WORK/server.crt" >/dev/null 2>&1

# The simulator's own lines (listeners, rates, summary) go to a file so that
# the terminal shows qel-cli's records.
./build/tools/feed_sim/qel-feed-sim --scenario tools/feed_sim/scenarios/default.json \
  --cert "$WORK/server.crt" --key "$WORK/server.key" >"$WORK/sim.log" 2>&1 &
SIM_PID=$!

# Listening once it has printed its last listener line; a simulator that
# ends first (a port taken by another program) is reported, not waited for.
for _ in $(seq 100); do
  if grep -q "node site_type=2 priority=100" "$WORK/sim.log"; then break; fi
  if ! kill -0 "$SIM_PID" 2>/dev/null; then
    wait "$SIM_PID" 2>/dev/null || true
    SIM_PID=""
    echo "demo: the feed simulator did not start:" >&2
    sed 's/^/  /' "$WORK/sim.log" >&2
    echo "demo: ports 9100, 9111, 9112, 9121 and 9122 must be free on 127.0.0.1" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q "node site_type=2 priority=100" "$WORK/sim.log"; then
  echo "demo: the feed simulator is not listening after 10 s:" >&2
  sed 's/^/  /' "$WORK/sim.log" >&2
  exit 1
fi
echo "demo: feed simulator listening (TLS); qel-cli receives for ${SECONDS_TO_RUN} s, printing one record in ${EVERY}"

# In the background so that a signal reaches the trap at once; the trap
# stops it with SIGTERM, on which it shuts down and prints its summary.
./build/tools/qel_cli/qel-cli --host 127.0.0.1 --port 9100 --user demo --password demo123 \
  --tls --ca-file "$WORK/server.crt" --types 3,6,8,9 \
  --seconds "$SECONDS_TO_RUN" --every "$EVERY" &
CLI_PID=$!
CLI_RC=0
wait "$CLI_PID" || CLI_RC=$?
CLI_PID=""

stop_pid "$SIM_PID"
SIM_PID=""
grep "summary:" "$WORK/sim.log" | sed 's/^/simulator /' || true
if [ "$CLI_RC" -ne 0 ]; then
  echo "demo: qel-cli failed (exit $CLI_RC)" >&2
  exit "$CLI_RC"
fi
echo "demo: done"
