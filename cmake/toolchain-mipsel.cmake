# Cross build for the gateway: 32-bit little-endian MIPS, glibc, /lib/ld.so.1.
#
# Debian's mipsel-linux-gnu compilers bring their own C and C++ runtime (under
# /usr/mipsel-linux-gnu), so no compiler sysroot is set. The libraries the
# project compiles against (jsoncpp, Boost) are found only in
# KPM_MIPSEL_SYSROOT, which scripts/mipsel-sysroot.sh fills from Debian's
# mipsel packages together with the runtime qemu-mipsel loads programs with.
#
# ctest runs the cross-built tests under qemu-mipsel on a 24Kf core: MIPS32
# release 2 with an FPU (Debian's binaries are hard-float), which traps on
# misaligned word loads as the gateway's core does.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mipsel)
set(CMAKE_LIBRARY_ARCHITECTURE mipsel-linux-gnu)

set(CMAKE_C_COMPILER mipsel-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER mipsel-linux-gnu-g++)

set(KPM_MIPSEL_SYSROOT "${CMAKE_BINARY_DIR}/sysroot" CACHE PATH
    "mipsel libraries and runtime, as built by scripts/mipsel-sysroot.sh")
# try_compile projects read this file again from their own binary directory.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KPM_MIPSEL_SYSROOT)
if(NOT EXISTS "${KPM_MIPSEL_SYSROOT}/lib/ld.so.1")
    message(FATAL_ERROR "No mipsel sysroot at ${KPM_MIPSEL_SYSROOT}: "
                        "run scripts/mipsel-sysroot.sh ${KPM_MIPSEL_SYSROOT} first")
endif()

set(CMAKE_FIND_ROOT_PATH "${KPM_MIPSEL_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(KPM_QEMU_MIPSEL qemu-mipsel REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR "${KPM_QEMU_MIPSEL};-cpu;24Kf;-L;${KPM_MIPSEL_SYSROOT}")
