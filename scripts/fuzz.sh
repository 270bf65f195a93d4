#!/usr/bin/env bash
# Builds the fuzz targets with clang (build/fuzz, libFuzzer + ASan + UBSan)
# and runs each for its share of the given number of seconds (default 60),
# starting from its seed corpus. Fails when a fuzzer finds a crash, a leak
# or a broken invariant; the input that caused it is kept in
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
# Line tables are all a report's stacks need, for two fifths less compile time.
cmake -S . -B "${build}" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -gline-tables-only -DNDEBUG" \
  -DCMAKE_CXX_COMPILER=clang++ \
  -DQM_BUILD_FUZZERS=ON \
  -DQM_BUILD_TESTS=OFF \
  -DQM_BUILD_BENCHMARKS=OFF \
  -DQM_BUILD_EXAMPLES=OFF > /dev/null
targets=(attribute_codec cache_messages request_messages monitor_events emulator_requests)
# The NATS subject parser is built only with libnats.
if pkg-config --exists 'libnats >= 3.4' 2>/dev/null; then
  targets+=(nats_subjects nats_parts)
fi
cmake --build "${build}" -j 2 --target "${targets[@]/#/fuzz_}"
share=$(( seconds / ${#targets[@]} ))
[ "${share}" -gt 0 ] || share=1
mkdir -p "${build}/artifacts"

# Each fuzzer starts from its seeds and keeps what it finds in memory: writing
# every new input to a directory that is thrown away would cost a tenth of a
# short run.
for target in "${targets[@]}"; do
  time_share="${share}"
  # The parts joiner is small: a tenth of a share covers it.
  if [[ "${target}" == nats_parts ]]; then
    time_share=$(( share / 10 ))
    [ "${time_share}" -gt 0 ] || time_share=1
  fi
  # A cache input runs many steps through the whole cache: the entropic
  # schedule's bookkeeping of its thousands of features per input would take
  # more time than the input itself.
  extra=()
  options=()
  if [[ "${target}" == cache_messages ]]; then
    # Nor is it worth looking, for every input, for a shorter one with the
    # same coverage to keep instead.
    extra=(-entropic=0 -reduce_inputs=0)
    # An input allocates more than a hundred times. Recording no stack for
    # each allocation and release runs about an eighth more inputs a second
    # than recording four frames, which ran a sixth more than thirty. A
    # report's own stack stays whole; run an artifact again with
    # ASAN_OPTIONS=malloc_context_size=30 to see where the memory it names
    # was allocated and released.
    options=(ASAN_OPTIONS="malloc_context_size=0${ASAN_OPTIONS:+:${ASAN_OPTIONS}}")
  fi
  echo "--- fuzz_${target} (${time_share} s)"
  seeds="$(printf '%s,' "fuzz/corpus/${target}/"*)"
  env "${options[@]}" "${build}/fuzz/fuzz_${target}" "${extra[@]}" \
    -seed_inputs="${seeds%,}" \
    -max_total_time="${time_share}" \
    -timeout=10 \
    -print_final_stats=1 \
    -artifact_prefix="${build}/artifacts/${target}-"
done
