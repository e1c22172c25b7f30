// The module definition. Multi-phase initialisation with a single exec slot and
// no per-module state: the exec step checks the processor, then creates the
// nine function objects in table order, appends each name to __all__ and sets
// it as an attribute, then sets __version__.
#include <array>

#include "common/cpu_check.h"
#include "quillmatch/functions.h"
#include "common/method_table.h"

namespace quillmatch::py {

namespace {

// The order of publication, which is also the order of __all__.
constexpr std::array<FunctionEntry, 9> kFunctions{{
    {kLevenshteinBp, levenshtein_bp},
    {kDamerauBp, damerau_bp},
    {kJaroWinklerSimilarity, jaro_winkler_similarity},
    {kLevenshteinBatch, levenshtein_batch},
    {kDamerauBatch, damerau_batch},
    {kJaroWinklerBatch, jaro_winkler_batch},
    {kIngestOwned, ingest_owned},
    {kIngestBorrow, ingest_borrow},
    {kIngestBorrowAndDeref, ingest_borrow_and_deref},
}};

// The module's __all__, created as an empty list when absent.
Ref module_all(PyObject* module) {
  Ref all(PyObject_GetAttr(module, names().all));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttr(module, names().all, all.get()) < 0) return Ref();
  }
  if (!PyList_Check(all.get())) {
    set_type_error(all.get(), "list");
    return Ref();
  }
  return all;
}

bool add_function(PyObject* module, PyMethodDef& def) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
  if (!function) return false;
  Ref name(PyObject_GetAttr(function.get(), names().name));
  if (!name) return false;
  if (!PyUnicode_Check(name.get())) return set_type_error(name.get(), "str");
  Ref all = module_all(module);
  if (!all) return false;
  if (PyList_Append(all.get(), name.get()) < 0) {
    PyErr_Clear();
    raise_panic("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttr(module, name.get(), function.get()) == 0;
}

int module_exec(PyObject* module) {
  PyObject* ok = guarded([&]() -> PyObject* {
    // First: nothing may reach the AVX2 core on a processor without AVX2.
    if (!check_cpu_features()) return nullptr;
    for (PyMethodDef& def : method_defs<kFunctions>())
      if (!add_function(module, def)) return nullptr;
    // Not in __all__: a star import brings the functions alone.
    if (PyModule_AddStringConstant(module, "__version__", QUILLMATCH_VERSION) < 0) return nullptr;
    return Py_None;  // borrowed marker of success, never returned to Python
  });
  return ok ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillmatch",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace quillmatch::py

// The module's only exported symbol. Everything else is built with hidden
// visibility, and the headers of CPython 3.8 do not mark PyMODINIT_FUNC as
// exported, so the linkage and the visibility are spelled out here.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillmatch(void) {
  return PyModuleDef_Init(&quillmatch::py::module_def);
}
