#!/usr/bin/env bash
# Debian packages for amd64, armhf and arm64, into dist/:
#   bash scripts/package.sh [--no-lintian] [ARCH...]   (all three when none is named)
# The library goes to Debian's multiarch folder, which GNUInstallDirs picks
# for a native build only.  Each architecture is a device build (MinSizeRel, stripped) in
# build-package-ARCH, packaged by CPack (cmake/packaging.cmake); lintian then
# checks every package and fails on any error or warning that has no override.
set -euo pipefail
cd "$(dirname "$0")/.."

lintian=yes
if [ "${1:-}" = --no-lintian ]; then  # the test suite runs lintian itself
  lintian=no
  shift
fi
architectures=("$@")
((${#architectures[@]})) || architectures=(amd64 armhf arm64)
needs=(lintian dpkg-dev)
for arch in "${architectures[@]}"; do
  case $arch in
    amd64) ;;
    armhf) needs+=(crossbuild-essential-armhf libpugixml-dev:armhf) ;;
    arm64) needs+=(crossbuild-essential-arm64 libpugixml-dev:arm64) ;;
    *) echo "unknown architecture $arch (amd64, armhf, arm64)" >&2; exit 2 ;;
  esac
done
bash scripts/setup.sh "${needs[@]}"

mkdir -p dist
for arch in "${architectures[@]}"; do
  case $arch in
    amd64) triple=x86_64-linux-gnu toolchain=() ;;
    armhf) triple=arm-linux-gnueabihf toolchain=("-DCMAKE_TOOLCHAIN_FILE=cmake/$triple.cmake") ;;
    arm64) triple=aarch64-linux-gnu toolchain=("-DCMAKE_TOOLCHAIN_FILE=cmake/$triple.cmake") ;;
  esac
  dir=build-package-$arch
  echo "== $arch"
  cmake -S . -B "$dir" --no-warn-unused-cli "${toolchain[@]}" -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DBUILD_TESTING=OFF -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR="lib/$triple" -DUPDATE_CFG_PACKAGING=ON \
    -DUPDATE_CFG_UNIT_DIR=/lib/systemd/system -DUPDATE_CFG_INIT_DIR=/etc/init.d >/dev/null
  cmake --build "$dir" -j"$(nproc)" >/dev/null
  rm -rf "$dir/packages"
  (cd "$dir" && cpack >/dev/null)
  cp "$dir"/packages/*.deb dist/
done

if [ "$lintian" = yes ]; then
  echo "== lintian"
  lintian --fail-on error,warning dist/*.deb
fi
ls -l dist/*.deb
