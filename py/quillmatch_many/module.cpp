// The definition of quillmatch_many: multi-phase initialisation with a single
// exec slot and no per-module state, like quillmatch's. The exec step checks
// the processor first, then creates the function objects in table order,
// appends each name to __all__ and sets it as an attribute, then adds the
// Index type (in __all__), __version__ and the private _with_plan (not in it).
#include <array>

#include "common/cpu_check.h"
#include "quillmatch_many/functions.h"
#include "quillmatch_many/index.h"
#include "quillmatch_many/scores.h"
#include "common/method_table.h"

namespace quillmatch::py {

namespace {

// The order of publication, which is also the order of __all__. The pairs
// functions' text signatures show score_cutoff=None, as the binder accepts it
// absent; their bodies require it.
constexpr std::array<FunctionEntry, 12> kFunctions{{
    {kLevenshteinMatrix, levenshtein_matrix, kLevenshteinMatrixDoc},
    {kDamerauMatrix, damerau_matrix, kDamerauMatrixDoc},
    {kJaroWinklerMatrix, jaro_winkler_matrix, kJaroWinklerMatrixDoc},
    {kLevenshteinTop, levenshtein_top, kLevenshteinTopDoc},
    {kDamerauTop, damerau_top, kDamerauTopDoc},
    {kJaroWinklerTop, jaro_winkler_top, kJaroWinklerTopDoc},
    {kLevenshteinPairs, levenshtein_pairs, kLevenshteinPairsDoc},
    {kDamerauPairs, damerau_pairs, kDamerauPairsDoc},
    {kJaroWinklerPairs, jaro_winkler_pairs, kJaroWinklerPairsDoc},
    {kLevenshteinScores, levenshtein_scores, kLevenshteinScoresDoc},
    {kDamerauScores, damerau_scores, kDamerauScoresDoc},
    {kJaroWinklerScores, jaro_winkler_scores, kJaroWinklerScoresDoc},
}};

// Private, outside __all__.
PyMethodDef with_plan_def = {"_with_plan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_plan)),
                             METH_VARARGS | METH_KEYWORDS, nullptr};

int module_exec(PyObject* module) {
  PyObject* ok = guarded([&]() -> PyObject* {
    // First: nothing may reach the AVX2 core on a processor without AVX2.
    if (!check_cpu_features()) return nullptr;
    Ref all(PyList_New(0));
    Ref module_name(PyModule_GetNameObject(module));
    if (!all || !module_name) return nullptr;
    for (PyMethodDef& def : method_defs<kFunctions>()) {
      Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
      if (!function) return nullptr;
      Ref name(PyUnicode_FromString(def.ml_name));
      if (!name || PyList_Append(all.get(), name.get()) < 0 ||
          PyObject_SetAttr(module, name.get(), function.get()) < 0)
        return nullptr;
    }
    if (PyObject_SetAttr(module, names().all, all.get()) < 0) return nullptr;
    Ref index_type(make_index_type());
    Ref index_name(PyUnicode_FromString("Index"));
    if (!index_type || !index_name || PyObject_SetAttr(module, index_name.get(), index_type.get()) < 0 ||
        PyList_Append(all.get(), index_name.get()) < 0)
      return nullptr;
    Ref hook(PyCFunction_NewEx(&with_plan_def, module, module_name.get()));
    if (!hook || PyModule_AddObject(module, "_with_plan", hook.get()) < 0) return nullptr;
    hook.release();  // PyModule_AddObject took the reference
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
    PyModuleDef_HEAD_INIT, "quillmatch_many", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quillmatch::py

// The module's only exported symbol (see module.cpp for why it is spelled out).
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_quillmatch_many(void) {
  return PyModuleDef_Init(&quillmatch::py::module_def);
}
