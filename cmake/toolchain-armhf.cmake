# Cross-builds for the 32-bit ARM appliance (ARMv7, hard float) with Debian's
# arm-linux-gnueabihf toolchain and the armhf multiarch libraries
# (scripts/install-deps --armhf installs both). Programs built here run on the
# build machine under qemu-arm: CTest and test discovery start them through
# CMAKE_CROSSCOMPILING_EMULATOR, and the tests start the ARM programs they
# drive through the same emulator (DV_TEST_EMULATOR).
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
#
# The plugin SDK installs this file as share/devovor/toolchain-armhf.cmake,
# to build a plugin for the appliance against the armhf SDK:
#
#   cmake -S my-plugin -B build-armhf -DCMAKE_PREFIX_PATH=<armhf SDK>/usr \
#         -DCMAKE_TOOLCHAIN_FILE=<armhf SDK>/usr/share/devovor/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# Plain qemu-arm: armhf multiarch puts the loader at /lib/ld-linux-armhf.so.3
# and the libraries under /usr/lib/arm-linux-gnueabihf, so no -L prefix is
# needed (one would mix the cross toolchain's C library with the multiarch one).
find_program(DV_QEMU_ARM qemu-arm)
if(DV_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${DV_QEMU_ARM})
endif()

# GCC notes on every use of Boost.Asio that the parameter passing of some
# structures changed in GCC 7 on ARM; nothing here mixes compilers.
set(CMAKE_C_FLAGS_INIT "-Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
# A 64-bit time_t (and off_t, which glibc requires with it): armhf's
# default time_t is 32 bits and ends in January 2038. Every program and
# plugin built with this file agrees with the core, whether or not it uses
# the SDK's CMake package.
string(APPEND CMAKE_C_FLAGS_INIT " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")
string(APPEND CMAKE_CXX_FLAGS_INIT " -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64")

# Libraries and headers from the multiarch tree only; programs from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_FIND_ROOT_PATH /)

# pkg-config reads the armhf .pc files, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
