#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: static checks, the tests
# under AddressSanitizer and UndefinedBehaviorSanitizer, each fuzzer for a
# bounded time (FUZZ_SECONDS, 60 by default), the suite cross-built for 32-
# and 64-bit ARM under qemu-user, a smoke run of the benchmark, the tool
# built on musl and the Debian packages for three architectures, then the
# tests as built for use (with them the musl builds against the glibc one,
# and the packages).
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

echo "== the tool on musl, Debian packages"
bash scripts/setup.sh musl-dev musl-dev:armhf crossbuild-essential-armhf qemu-user
musl_builds=()
for triple in x86_64-linux-musl arm-linux-musleabihf; do
  cmake -S . -B "build-$triple" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel >/dev/null
  cmake --build "build-$triple" -j"$jobs" >/dev/null
  musl_builds+=("$PWD/build-$triple")
done
rm -rf dist
bash scripts/package.sh --no-lintian  # the package tests run lintian

echo "== tests"
cmake -S . -B build -DBUILD_TESTING=ON -DUPDATE_CFG_MUSL_BUILDS="$(IFS=';'; echo "${musl_builds[*]}")" \
  -DUPDATE_CFG_PACKAGES="$PWD/dist" >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure
