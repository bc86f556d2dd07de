# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain. The
# "posix" variant of the compiler has the whole C++ thread library (GoogleTest
# wants it); -static in the build keeps its runtime inside the program.
# Programs built here run on the host under wine: CTest starts the tests
# through it, and the tests start rill through it too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Headers and libraries for Windows come from the toolchain's own tree and
# from prefixes given on the command line (CMAKE_PREFIX_PATH, as for an
# asmjit built for Windows), never from the host's /usr.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
