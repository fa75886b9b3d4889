# The tool alone on musl for 32-bit ARM, hard float (musl-dev:armhf, with the
# armhf cross compiler), run under qemu-arm.
set(MUSL_TRIPLE arm-linux-musleabihf)
set(MUSL_PROCESSOR arm)
set(MUSL_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/musl.cmake)
