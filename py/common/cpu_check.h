// The processor check of the exec step.
//
// The AVX2 build of the core (QUILLMATCH_SIMD=avx2, the published x86-64
// wheel's) is compiled for AVX2, BMI1, BMI2 and POPCNT throughout and checks nothing
// itself: on a processor without them, its first such instruction kills the
// interpreter with SIGILL. The exec step calls this before anything else, so
// that such a processor gets an ImportError instead. Only the import checks;
// the computing paths rely on it having passed. The NEON and portable builds
// need no check, and pass this one always.
//
// This file, like the rest of the module layer, is compiled without the core's
// instruction-set flags, and the core runs no code at load time: everything
// that runs before and during this check is plain x86-64.
#pragma once

#include <Python.h>

namespace quillmatch::py {

// True when the processor, and the operating system for the AVX registers'
// state, support every instruction set the core uses. Otherwise false, with an
// ImportError set that names the missing ones. Needs the interpreter lock.
bool check_cpu_features();

}  // namespace quillmatch::py
