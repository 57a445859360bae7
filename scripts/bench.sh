#!/usr/bin/env bash
# Builds the benchmarks (Release) and prints every entry point beside its floor:
#   scripts/bench.sh [repetitions]    default 5; medians of interleaved rounds
# Writes the raw results to build/bench/entry_points.json.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}"
repetitions=${1:-5}
build="$ORVO_ROOT/build/bench"
orvo_build "$build" -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_TESTS=OFF -DORVO_BUILD_BENCHMARKS=ON
"$build/bench/entry_point_bench" --benchmark_repetitions="$repetitions" \
  --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
  --benchmark_out="$build/entry_points.json" --benchmark_out_format=json >/dev/null
python3 "$ORVO_ROOT/scripts/bench_table.py" "$build/entry_points.json"
