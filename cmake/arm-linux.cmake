# Cross-compiling for ARM Linux with Debian's cross compilers. VESKLO_TRIPLET
# says which:
#   aarch64-linux-gnu     arm64: Raspberry Pi OS 64-bit, the Pi 3 and later
#   arm-linux-gnueabihf   armhf: ARMv7 with hardware floating point, Raspberry
#                         Pi OS 32-bit on the Pi 2 and later, not the ARMv6
#                         Pi 1 and Zero
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux.cmake -DVESKLO_TRIPLET=...
set(VESKLO_TRIPLET aarch64-linux-gnu CACHE STRING "the cross compiler's triplet")
# CMake's own test builds read this file again, and need the triplet too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VESKLO_TRIPLET)
if(VESKLO_TRIPLET STREQUAL "aarch64-linux-gnu")
  set(CMAKE_SYSTEM_PROCESSOR aarch64)
  set(VESKLO_DEBIAN_ARCHITECTURE arm64)
elseif(VESKLO_TRIPLET STREQUAL "arm-linux-gnueabihf")
  set(CMAKE_SYSTEM_PROCESSOR armv7l)
  set(VESKLO_DEBIAN_ARCHITECTURE armhf)
else()
  message(FATAL_ERROR "VESKLO_TRIPLET: aarch64-linux-gnu or arm-linux-gnueabihf, not ${VESKLO_TRIPLET}")
endif()
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${VESKLO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VESKLO_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${VESKLO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
