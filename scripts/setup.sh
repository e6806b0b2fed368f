#!/usr/bin/env bash
# Installs the Debian packages this project builds and tests with. Idempotent:
# when every package is already present it does not touch apt at all.
set -euo pipefail

PACKAGES=(
  build-essential cmake pkg-config git dpkg-dev
  protobuf-compiler libprotobuf-dev python3-protobuf
  libevent-dev libssl-dev openssl liblz4-dev libjansson-dev
  libreaderwriterqueue-dev
  swig python3-dev python3-pytest
  libgtest-dev libgmock-dev libbenchmark-dev libboost-dev
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "setup: installing ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
else
  echo "setup: all packages present"
fi
