#!/usr/bin/env bash
# Release builds for the device (optimized for size, stripped) for 32-bit and
# 64-bit ARM, and a markdown table of what each costs.  The store is measured
# self-contained (pugixml and the C++ runtime linked in) and with pugixml and
# libstdc++ as shared libraries.  Fails if the tool needs anything but the C
# library and libxml.so.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "| target | update_cfg | libxml.so, self-contained | libxml.so with shared pugixml: + libpugixml.so.1 + libstdc++.so.6 | update_cfg needs |"
echo "|---|---|---|---|---|"
for triple in arm-linux-gnueabihf aarch64-linux-gnu; do
  for contained in ON OFF; do
    dir=build-release-$triple-$contained
    cmake -S . -B "$dir" --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" -DCMAKE_BUILD_TYPE=MinSizeRel \
      -DBUILD_TESTING=OFF -DXML_STORE_SELF_CONTAINED=$contained >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target update_cfg xml_store >/dev/null
    "$triple-strip" -o "$dir/update_cfg.stripped" "$dir/update_cfg/update_cfg"
    "$triple-strip" -o "$dir/libxml.so.stripped" "$dir/store/libxml.so"
  done
  tool=$(stat -c %s "build-release-$triple-ON/update_cfg.stripped")
  store_on=$(stat -c %s "build-release-$triple-ON/libxml.so.stripped")
  store_off=$(stat -c %s "build-release-$triple-OFF/libxml.so.stripped")
  pugi=$(stat -L -c %s "/usr/lib/$triple/libpugixml.so.1")
  stdcxx=$(stat -L -c %s "/usr/$triple/lib/libstdc++.so.6")
  needed=$("$triple-readelf" -d "build-release-$triple-ON/update_cfg.stripped" |
    sed -n 's/.*Shared library: \[\(.*\)\]/\1/p' | paste -sd, -)
  for library in ${needed//,/ }; do
    case $library in
      libxml.so | libc.so.* | ld-linux*) ;;
      *) echo "update_cfg for $triple needs $library: $needed" >&2; exit 1 ;;
    esac
  done
  echo "| $triple | $tool B | $store_on B | $store_off B + $pugi B + $stdcxx B | $needed |"
done
