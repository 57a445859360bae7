#!/usr/bin/env bash
# Builds the benchmarks (Release) and prints every entry point beside its floor:
#   scripts/bench.sh [repetitions]               default 5; medians of interleaved rounds
#   scripts/bench.sh [repetitions] --against REF the store calls of the issue's table, this tree
#                                                and REF (the same benchmarks built against REF's
#                                                module) run in turn, one round each a time
# Writes the raw results to build/bench/*.json.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
orvo_install_packages "${ORVO_PACKAGES[@]}"
repetitions=5 against=
while (($#)); do
  case $1 in
    --against) against=${2:?a git revision}; shift 2 ;;
    *) repetitions=$1; shift ;;
  esac
done
build="$ORVO_ROOT/build/bench"
options=(-DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_TESTS=OFF -DORVO_BUILD_BENCHMARKS=ON)
orvo_build "$build" "${options[@]}"
run() {  # run <binary> <output> [options...]
  "$1" --benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_out="$2" --benchmark_out_format=json \
    "${@:3}" >/dev/null
}
if [[ -z $against ]]; then
  run "$build/bench/entry_point_bench" "$build/entry_points.json"
  python3 "$ORVO_ROOT/scripts/bench_table.py" "$build/entry_points.json"
  exit
fi
# REF's module with this tree's benchmarks, so that both measure the same way.
before="$ORVO_ROOT/build/bench-before"
rm -rf "$before"
mkdir -p "$before/src"
git -C "$ORVO_ROOT" archive "$against" | tar -x -C "$before/src"
rm -rf "$before/src/bench"
cp -R "$ORVO_ROOT/bench" "$before/src/bench"
# Headers that have moved since REF: forwarders in REF's copy, so that these benchmarks build.
for header in "$ORVO_ROOT"/src/platform/plist/*.h; do
  name=$(basename "$header")
  if [[ ! -e $before/src/src/platform/plist/$name && -e $before/src/src/platform/$name ]]; then
    mkdir -p "$before/src/src/platform/plist"
    echo "#include \"platform/$name\"" >"$before/src/src/platform/plist/$name"
  fi
done
cmake -S "$before/src" -B "$before/build" -G Ninja "${options[@]}" >/dev/null
cmake --build "$before/build" -j"$(nproc)" --target entry_point_bench
filter='^BM_(RefCodeFloor|AllGamesFloor|OnFireFloor|WriteFloor|GetRefCode|GetAllGames|GetCurrentGameOnFire|SetLastPlayDate)/(50/100|200/500)$'
rm -f "$build"/after-*.json "$before"/before-*.json
for round in 1 2 3; do
  run "$build/bench/entry_point_bench" "$build/after-$round.json" --benchmark_filter="$filter"
  run "$before/build/bench/entry_point_bench" "$before/before-$round.json" \
    --benchmark_filter="$filter"
done
python3 "$ORVO_ROOT/scripts/bench_table.py" "$build"/after-*.json --before "$before"/before-*.json
