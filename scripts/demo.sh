#!/usr/bin/env bash
# Runs the feed simulator with the default scenario (two site types, two TLS
# nodes each, stock, index, order and trade streams) on 127.0.0.1, with a
# throw-away TLS certificate made here. Ctrl-C stops it; it prints a rate
# line every few seconds and a summary at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qel-feed-sim

CERTS=$(mktemp -d)
trap 'rm -rf "$CERTS"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -addext "subjectAltName=IP:127.0.0.1" \
  -keyout "$CERTS/server.key" -out "$CERTS/server.crt" >/dev/null 2>&1
echo "CA/server certificate for clients: $CERTS/server.crt (user demo, password demo123)"
./build/tools/feed_sim/qel-feed-sim --scenario tools/feed_sim/scenarios/default.json \
  --cert "$CERTS/server.crt" --key "$CERTS/server.key" "$@"
