# 32-bit little-endian MIPS with Debian's cross compiler (g++-mipsel-linux-gnu)
# and a GLib sysroot made by scripts/cross-sysroot.sh. Tests run under
# qemu-mipsel, so plain `ctest` in the build tree works as on the host.
#   scripts/cross-sysroot.sh
#   cmake -S . -B build/mipsel -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mipsel-linux-gnu.cmake
# Another sysroot: -DMPREAD_MIPSEL_SYSROOT=DIR, or that variable in the
# environment of the first cmake run.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(MPREAD_TRIPLET mipsel-linux-gnu)

set(CMAKE_C_COMPILER ${MPREAD_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${MPREAD_TRIPLET}-g++)

# The C library and libstdc++ of the cross compiler live here, outside the
# GLib sysroot: giving the compiler --sysroot would hide them.
set(MPREAD_CROSS_LIBC /usr/${MPREAD_TRIPLET})
# Cached, so that a rerun of cmake during the build finds the same one
# without the environment; passed on to try_compile's projects.
if(DEFINED ENV{MPREAD_MIPSEL_SYSROOT})
  set(MPREAD_MIPSEL_SYSROOT $ENV{MPREAD_MIPSEL_SYSROOT} CACHE PATH "mipsel GLib sysroot")
elseif(NOT MPREAD_MIPSEL_SYSROOT)
  get_filename_component(MPREAD_MIPSEL_SYSROOT
    ${CMAKE_CURRENT_LIST_DIR}/../build/cross-sysroot/mipsel ABSOLUTE)
  set(MPREAD_MIPSEL_SYSROOT ${MPREAD_MIPSEL_SYSROOT} CACHE PATH "mipsel GLib sysroot")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MPREAD_MIPSEL_SYSROOT)
set(MPREAD_SYSROOT ${MPREAD_MIPSEL_SYSROOT})
if(NOT EXISTS ${MPREAD_SYSROOT}/usr/lib/${MPREAD_TRIPLET}/pkgconfig/glib-2.0.pc)
  message(FATAL_ERROR "No mipsel GLib sysroot at ${MPREAD_SYSROOT}: "
                      "run scripts/cross-sysroot.sh first")
endif()
set(MPREAD_SYSROOT_LIBDIR ${MPREAD_SYSROOT}/usr/lib/${MPREAD_TRIPLET})

set(CMAKE_FIND_ROOT_PATH ${MPREAD_CROSS_LIBC} ${MPREAD_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The host's .pc files must never be seen; the sysroot's name /usr paths.
set(ENV{PKG_CONFIG_LIBDIR} ${MPREAD_SYSROOT_LIBDIR}/pkgconfig:${MPREAD_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${MPREAD_SYSROOT})
unset(ENV{PKG_CONFIG_PATH})

# libglib-2.0.so.0 needs libpcre2-8.so.0, which the linker looks for only on
# these paths. --as-needed: CMake links C++ with -lstdc++, and the shipped
# libraries must not need it.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--as-needed -Wl,-rpath-link,${MPREAD_SYSROOT_LIBDIR}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${MPREAD_SYSROOT_LIBDIR}")

find_program(MPREAD_QEMU NAMES qemu-mipsel qemu-mipsel-static)
if(MPREAD_QEMU)
  # -L: where the guest finds /lib/ld.so.1 and libc; GLib comes from the
  # sysroot, the project's own libraries from the build tree's RUNPATH.
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${MPREAD_QEMU} -L ${MPREAD_CROSS_LIBC} -E LD_LIBRARY_PATH=${MPREAD_SYSROOT_LIBDIR})
endif()
