#!/usr/bin/env bash
# Installs the Debian packages the build, tests and tools need; silent when all are present.
set -euo pipefail
packages=(cmake ninja-build g++ make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          liblua5.4-dev libsqlite3-dev nlohmann-json3-dev libreadline-dev binutils
          libsodium-dev openjdk-17-jdk-headless clang libclang-rt-14-dev
          libpq-dev postgresql librandom123-dev libpcg-cpp-dev dieharder
          libcpp-httplib-dev libboost-dev libssl-dev openssl chromium nodejs)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -ne 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# Debian's nodejs may come without npm (it is a package of its own there).
if ! command -v npm >/dev/null; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
# The browser tests drive Debian's Chromium with playwright-core, pinned in the lock file.
browser_tests="$(dirname "$0")/../tests/browser"
if [ ! -d "$browser_tests/node_modules/playwright-core" ]; then
  echo "setup: npm ci in tests/browser"
  (cd "$browser_tests" && npm ci --no-audit --no-fund --silent)
fi
