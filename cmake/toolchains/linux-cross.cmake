# Linux on another processor with Debian's cross compiler, named by
# VELT_CROSS_PROCESSOR (aarch64, or big-endian s390x); the tests run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VELT_CROSS_PROCESSOR})
# The checks CMake compiles on its own read this file again, with this setting too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VELT_CROSS_PROCESSOR)
set(triple ${VELT_CROSS_PROCESSOR}-linux-gnu)
# GoogleTest's project enables C too.
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# qemu-user runs the executables with the target's loader and libraries, which
# Debian's cross compiler brings.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${VELT_CROSS_PROCESSOR}-static -L /usr/${triple})
