# Shared by the musl toolchain files: Debian's musl-gcc wrapper for
# MUSL_TRIPLE (musl-dev), which puts musl's headers and libc in place of
# glibc's and leaves out the C++ headers.  It compiles the tool's C++ sources
# as well and links them without libstdc++: the tool uses nothing of the C++
# library or runtime, and a build that did would fail here.  Only the tool is
# built (UPDATE_CFG_TOOL_ONLY): Debian builds no C++ runtime for musl, and on
# such a device the vendor's libxml.so is the store.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${MUSL_PROCESSOR})
set(CMAKE_C_COMPILER ${MUSL_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${MUSL_TRIPLE}-gcc)
set(CMAKE_CXX_FLAGS_INIT "-fno-exceptions -fno-rtti")
set(CMAKE_LIBRARY_ARCHITECTURE ${MUSL_TRIPLE})
if(MUSL_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${MUSL_QEMU})
endif()
set(UPDATE_CFG_TOOL_ONLY ON CACHE BOOL "Build the tool alone, for the device's libxml.so" FORCE)
