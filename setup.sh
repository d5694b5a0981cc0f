#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmarks need.
# Runs as root on Debian 12; installs only what is missing, so a second run is quick.
set -euo pipefail

packages=(
  build-essential cmake ninja-build ccache pkg-config git python3
  clang-format clang-tidy
  libsqlite3-dev sqlite3
  libssl-dev openssl libgcrypt20-dev
  libboost-dev libarchive-dev libicu-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev libspdlog-dev libfmt-dev liblmdb-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: these packages are missing and installing them needs root" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
