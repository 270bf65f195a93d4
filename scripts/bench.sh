#!/usr/bin/env bash
# Runs every benchmark program of a build (default build/default).
#
#   scripts/bench.sh --smoke [build dir]   each benchmark briefly, once: checks
#                                          that they all run (CI)
#   scripts/bench.sh [build dir]           the full runs: medians of five
#                                          repetitions, kept as JSON in
#                                          <build dir>/bench-results/
#
# Fails when a benchmark program fails. Figures are ratios against baselines
# measured in the same program; read them from the output, never from one run
# on a busy machine.
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=false
if [ "${1:-}" = --smoke ]; then
  smoke=true
  shift
fi
build="${1:-build/default}"
programs=("${build}"/bench/bench_*)
if [ ! -x "${programs[0]}" ]; then
  echo "no benchmark programs in ${build}/bench (built without Google Benchmark?)" >&2
  exit 1
fi

results="${build}/bench-results"
mkdir -p "${results}"
for program in "${programs[@]}"; do
  [ -x "${program}" ] && [ -f "${program}" ] || continue
  name="$(basename "${program}")"
  echo "--- ${name}"
  if ${smoke}; then
    # A minimum of time each: one short run of every size.
    "${program}" --benchmark_min_time=0.01 > "${results}/${name}.txt"
    tail -n +4 "${results}/${name}.txt" | cut -c1-160
  else
    "${program}" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
      --benchmark_out="${results}/${name}.json" --benchmark_out_format=json
  fi
done
