/* The floor of a call in quillmatch's calling convention, as a yardstick for
 * the per-call benchmarks: a function taking a positional tuple and a keyword
 * dictionary (METH_VARARGS | METH_KEYWORDS, which the scalar functions keep so
 * that they report a non-str keyword themselves) that reads both texts' UTF-8
 * in place and returns the sum of their lengths, a small int. Whatever
 * quillmatch adds to a call is measured against this.
 *
 * Built by bench/run_peers.sh for the benchmark's own interpreter (3.10 and
 * later, where the stable ABI reads UTF-8 in place). Not part of the package. */
#define Py_LIMITED_API 0x030a0000
#include <Python.h>

static PyObject* pair(PyObject* self, PyObject* args, PyObject* kwargs) {
  (void)self;
  (void)kwargs;
  PyObject* a = PyTuple_GetItem(args, 0);
  PyObject* b = a ? PyTuple_GetItem(args, 1) : NULL;
  Py_ssize_t n1 = 0, n2 = 0;
  if (!b || !PyUnicode_AsUTF8AndSize(a, &n1) || !PyUnicode_AsUTF8AndSize(b, &n2)) return NULL;
  return PyLong_FromSsize_t(n1 + n2);
}

static PyMethodDef methods[] = {
    {"pair", (PyCFunction)(void (*)(void))pair, METH_VARARGS | METH_KEYWORDS,
     "pair(str_1, str_2, **ignored) -> int: the floor of a call"},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "call_floor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_call_floor(void) { return PyModule_Create(&module); }
