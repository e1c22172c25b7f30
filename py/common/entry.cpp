// The module's entry: PyInit_<name> and the module's definition, whose exec
// step chooses, once, the back end whose body it runs. Compiled once per
// module (QUILLMATCH_MODULE_NAME) without any instruction-set flag, and it
// calls nothing of a body before it has chosen it, so that the import runs no
// AVX2 instruction on a processor without AVX2.
//
// Which bodies the module carries is fixed when it is built (py/CMakeLists.txt):
// QUILLMATCH_MODULE_<BACK END> for each. The x86-64 build carries the AVX2 and
// the portable bodies, each linked apart with its symbols suffixed by its back
// end's name (QUILLMATCH_MODULE_RENAMED, cmake/isolate_backend.cmake); it runs
// the AVX2 one where the processor has everything it needs, else the portable
// one. A build with the AVX2 body alone refuses the import on a processor
// without it. The module publishes the back end it runs as `simd`.
#include <Python.h>

#include <new>
#include <string>

#include "common/cpu_check.h"
#include "common/module_def.h"

#if defined(QUILLMATCH_MODULE_RENAMED)
#if !defined(QUILLMATCH_MODULE_AVX2) || !defined(QUILLMATCH_MODULE_PORTABLE)
#error "the renamed bodies are the AVX2 and the portable ones"
#endif
extern "C" int quillmatch_body_exec_avx2(PyObject* module) __asm__("quillmatch_body_exec.avx2");
extern "C" int quillmatch_body_exec_portable(PyObject* module) __asm__("quillmatch_body_exec.portable");
#else
QUILLMATCH_BODY_EXEC;
#endif

namespace quillmatch::py {

namespace {

struct Backend {
  const char* name;
  int (*exec)(PyObject* module);
};

// The back end this module runs on this processor; null with ImportError set
// when it carries none that the processor can run.
const Backend* choose_backend() {
#if defined(QUILLMATCH_MODULE_RENAMED)
  static constexpr Backend kAvx2{"avx2", quillmatch_body_exec_avx2};
  static constexpr Backend kPortable{"portable", quillmatch_body_exec_portable};
  return missing_for_avx2().empty() ? &kAvx2 : &kPortable;
#elif defined(QUILLMATCH_MODULE_AVX2)
  static constexpr Backend kAvx2{"avx2", quillmatch_body_exec};
  const std::string missing = missing_for_avx2();
  if (missing.empty()) return &kAvx2;
  const std::string message =
      "quillmatch needs a processor with AVX2, BMI1, BMI2 and POPCNT; this one lacks " + missing;
  PyErr_SetString(PyExc_ImportError, message.c_str());
  return nullptr;
#elif defined(QUILLMATCH_MODULE_NEON)
  // NEON is part of every AArch64 processor.
  static constexpr Backend kNeon{"neon", quillmatch_body_exec};
  return &kNeon;
#elif defined(QUILLMATCH_MODULE_PORTABLE)
  static constexpr Backend kPortable{"portable", quillmatch_body_exec};
  return &kPortable;
#else
#error "define the back ends the module carries (QUILLMATCH_MODULE_<BACK END>)"
#endif
}

int exec_chosen(PyObject* module) {
  // A C++ exception must not cross into the interpreter; only the AVX2-only
  // build's message can throw (std::bad_alloc) here.
  const Backend* backend = nullptr;
  try {
    backend = choose_backend();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  if (!backend || backend->exec(module) < 0) return -1;
  return PyModule_AddStringConstant(module, "simd", backend->name);
}

}  // namespace

}  // namespace quillmatch::py

#define QUILLMATCH_STRINGIFY_(x) #x
#define QUILLMATCH_STRINGIFY(x) QUILLMATCH_STRINGIFY_(x)
#define QUILLMATCH_CONCAT_(a, b) a##b
#define QUILLMATCH_CONCAT(a, b) QUILLMATCH_CONCAT_(a, b)

// PyInit_<file name> is each module's only exported symbol. Everything else is
// built with hidden visibility, and the headers of CPython 3.8 do not mark
// PyMODINIT_FUNC as exported, so the linkage and the visibility are spelled
// out here.
extern "C" __attribute__((visibility("default"))) PyObject* QUILLMATCH_CONCAT(PyInit_, QUILLMATCH_MODULE_FILE)(
    void) {
  static PyModuleDef_Slot slots[] = {
      {Py_mod_exec, reinterpret_cast<void*>(quillmatch::py::exec_chosen)},
      {0, nullptr},
  };
  static PyModuleDef def = {
      PyModuleDef_HEAD_INIT, QUILLMATCH_STRINGIFY(QUILLMATCH_MODULE_NAME), "", 0, nullptr, slots, nullptr,
      nullptr, nullptr,
  };
  return PyModuleDef_Init(&def);
}
