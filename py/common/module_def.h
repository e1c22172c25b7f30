// The definition both modules share: multi-phase initialisation with a single
// exec slot and no per-module state. The exec step checks the processor first,
// then creates one function object per entry of the module's function table,
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

// The module's definition, made once, with an exec slot over kTable's method
// definitions and kAdditions; what a module's PyInit_<name> returns. `name`
// is the public name (see public_name; multi-phase initialisation names the
// module by the name it is imported under, not by this one) and must outlive
// the process (a string literal).
template <const auto& kTable, ModuleAdditions kAdditions = nullptr>
PyObject* init_module(const char* name) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* module) {
         return exec_module(module, method_defs<kTable>(), kAdditions);
       })},
      {0, nullptr},
  };
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT, name, "", 0, nullptr, slots, nullptr, nullptr, nullptr,
  };
  return PyModuleDef_Init(&def);
}

}  // namespace quillmatch::py

// PyInit_<name> is each module's only exported symbol. Everything else is
// built with hidden visibility, and the headers of CPython 3.8 do not mark
// PyMODINIT_FUNC as exported, so the linkage and the visibility are spelled
// out here.
#define QUILLMATCH_PY_INIT(name) \
  extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void)
