# Cross-building for 32-bit ARM hard-float Linux (Debian armhf) on a Debian amd64 machine:
#   cmake -S . -B build-armhf -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
# scripts/build-armhf installs what this expects: Debian's cross compiler, the armhf libraries
# as multiarch packages, and a side sysroot (TAVREL_ARMHF_SYSROOT) holding the armhf -dev
# packages that cannot be installed beside their amd64 copies. The built programs and tests run
# under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TAVREL_ARMHF_TRIPLET arm-linux-gnueabihf)
set(TAVREL_ARMHF_SYSROOT /opt/tavrel-armhf-sysroot CACHE PATH
    "Side sysroot with the armhf -dev packages that are not co-installable")

set(CMAKE_C_COMPILER ${TAVREL_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAVREL_ARMHF_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${TAVREL_ARMHF_TRIPLET})
# GCC notes that the parameter-passing ABI of some types changed in GCC 7; nothing here mixes
# objects built by older compilers.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Libraries, headers and CMake packages: the side sysroot first, then the multiarch ones.
set(CMAKE_FIND_ROOT_PATH ${TAVREL_ARMHF_SYSROOT} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR}
    "${TAVREL_ARMHF_SYSROOT}/usr/lib/${TAVREL_ARMHF_TRIPLET}/pkgconfig:/usr/lib/${TAVREL_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The side sysroot's libraries (CAF, the RTSP server library) are found at run time through the
# build tree's RPATH; installed programs use the target's /usr/lib.
set(CMAKE_BUILD_RPATH ${TAVREL_ARMHF_SYSROOT}/usr/lib/${TAVREL_ARMHF_TRIPLET})

# Test programs run under qemu-user with the armhf loader and libraries of the multiarch
# packages; programs they start run through binfmt_misc.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
