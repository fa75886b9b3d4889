# Cross-build for arm-linux-gnueabihf with Debian's cross compiler and multiarch
# libraries (dpkg --add-architecture); tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)

# Headers and libraries come from the multiarch folders of this system.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
