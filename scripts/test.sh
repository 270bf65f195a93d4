#!/usr/bin/env bash
# Builds and runs every test: the whole suite optimised and again under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the concurrency tests
# under ThreadSanitizer (built with clang and its lock analysis), checks the
# API reference (doxygen) along the optimised build, and finally
# fuzzes the message decoders for 80 seconds in all (QM_FUZZ_SECONDS; 0 skips it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

for preset in default asan tsan; do
  echo "=== ${preset} ==="
  cmake --preset "${preset}" > /dev/null
  cmake --build --preset "${preset}" -j 2
  # The API reference: fails on a public member without its comment.
  if [ "${preset}" = default ]; then cmake --build --preset default --target docs; fi
  ctest --preset "${preset}"
done

fuzz_seconds="${QM_FUZZ_SECONDS:-80}"
if [ "${fuzz_seconds}" -gt 0 ]; then
  echo "=== fuzz (${fuzz_seconds} s) ==="
  scripts/fuzz.sh "${fuzz_seconds}"
fi
