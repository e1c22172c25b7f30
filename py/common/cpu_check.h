// What the processor offers the AVX2 back end, read by the module's entry
// (common/entry.cpp) before it runs anything of a body.
//
// The AVX2 build of the core is compiled for AVX2, BMI1, BMI2 and POPCNT
// throughout and checks nothing itself: on a processor without them, its first
// such instruction kills the interpreter with SIGILL. So the entry reads the
// processor first, and runs the AVX2 body only where all four are there and
// the operating system saves the AVX registers' state.
//
// This file, like the whole module layer, is compiled without the core's
// instruction-set flags, and neither the module layer nor the core runs code
// at load time: everything that runs before and during this check is plain
// x86-64.
#pragma once

#include <string>

namespace quillmatch::py {

// The names of what the AVX2 back end needs and this processor lacks, joined
// as "A", "A and B" or "A, B and C"; empty when it lacks nothing. AVX2 counts
// as lacking when the operating system does not save the AVX registers.
// Defined on x86-64 only.
std::string missing_for_avx2();

}  // namespace quillmatch::py
