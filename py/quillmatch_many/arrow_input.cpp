#include "quillmatch_many/arrow_input.h"

#include <cstring>
#include <utility>

#include "common/frame.h"

namespace quillmatch::py {

namespace {

constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";
constexpr const char* kStreamCapsule = "arrow_array_stream";

// A struct the producer handed to this module: released exactly once, when
// its holder ends (with the lock held, as a capsule would release it).
template <class T>
class Owned {
 public:
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    if (s.release) s.release(&s);
  }
  // Moves the struct out of a capsule, as the C Data Interface allows (a
  // bitwise copy, the source marked released): the capsule, when it dies,
  // then releases nothing, and a second consumer sees it released.
  void take_from(PyObject* capsule, const char* name) {
    T* source = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
    s = *source;
    source->release = nullptr;
  }
  T s{};
};

bool type_has(PyObject* obj, const char* name) {
  // Looked up on the type, as the interpreter looks up special methods: an
  // instance's __getattr__ is never run.
  const int has = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), name);
  return has == 1;
}

bool str_attr_is(PyObject* obj, const char* attr, const char* value) {
  Ref v(PyObject_GetAttrString(obj, attr));
  const bool is = v && PyUnicode_Check(v.get()) && PyUnicode_CompareWithASCIIString(v.get(), value) == 0;
  PyErr_Clear();
  return is;
}

bool is_pandas_series(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (!str_attr_is(type, "__name__", "Series")) return false;
  Ref module(PyObject_GetAttrString(type, "__module__"));
  bool pandas = false;
  if (module && PyUnicode_Check(module.get())) {
    Ref prefix(PyUnicode_FromString("pandas"));
    pandas = prefix && PyUnicode_Tailmatch(module.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1) == 1;
  }
  PyErr_Clear();
  return pandas;
}

// pandas' StringDtype keeps its strings in Arrow when its storage is "pyarrow".
bool arrow_backed_strings(PyObject* series) {
  Ref dtype(PyObject_GetAttrString(series, "dtype"));
  const bool backed = dtype && str_attr_is(dtype.get(), "storage", "pyarrow");
  PyErr_Clear();
  return backed;
}

template <class T>
bool released(PyObject* capsule, const char* name) {
  return !static_cast<T*>(PyCapsule_GetPointer(capsule, name))->release;
}

bool refuse(const char* message) {
  PyErr_SetString(PyExc_TypeError, message);
  return false;
}

}  // namespace

// What the producer handed over. Members end in reverse order: the arrays
// before the stream that made them.
struct ArrowInput::Chunks {
  Owned<ArrowArrayStream> stream;
  Owned<ArrowSchema> schema;
  std::vector<std::unique_ptr<Owned<ArrowArray>>> arrays;
};

ArrowInput::ArrowInput() = default;
ArrowInput::~ArrowInput() = default;

bool ArrowInput::offered_by(PyObject* obj) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyUnicode_Check(obj)) return false;
  if (!type_has(obj, "__arrow_c_array__") && !type_has(obj, "__arrow_c_stream__")) return false;
  return !is_pandas_series(obj) || arrow_backed_strings(obj);
}

bool ArrowInput::take(PyObject* obj) {
  if (type_has(obj, "__arrow_c_array__")) {
    Ref pair(PyObject_CallMethod(obj, "__arrow_c_array__", nullptr));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2 ||
        !PyCapsule_IsValid(PyTuple_GetItem(pair.get(), 0), kSchemaCapsule) ||
        !PyCapsule_IsValid(PyTuple_GetItem(pair.get(), 1), kArrayCapsule))
      return refuse("__arrow_c_array__ must return a pair of 'arrow_schema' and 'arrow_array' capsules");
    PyObject* schema = PyTuple_GetItem(pair.get(), 0);
    PyObject* array = PyTuple_GetItem(pair.get(), 1);
    if (released<ArrowSchema>(schema, kSchemaCapsule) || released<ArrowArray>(array, kArrayCapsule))
      return refuse("the Arrow array has already been released");
    chunks_ = std::make_unique<Chunks>();
    chunks_->schema.take_from(schema, kSchemaCapsule);
    chunks_->arrays.push_back(std::make_unique<Owned<ArrowArray>>());
    chunks_->arrays.back()->take_from(array, kArrayCapsule);
  } else {
    Ref stream(PyObject_CallMethod(obj, "__arrow_c_stream__", nullptr));
    if (!stream) return false;
    if (!PyCapsule_IsValid(stream.get(), kStreamCapsule))
      return refuse("__arrow_c_stream__ must return an 'arrow_array_stream' capsule");
    if (released<ArrowArrayStream>(stream.get(), kStreamCapsule))
      return refuse("the Arrow stream has already been released");
    chunks_ = std::make_unique<Chunks>();
    chunks_->stream.take_from(stream.get(), kStreamCapsule);
  }
  taken_ = true;
  return true;
}

std::optional<ArrowFailure> ArrowInput::read(bool rows, std::size_t workers,
                                             const std::function<bool()>& stopped) {
  const auto column_failure = [](std::optional<ArrowReadError> e) {
    return std::optional(ArrowFailure{std::move(e), {}});
  };
  auto& arrays = chunks_->arrays;
  int stream_code = 0;
  if (nulls_as_empty_) column_.read_nulls_as_empty();
  if (!chunks_->stream.s.release) {  // an array
    if (auto e = column_.read_schema(chunks_->schema.s)) return column_failure(e);
  } else {
    ArrowArrayStream* stream = &chunks_->stream.s;
    if ((stream_code = stream->get_schema(stream, &chunks_->schema.s)) == 0) {
      if (auto e = column_.read_schema(chunks_->schema.s)) return column_failure(e);
      // Every chunk is pulled before any is read, so that the rows' views are
      // sized once. The holder exists before the producer fills it, so
      // nothing it hands over can be lost.
      for (;;) {
        arrays.push_back(std::make_unique<Owned<ArrowArray>>());
        if ((stream_code = stream->get_next(stream, &arrays.back()->s)) != 0) break;
        if (!arrays.back()->s.release) break;  // the end of the stream
      }
    }
  }
  if (!rows && !stream_code) column_.make_views_on_demand();
  std::uint64_t total = 0;
  for (const auto& a : arrays)
    if (a->s.release && a->s.length > 0) total += static_cast<std::uint64_t>(a->s.length);
  column_.reserve(total);
  // A fault of a chunk the stream did hand over comes before the stream's own.
  for (const auto& a : arrays) {
    if (!a->s.release) continue;
    if (auto e = column_.append(a->s, workers, stopped)) return column_failure(e);
    if (column_.stopped()) return std::nullopt;
  }
  if (stream_code) {
    ArrowArrayStream* stream = &chunks_->stream.s;
    const char* message = stream->get_last_error ? stream->get_last_error(stream) : nullptr;
    return ArrowFailure{std::nullopt, message ? message : std::strerror(stream_code)};
  }
  if (rows && column_.coded()) rows_ = column_.row_views();
  return std::nullopt;
}

void raise_arrow_failure(const ArrowFailure& failure, const char* name) {
  if (!failure.column) {
    PyErr_Format(PyExc_RuntimeError, "the Arrow stream of '%s' failed: %s", name,
                 failure.stream_message.c_str());
  } else {
    PyErr_SetString(failure.column->is_type_error() ? PyExc_TypeError : PyExc_ValueError,
                    failure.column->text(name).c_str());
  }
  annotate_argument_error(name);
}

}  // namespace quillmatch::py
