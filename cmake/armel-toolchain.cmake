# Debian's soft-float ARM EABI cross compiler, the board's class of processor.
# zlib, libasound and the target's runtime come from Debian armel packages
# that ./dev unpacks into a private sysroot; the compiler's own libc stays in
# /usr/arm-linux-gnueabi. Target programs run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabi)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

get_filename_component(TOVK_TARGET_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../.sysroot/armel" ABSOLUTE)
if(NOT EXISTS "${TOVK_TARGET_SYSROOT}/lib/ld-linux.so.3")
  message(FATAL_ERROR "no armel sysroot in ${TOVK_TARGET_SYSROOT}: run ./dev sysroot first")
endif()

set(CMAKE_FIND_ROOT_PATH "${TOVK_TARGET_SYSROOT}" /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Libraries of the sysroot need each other at link time.
string(CONCAT _tovk_rpath_link
  "-Wl,-rpath-link,${TOVK_TARGET_SYSROOT}/lib/arm-linux-gnueabi"
  " -Wl,-rpath-link,${TOVK_TARGET_SYSROOT}/usr/lib/arm-linux-gnueabi")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_tovk_rpath_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_tovk_rpath_link}")

set(ENV{PKG_CONFIG_SYSROOT_DIR} "${TOVK_TARGET_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
  "${TOVK_TARGET_SYSROOT}/usr/lib/arm-linux-gnueabi/pkgconfig:${TOVK_TARGET_SYSROOT}/usr/share/pkgconfig")

# The static build of qemu: a preload library set for the target never
# reaches the host's loader. An ARMv5TE core, like the board's, so that an
# instruction the board lacks fails the tests.
find_program(TOVK_QEMU_ARM qemu-arm-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${TOVK_QEMU_ARM};-cpu;arm926;-L;${TOVK_TARGET_SYSROOT}")

# GCC notes every std::vector iterator passed by value since its 7.1 ABI
# change on ARM; nothing here mixes code from older compilers.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")
