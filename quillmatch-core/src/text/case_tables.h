// Lookups into the Unicode case tables generated from the Unicode Character
// Database (see case_tables.cpp, written by tools/gen_case_tables.py).
//
// Only code points from U+0080 up are looked up here; ASCII is handled inline by
// the callers. Every lookup is a couple of array reads, no search.
#pragma once

namespace quillmatch::unicode {

// The simple lowercase mapping of `cp`, or `cp` itself when it has none.
// U+0130 gives U+0069 here; its full mapping adds U+0307, which fold_case
// appends. U+03A3 gives U+03C3; fold_case decides final sigma from context.
char32_t lowercase(char32_t cp);

// The derived core properties Cased and Case_Ignorable.
bool is_cased(char32_t cp);
bool is_case_ignorable(char32_t cp);

}  // namespace quillmatch::unicode
