// quillmatch_many.Index: a heap type (the stable ABI has no static types)
// whose objects hold a built JoinIndex and the arguments that built it.
//
// An Index is immutable once made: its searches only read the JoinIndex,
// which they share (a run holds it too), so any number of threads may search
// one Index at once, each with the lock released while it searches.
#include <new>

#include "quillmatch_many/functions.h"
#include "quillmatch_many/index.h"

namespace quillmatch::py {

namespace {

struct IndexObject {
  PyObject_HEAD
  IndexParts* parts;  // owned; null only while the object is being made
};

IndexParts& parts_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->parts; }

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    auto parts = std::make_unique<IndexParts>();
    if (!build_index(args, kwargs, *parts)) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<IndexObject*>(self)->parts = parts.release();
    return self;
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<IndexObject*>(self)->parts;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);  // instances of heap types hold their type
}

Py_ssize_t index_len(PyObject* self) { return static_cast<Py_ssize_t>(parts_of(self).index->size()); }

PyObject* index_repr(PyObject* self) {
  const IndexParts& ix = parts_of(self);
  // (candidates, measure, cutoff, case_insensitive, p, workers, normalized)
  PyObject* a = ix.arguments.get();
  PyObject* p = PyTuple_GetItem(a, 4);
  if (PyTuple_GetItem(a, 6) == Py_True)
    return PyUnicode_FromFormat("Index(<%zd texts>, %R, score_cutoff=%R, case_insensitive=%R, normalized=True)",
                                static_cast<Py_ssize_t>(ix.index->size()), PyTuple_GetItem(a, 1),
                                PyTuple_GetItem(a, 2), PyTuple_GetItem(a, 3));
  if (p == Py_None)
    return PyUnicode_FromFormat("Index(<%zd texts>, %R, score_cutoff=%R, case_insensitive=%R)",
                                static_cast<Py_ssize_t>(ix.index->size()), PyTuple_GetItem(a, 1),
                                PyTuple_GetItem(a, 2), PyTuple_GetItem(a, 3));
  return PyUnicode_FromFormat("Index(<%zd texts>, %R, score_cutoff=%R, case_insensitive=%R, p=%R)",
                              static_cast<Py_ssize_t>(ix.index->size()), PyTuple_GetItem(a, 1),
                              PyTuple_GetItem(a, 2), PyTuple_GetItem(a, 3), p);
}

PyObject* index_reduce(PyObject* self, PyObject*) {
  return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), parts_of(self).arguments.get());
}

PyObject* index_top_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return index_top(parts_of(self), args, nargs, kwnames);
}

PyObject* index_pairs_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return index_pairs(parts_of(self), args, nargs, kwnames);
}

template <auto F>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef index_methods[] = {
    {"top", as_cfunction<index_top_method>(), kMethVectorcall,
     "top($self, queries, k, score_cutoff=None, workers=None)\n--\n\n"
     "Per query its best k candidates within the cutoff (the index's when None, or a\n"
     "tighter one): (indices, scores, counts), exactly as {measure}_top(queries,\n"
     "candidates, k, score_cutoff, ...) returns them."},
    {"pairs", as_cfunction<index_pairs_method>(), kMethVectorcall,
     "pairs($self, queries=None, score_cutoff=None, workers=None)\n--\n\n"
     "Every (query, candidate) pair within the cutoff, or, without queries, every pair\n"
     "i < j of the candidates: (query_indices, candidate_indices, scores), exactly as\n"
     "{measure}_pairs returns them."},
    {"__reduce__", index_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kIndexDoc =
    "Index(candidates, measure, score_cutoff, case_insensitive=None, p=None, workers=None, normalized=None)\n--\n\n"
    "The candidates prepared once for searches within score_cutoff, by measure\n"
    "('levenshtein', 'damerau' or 'jaro_winkler'; only 'jaro_winkler' takes p).\n"
    "With normalized=True (not for 'jaro_winkler', a TypeError) the edit\n"
    "distance is scored as the similarity 1 - d / max(m, n), m and n the texts'\n"
    "lengths in code points after any folding, and score_cutoff is a\n"
    "similarity in [0, 1], as for {measure}_top(..., normalized=True).\n"
    "\n"
    "Returns an immutable index: index.top(queries, k) and index.pairs(queries)\n"
    "return exactly what the module's {measure}_top and {measure}_pairs return\n"
    "for these candidates, with the index's cutoff or a tighter one;\n"
    "index.pairs() pairs the candidates with each other. workers is the\n"
    "searches' default. An index pickles with its texts.\n"
    "\n"
    ">>> index = qmm.Index([\"Jon Smith\", \"John Smith\", \"Jane Doe\"], \"damerau\", 2)\n"
    ">>> index.top([\"Jon Smyth\"], 2)[0].tolist()\n"
    "[[0, 1]]\n";

PyType_Slot index_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(index_repr)},
    {Py_sq_length, reinterpret_cast<void*>(index_len)},
    {Py_tp_methods, index_methods},
    {Py_tp_doc, const_cast<char*>(kIndexDoc)},
    {0, nullptr},
};

PyType_Spec index_spec = {"quillmatch_many.Index", sizeof(IndexObject), 0, Py_TPFLAGS_DEFAULT,
                          index_slots};

}  // namespace

PyObject* make_index_type() { return PyType_FromSpec(&index_spec); }

}  // namespace quillmatch::py
