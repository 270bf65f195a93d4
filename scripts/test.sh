#!/usr/bin/env bash
# Builds and runs every test: the whole suite optimised and again under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the concurrency tests
# under ThreadSanitizer (built with clang and its lock analysis), checks the
# API reference (doxygen) and runs every benchmark briefly (scripts/bench.sh
# --smoke) along the optimised build. Then checks the Debian
# packages (scripts/package.sh), a build with no optional dependency
# (configured, and the library with the test of its missing NATS built and
# run), and finally fuzzes the message decoders for 80 seconds in all
# (QM_FUZZ_SECONDS; 0 skips it).
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
  # Every benchmark, briefly: they must still run (figures come from full runs by hand).
  if [ "${preset}" = default ]; then scripts/bench.sh --smoke; fi
done

echo "=== packages ==="
scripts/package.sh

echo "=== minimal ==="
cmake --preset minimal | grep -E "NATS|Benchmarks|Fuzzers|CLI11|API reference"
cmake --build --preset minimal -j 2 --target QueueManager nats_unavailable_test
ctest --preset minimal -R NatsUnavailable
# Google Benchmark there and gperf not: configured only, with /usr/bin hidden.
cmake -S . -B build/no-gperf -G Ninja -DCMAKE_MAKE_PROGRAM="$(command -v ninja)" \
  -DCMAKE_CXX_COMPILER="$(command -v g++)" -DCMAKE_IGNORE_PATH="/usr/bin;/bin" |
  grep "Benchmarks: on, but for bench_attribute_names"

fuzz_seconds="${QM_FUZZ_SECONDS:-80}"
if [ "${fuzz_seconds}" -gt 0 ]; then
  echo "=== fuzz (${fuzz_seconds} s) ==="
  scripts/fuzz.sh "${fuzz_seconds}"
fi
