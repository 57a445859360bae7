#!/usr/bin/env bash
# Builds the libFuzzer targets from scratch (clang, ASan + UBSan) and runs each in turn on a copy
# of its seed corpus for a bounded time.
#   scripts/fuzz.sh [seconds-per-target]    default 60
# Work corpora, logs and crash artifacts stay under build/fuzz; fuzz/corpus is only read.
# Exits non-zero when any target finds a crash, a leak or a timeout.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# clang 14 with libFuzzer and the sanitizer runtimes.
ORVO_FUZZ_PACKAGES=(clang libclang-rt-14-dev)

seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [seconds-per-target]" >&2; exit 2; }

orvo_install_packages "${ORVO_PACKAGES[@]}" "${ORVO_FUZZ_PACKAGES[@]}"
build="$ORVO_ROOT/build/fuzz"
orvo_build "$build" -DORVO_BUILD_FUZZERS=ON -DORVO_BUILD_TESTS=OFF \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++

export UBSAN_OPTIONS=print_stacktrace=1
failed=()
summary=()
# Every target has a seed folder of its name.
for corpus in "$ORVO_ROOT"/fuzz/corpus/*/; do
  target=$(basename "$corpus")
  work="$build/corpus/$target" artifacts="$build/artifacts/$target" log="$build/logs/$target.log"
  mkdir -p "$work" "$artifacts" "$(dirname "$log")"
  cp -R "$corpus." "$work/"
  echo "Fuzzing $target for ${seconds}s (log: ${log#"$ORVO_ROOT"/})"
  # Inputs up to 64 KiB: registries larger than that are slow for known reasons, not findings.
  status=0
  "$build/fuzz/${target}_fuzz" "$work" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1 &
  pid=$!
  wait "$pid" || status=$?
  # A target that crashed ended without removing its scratch folder.
  rm -rf /dev/shm/orvo-fuzz-"$pid"-*
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1 runs in \2 s/p' "$log")
  # A run that stopped early prints no "Done" line, only its final stats.
  [[ -n $runs ]] || runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log") runs"
  findings=$(find "$artifacts" -type f | wc -l)
  if ((status != 0 || findings != 0)); then
    failed+=("$target")
    summary+=("$(printf '%-16s FAILED (exit %d, %d artifact(s) in %s) %s' "$target" "$status" \
      "$findings" "${artifacts#"$ORVO_ROOT"/}" "${runs}")")
    tail -n 60 "$log"
  else
    summary+=("$(printf '%-16s %s, no crash' "$target" "$runs")")
  fi
done

echo
printf '%s\n' "${summary[@]}"
if ((${#failed[@]})); then
  echo "Findings in: ${failed[*]}" >&2
  exit 1
fi
