#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: static checks, the tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, each fuzzer for a
# bounded time (FUZZ_SECONDS, 60 by default), the suite cross-built for 32-
# and 64-bit ARM under qemu-user, a smoke run of the benchmark, then the
# tests as built for use.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh

echo "== static checks"
bash scripts/lint.sh

echo "== tests under sanitizers"
sanitize="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
CC=clang CXX=clang++ cmake -S . -B build-sanitize -DBUILD_TESTING=ON -DUPDATE_CFG_FUZZERS=ON -DXML_STORE_SELF_CONTAINED=OFF \
  -DCMAKE_CXX_FLAGS="$sanitize" -DCMAKE_EXE_LINKER_FLAGS="$sanitize" \
  -DCMAKE_SHARED_LINKER_FLAGS="$sanitize" >/dev/null
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize -j"$jobs" --output-on-failure

echo "== fuzzers"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}" build-sanitize

echo "== ARM: the suite under qemu-user, device builds"
bash scripts/arm.sh

echo "== benchmark smoke run"
bash scripts/bench.sh --smoke

echo "== tests"
cmake -S . -B build -DBUILD_TESTING=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure
