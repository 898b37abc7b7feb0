# Shared part of the MinGW-w64 cross toolchains; TOOLCHAIN_PREFIX and
# CMAKE_SYSTEM_PROCESSOR come from the file that includes this one. The win32
# thread model: the programs make their threads with the platform's API, and
# the posix model would link the winpthread library into both of them (the
# test framework is built without its own threading, tests/CMakeLists.txt).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${TOOLCHAIN_PREFIX}-gcc-win32)
set(CMAKE_CXX_COMPILER ${TOOLCHAIN_PREFIX}-g++-win32)
set(CMAKE_RC_COMPILER  ${TOOLCHAIN_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
