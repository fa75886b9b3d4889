# Shared by the toolchain files: Debian's cross compiler for CROSS_TRIPLE,
# the multiarch libraries of this system, and qemu-user to run the tests.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CROSS_TRIPLE})
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${CROSS_QEMU})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config (which find modules such as FindEXPAT ask first) must see the
# target's multiarch libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig")
