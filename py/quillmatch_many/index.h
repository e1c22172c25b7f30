// The Index type of quillmatch_many.
#pragma once

#include <Python.h>

namespace quillmatch::py {

// A new reference to a new Index type, or null with an exception set.
PyObject* make_index_type();

}  // namespace quillmatch::py
