#!/usr/bin/env bash
# Builds the Debian packages from the default preset's build tree into
# build/default/packages, installs them with apt, builds and runs the install
# test's consumer and the README's example against them (with find_package
# and with pkg-config), and removes the packages again (--keep leaves them
# installed).
set -euo pipefail
cd "$(dirname "$0")/.."
keep=0
[ "${1:-}" = "--keep" ] && keep=1
scripts/install-deps.sh

cmake --preset default > /dev/null
cmake --build --preset default -j 2
rm -rf build/default/packages
(cd build/default && cpack)
debs=(build/default/packages/*.deb)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
packages=()
for deb in "${debs[@]}"; do packages+=("$(dpkg-deb -f "${deb}" Package)"); done
remove() { $sudo apt-get purge -y -qq "${packages[@]}" > /dev/null; }
[ "${keep}" -eq 0 ] && trap remove EXIT
$sudo apt-get install -y -qq "${debs[@]/#/./}" > /dev/null
echo "Installed: ${packages[*]}"

cmake -DSYSTEM=ON -DCONSUMER_DIR="${PWD}/tests/install/consumer" \
  -DWORK_DIR="${PWD}/build/default/packages/check" -DCXX_COMPILER=g++ \
  -DREADME="${PWD}/README.md" -P tests/install/RunInstallTest.cmake
