# Cross-build for aarch64-linux-gnu with Debian's cross compiler and multiarch
# libraries (dpkg --add-architecture); tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-aarch64)

# Headers and libraries come from the multiarch folders of this system.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
