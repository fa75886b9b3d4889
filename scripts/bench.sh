#!/usr/bin/env bash
# Builds and runs the benchmark (bench/run.py); --smoke for a run of a few
# seconds on the smallest sizes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh python3 xmlstarlet time
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target update_cfg_rooted bench_floor
/usr/bin/python3 bench/run.py build-bench "$@"
