#!/usr/bin/env bash
# Runs each fuzzer of a build made with UPDATE_CFG_FUZZERS=ON for a bounded
# time, starting from the corpus in the repo (left unchanged).
# Usage: fuzz.sh SECONDS BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=$1
build=$(realpath "$2")
here=$PWD

for target in reader store differential; do
  work=$(mktemp -d)
  cp -R "tests/fuzz/corpus/$target/." "$work"
  echo "-- fuzzing $target for ${seconds}s"
  if ! "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -dict="$here/tests/fuzz/$target.dict" -artifact_prefix="$build/$target-" \
      "$work" >"$build/fuzz-$target.log" 2>&1; then
    tail -n 40 "$build/fuzz-$target.log"
    echo "fuzzer $target failed; the input is in $build/$target-*"
    exit 1
  fi
  grep -E "^#[0-9]+.*DONE|stat::number_of_executed_units" "$build/fuzz-$target.log"
  rm -rf "$work"
done
