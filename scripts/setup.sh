#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need; silent when all are present.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          liblua5.4-dev libsqlite3-dev nlohmann-json3-dev libreadline-dev binutils
          libsodium-dev openjdk-17-jdk-headless clang libclang-rt-14-dev
          libpq-dev postgresql librandom123-dev libpcg-cpp-dev dieharder
          libcpp-httplib-dev libssl-dev openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
