#!/usr/bin/env bash
# Builds the library and runs the demonstration program against an
# in-process scripted server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

cmake --preset default > /dev/null
cmake --build --preset default -j 2 --target qm_platform_demo
exec build/default/examples/qm_platform_demo "$@"
