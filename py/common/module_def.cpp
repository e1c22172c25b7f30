#include "common/module_def.h"

#include "common/frame.h"

namespace quillmatch::py {

PyObject* public_name(PyObject* module) {
  PyModuleDef* def = PyModule_GetDef(module);
  return def ? PyUnicode_FromString(def->m_name) : nullptr;
}

int exec_module(PyObject* module, std::span<PyMethodDef> defs, ModuleAdditions additions) {
  PyObject* ok = guarded([&]() -> PyObject* {
    // The importing thread's C++ runtime state is made now, while memory is
    // at hand, not by a first throw when it may have run out.
    static_cast<void>(prepare_thread_locals());
    Ref all(PyList_New(0));
    Ref module_name(public_name(module));
    if (!all || !module_name) return nullptr;
    for (PyMethodDef& def : defs) {
      Ref function(PyCFunction_NewEx(&def, module, module_name.get()));
      if (!function) return nullptr;
      Ref name(PyUnicode_FromString(def.ml_name));
      if (!name || PyList_Append(all.get(), name.get()) < 0 ||
          PyObject_SetAttr(module, name.get(), function.get()) < 0)
        return nullptr;
    }
    if (additions && !additions(module, all.get())) return nullptr;
    if (PyObject_SetAttr(module, names().all, all.get()) < 0) return nullptr;
    if (PyModule_AddStringConstant(module, "__version__", QUILLMATCH_VERSION) < 0) return nullptr;
    return Py_None;  // borrowed marker of success, never returned to Python
  });
  return ok ? 0 : -1;
}

}  // namespace quillmatch::py
