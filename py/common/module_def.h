// The exec step both module bodies share. The module's definition
// (multi-phase initialisation, a single exec slot, no per-module state) is
// the entry's (common/entry.cpp), which chooses a back end's body and runs its
// exec step: one function object per entry of the module's function table,
// in table order, appending each name to __all__ and setting it as an
// attribute; then it runs what the module adds of its own, and sets __all__
// and __version__ (not in __all__: a star import brings the functions alone).
#pragma once

#include <Python.h>

#include <span>

#include "common/method_table.h"

namespace quillmatch::py {

// What a module publishes beyond its function table, given the module and its
// __all__ list (borrowed). Returns false with an exception set on failure.
using ModuleAdditions = bool (*)(PyObject* module, PyObject* all);

// The name a module's functions and types are published under, which they
// give as their __module__ (where pickle and help look them up): its
// definition's name, which may differ from the import name when the extension
// is the private part of a package that re-exports it (quillmatch_many is
// imported as quillmatch_many._quillmatch_many). A new reference, or null
// with an exception set.
PyObject* public_name(PyObject* module);

// The exec step over `defs`, which outlive every function object made from
// them; `additions` may be null. 0 on success, -1 with an exception set.
int exec_module(PyObject* module, std::span<PyMethodDef> defs, ModuleAdditions additions);

}  // namespace quillmatch::py

// The body's exec step, `int quillmatch_body_exec(PyObject* module)`: 0 on
// success, -1 with an exception set. Each body defines it once; the entry calls
// it under the name common/entry.cpp gives it.
#define QUILLMATCH_BODY_EXEC extern "C" int quillmatch_body_exec(PyObject* module)
