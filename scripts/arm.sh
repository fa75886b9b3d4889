#!/usr/bin/env bash
# Cross-builds the tool, the store and the whole test suite for 32-bit and
# 64-bit ARM, runs the suite for each under qemu-user (CTest runs every test
# through the toolchain file's emulator), then prints the device build's
# sizes.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh crossbuild-essential-armhf crossbuild-essential-arm64 qemu-user \
  libpugixml-dev:armhf libpugixml-dev:arm64 libgtest-dev:armhf libgtest-dev:arm64 \
  libexpat1-dev:armhf libexpat1-dev:arm64
for triple in arm-linux-gnueabihf aarch64-linux-gnu; do
  echo "== $triple: tests under qemu-user"
  cmake -S . -B "build-$triple" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" \
    -DBUILD_TESTING=ON >/dev/null
  cmake --build "build-$triple" -j"$jobs"
  ctest --test-dir "build-$triple" -j"$jobs" --output-on-failure
done
echo "== device builds"
bash scripts/sizes.sh
