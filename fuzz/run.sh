#!/usr/bin/env bash
# Runs every harness of a fuzz build for a number of seconds each, two at a
# time, starting from the committed seed corpus (new inputs go to a working
# corpus in the build folder, the committed one is never written). Prints
# the executions of each harness; fails when any harness finds a fault (its
# log and the input that reproduces it are kept in <build>/fuzz-runs).
# Usage: fuzz/run.sh <build dir> <seconds per harness> [parallel runs]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2
parallel=${3:-2}
runs=$build/fuzz-runs
mkdir -p "$runs"

run_one() {
  local name=$1
  local work=$runs/$name
  mkdir -p "$work/corpus" "$work/artifacts"
  if "$build/fuzz/$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
      -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
      "$work/corpus" "fuzz/corpus/$name" >"$work/log" 2>&1; then
    echo "$name: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$work/log" | grep -o '[0-9]*$') executions, nothing found"
  else
    echo "$name: FAULT, see $work/log and $work/artifacts"
    grep -E 'ERROR|contract broken|SUMMARY' "$work/log" | head -5
    return 1
  fi
}
export -f run_one
export build seconds runs

tr ';' '\n' <"$build/fuzzers.txt" | xargs -P "$parallel" -I{} bash -c 'run_one {}'
