#!/usr/bin/env bash
# Installs, with apt-get, whatever this project needs that the machine lacks.
# Usage: tools/install-deps.sh [core|all]   (core: build + tests; all: adds cross and extra tools)
set -euo pipefail
want=(build-essential cmake ninja-build pkg-config googletest libgtest-dev libgmock-dev
      libbenchmark-dev libeigen3-dev libsndfile1-dev libsoxr-dev)
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 update -qq
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
