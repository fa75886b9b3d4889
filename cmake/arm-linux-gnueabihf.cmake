# 32-bit ARM, hard float (dpkg architecture armhf).
set(CROSS_TRIPLE arm-linux-gnueabihf)
set(CROSS_PROCESSOR arm)
set(CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
