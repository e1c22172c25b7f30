# Cross-compiling for ARM64 Linux with Debian's g++-aarch64-linux-gnu; tests
# built this way run under qemu-user (tools/test_arm64.sh does both).
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# QUILLMATCH_ARM64_PREFIXES: directories searched for ARM64 packages (the
# GoogleTest built for ARM64, an unpacked ARM64 sysroot), beside the cross
# compiler's own.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(QUILLMATCH_ARM64_PREFIXES "" CACHE STRING "Directories that hold ARM64 packages")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLMATCH_ARM64_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${QUILLMATCH_ARM64_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test discovery runs the test binary while building; the cross compiler's
# own directory holds the ARM64 C and C++ runtime it links against.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
