# Cross build for the gateway: 32-bit little-endian MIPS, glibc, /lib/ld.so.1.
#
# KPM_CROSS_PREFIX names the cross tools: the compilers are
# ${KPM_CROSS_PREFIX}gcc and ${KPM_CROSS_PREFIX}g++, found on PATH unless the
# prefix holds a folder. The default is Debian's mipsel-linux-gnu toolchain,
# MIPS32 release 2, o32, hard-float; a gateway with another float ABI needs a
# toolchain built for it (a vendor's, with its own C and C++ runtime).
#
# KPM_SYSROOT holds the libraries the project compiles against (jsoncpp,
# Boost headers) and the runtime qemu-mipsel loads the tests with. The
# default is the one scripts/mipsel-sysroot.sh fills from Debian's mipsel
# packages. The compiler keeps its own sysroot: Debian's cross compilers
# bring their C and C++ runtime under /usr/mipsel-linux-gnu, a vendor's has
# its built-in one.
#
# ctest runs the cross-built tests under qemu-mipsel on a 24Kf core: MIPS32
# release 2 with an FPU, which traps on misaligned word loads as the
# gateway's core does.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(KPM_CROSS_PREFIX "mipsel-linux-gnu-" CACHE STRING
    "Prefix of the cross tools: a name on PATH or a path, e.g. /opt/vendor/bin/mipsel-linux-")
set(KPM_SYSROOT "${CMAKE_BINARY_DIR}/sysroot" CACHE PATH
    "mipsel libraries and runtime, as built by scripts/mipsel-sysroot.sh")
# try_compile projects read this file again from their own binary directory.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KPM_CROSS_PREFIX KPM_SYSROOT)

set(CMAKE_C_COMPILER ${KPM_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${KPM_CROSS_PREFIX}g++)

if(NOT EXISTS "${KPM_SYSROOT}/lib/ld.so.1")
    message(FATAL_ERROR "No mipsel sysroot at ${KPM_SYSROOT}: "
                        "run scripts/mipsel-sysroot.sh ${KPM_SYSROOT} first")
endif()

set(CMAKE_FIND_ROOT_PATH "${KPM_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KPM_QEMU_MIPSEL qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KPM_QEMU_MIPSEL};-cpu;24Kf;-L;${KPM_SYSROOT}")
