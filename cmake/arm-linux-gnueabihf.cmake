# Cross-compiling for 32-bit ARM Linux with Debian's cross compiler. Debian's
# armhf is ARMv7 with hardware floating point: Raspberry Pi OS 32-bit on the
# Pi 2 and later, not the ARMv6 Pi 1 and Zero.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The architecture the Debian package is labelled with.
set(VESKLO_DEBIAN_ARCHITECTURE armhf)
