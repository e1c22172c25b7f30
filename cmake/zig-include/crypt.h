/* Python.h of CPython 3.8 includes <crypt.h> when the interpreter's own build
   found one; the glibc 2.17 headers that Zig builds against have none (libcrypt
   ships apart). Nothing of it is used here: this empty header stands in for it,
   searched only after every system folder (-idirafter, cmake/zig.cmake). */
#pragma once
