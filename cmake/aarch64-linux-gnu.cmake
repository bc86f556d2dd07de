# Cross build for 64-bit ARM Linux with Debian's cross compiler and, through
# multiarch, Debian's arm64 packages (libasmjit-dev:arm64, libgtest-dev:arm64).
# Programs built here run on the host under qemu-user: CTest starts the tests
# through the emulator, and the tests start rill through it too.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# The cross C library lives apart from the host's; qemu finds the loader there.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
