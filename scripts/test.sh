#!/usr/bin/env bash
# Builds and runs every test: the whole suite optimised and again under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the concurrency tests
# under ThreadSanitizer (built with clang and its lock analysis).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in default asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}" > /dev/null
  cmake --build --preset "${preset}" -j 2
  ctest --preset "${preset}"
done
