#!/usr/bin/env bash
# Builds the fuzz targets with clang (build/fuzz, libFuzzer + ASan + UBSan)
# and runs fuzz_attribute_codec for the given number of seconds (default 60)
# on a scratch copy of its seed corpus. Fails when the fuzzer finds a crash,
# a leak or a round-trip mismatch; the input that caused it is kept in
# build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
if ! [[ "${seconds}" =~ ^[0-9]+$ ]] || [[ "${seconds}" -eq 0 ]]; then
  echo "usage: $0 [seconds]" >&2
  exit 2
fi

build=build/fuzz
cmake -S . -B "${build}" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DQM_BUILD_FUZZERS=ON \
  -DQM_BUILD_TESTS=OFF \
  -DQM_BUILD_BENCHMARKS=OFF \
  -DQM_BUILD_EXAMPLES=OFF > /dev/null
cmake --build "${build}" -j 2 --target fuzz_attribute_codec

# New inputs the fuzzer finds go to a scratch directory, never into the seeds.
corpus="$(mktemp -d)"
trap 'rm -rf "${corpus}"' EXIT
cp fuzz/corpus/attribute_codec/* "${corpus}/"
mkdir -p "${build}/artifacts"

"${build}/fuzz/fuzz_attribute_codec" \
  -max_total_time="${seconds}" \
  -timeout=10 \
  -print_final_stats=1 \
  -artifact_prefix="${build}/artifacts/" \
  "${corpus}"
