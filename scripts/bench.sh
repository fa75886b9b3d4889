#!/usr/bin/env bash
# Builds and runs the benchmark (bench/run.py); --smoke for a run of a few
# seconds on the smallest sizes; --baseline REV to time the tool as it was at
# an earlier commit in the same turns, for a before-and-after in one run;
# --instructions for callgrind's instruction counts of the tool, the floor and
# one xml_file_write, the heap peak and tmpfs wall times, on fixed shapes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh python3 xmlstarlet time valgrind
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target update_cfg_rooted bench_floor
args=()
while (($#)); do
  case $1 in
    --baseline)
      rm -rf build-bench-baseline-src && mkdir build-bench-baseline-src
      git archive "$2" | tar -x -C build-bench-baseline-src
      cmake -S build-bench-baseline-src -B build-bench-baseline -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=ON >/dev/null
      cmake --build build-bench-baseline -j"$(nproc)" --target update_cfg_rooted
      args+=(--baseline build-bench-baseline)
      shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
/usr/bin/python3 bench/run.py build-bench "${args[@]}"
