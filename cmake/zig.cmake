# Builds with Zig's C and C++ compilers (clang, with libc++ and the compiler
# runtime linked statically) against the symbols of an old glibc, so that the
# modules load on every Linux of the manylinux_2_17 policy, whichever glibc
# the build machine has. What pyproject.toml selects on Linux; Zig comes from
# the ziglang package of the build environment.
#
#   QUILLMATCH_ZIG_TARGET  Zig's target triple with the glibc version, by default
#                          <this machine's processor>-linux-gnu.2.17; e.g.
#                          aarch64-linux-gnu.2.17 cross-compiles for ARM64.
#   QUILLMATCH_ZIG         the zig executable, by default the one of the
#                          ziglang package that Python_EXECUTABLE (or python3)
#                          imports.
#
# The first build for a target also builds libc++ for it (about two minutes on
# two cores); Zig keeps it in its cache for the next builds.

set(QUILLMATCH_ZIG "" CACHE FILEPATH "The zig executable")
set(QUILLMATCH_ZIG_TARGET "" CACHE STRING "Zig's target triple, glibc version included")
# Compiler checks run in projects of their own, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUILLMATCH_ZIG QUILLMATCH_ZIG_TARGET)

if(NOT QUILLMATCH_ZIG)
  set(python "${Python_EXECUTABLE}")
  if(NOT python)
    find_program(python NAMES python3 python REQUIRED)
  endif()
  execute_process(
    COMMAND "${python}" -c "import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), 'zig'))"
    OUTPUT_VARIABLE zig OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT EXISTS "${zig}")
    message(FATAL_ERROR "cmake/zig.cmake: ${python} finds no ziglang package (pip install ziglang)")
  endif()
  set(QUILLMATCH_ZIG "${zig}" CACHE FILEPATH "The zig executable" FORCE)
endif()

string(TOLOWER "${CMAKE_HOST_SYSTEM_PROCESSOR}" host_processor)
if(host_processor STREQUAL "amd64")
  set(host_processor x86_64)
elseif(host_processor STREQUAL "arm64")
  set(host_processor aarch64)
endif()
if(NOT QUILLMATCH_ZIG_TARGET)
  set(QUILLMATCH_ZIG_TARGET "${host_processor}-linux-gnu.2.17" CACHE STRING
      "Zig's target triple, glibc version included" FORCE)
endif()
string(REGEX MATCH "^[^-]+" target_processor "${QUILLMATCH_ZIG_TARGET}")
if(NOT target_processor STREQUAL host_processor)
  set(CMAKE_SYSTEM_NAME Linux)
  set(CMAKE_SYSTEM_PROCESSOR "${target_processor}")
endif()

# An explicit target makes Zig compile for that processor family's baseline
# (plain x86-64, no AVX), libc++ included; the AVX2 core adds its own flags.
set(CMAKE_C_COMPILER "${QUILLMATCH_ZIG}" cc -target "${QUILLMATCH_ZIG_TARGET}")
set(CMAKE_CXX_COMPILER "${QUILLMATCH_ZIG}" c++ -target "${QUILLMATCH_ZIG_TARGET}")
# CPython 3.8's Python.h includes <crypt.h>, which those old glibc headers
# lack: an empty one stands in, searched after every system folder.
# Zig keeps frame pointers at every optimization level, which costs the lane
# loops a register; GCC and clang drop them from -O2 on, and unwinding reads
# the call frame tables either way.
set(CMAKE_C_FLAGS_INIT "-idirafter \"${CMAKE_CURRENT_LIST_DIR}/zig-include\" -fomit-frame-pointer")
set(CMAKE_CXX_FLAGS_INIT "-idirafter \"${CMAKE_CURRENT_LIST_DIR}/zig-include\" -fomit-frame-pointer")
# ar and ranlib must read the target's objects, which the build machine's
# binutils may not; CMake takes a single program for each, hence the wrappers.
foreach(tool ar ranlib)
  set(wrapper "${CMAKE_BINARY_DIR}/zig-${tool}")
  file(WRITE "${wrapper}" "#!/bin/sh\nexec \"${QUILLMATCH_ZIG}\" ${tool} \"$@\"\n")
  file(CHMOD "${wrapper}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
       WORLD_READ WORLD_EXECUTE)
  string(TOUPPER "${tool}" tool_upper)
  set(CMAKE_${tool_upper} "${wrapper}" CACHE FILEPATH "Zig's ${tool}" FORCE)
endforeach()
