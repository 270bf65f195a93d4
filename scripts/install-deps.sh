#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

# A plain build needs only cmake, g++, libfmt-dev, libgtest-dev and libgmock-dev
# (ninja-build for the presets); the rest is for the optional parts, the
# sanitizer stages and the Debian packages (dpkg-dev, file).
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libfmt-dev libgtest-dev libgmock-dev
          libbenchmark-dev clang-format gperf pkg-config libnats-dev nats-server openssl
          dpkg-dev file doxygen libcli11-dev libcpp-httplib-dev libjsoncpp-dev chromium)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
