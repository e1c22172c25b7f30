// The bodies of quillmatch_many's functions.
//
// Each call binds and converts its arguments in parameter order (queries and
// candidates taken in as the batch functions take them: the call's snapshot),
// allocates its result arrays with the lock held, then releases the lock for
// the whole computation. The workers read only the held views and write only
// into the arrays, which the call alone references. The calling thread waits
// on the workers in short slices; between slices it takes the lock back,
// briefly, to let the interpreter run its signal handlers. When one raises
// (Ctrl-C: KeyboardInterrupt), the workers are stopped and joined before that
// exception is raised. A worker's failure (std::bad_alloc) is rethrown on this
// thread after every worker has stopped, and becomes MemoryError.
#include <chrono>
#include <cmath>
#include <thread>

#include "candidates.h"
#include "many_arrays.h"
#include "many_functions.h"

namespace quillmatch::py {

namespace {

constexpr std::chrono::milliseconds kPollInterval{50};

// A queries or candidates argument taken in. numpy arrays and pandas Series
// are first turned into a list by their own tolist(), one C-level call, so
// they are taken in at the speed of a list.
struct Texts {
  Ref listed;
  CandidateSequence seq;
  HeldTexts held;
};

bool type_attr_is(PyObject* type, PyObject* attr, const char* value, bool prefix) {
  Ref v(PyObject_GetAttr(type, attr));
  bool found = false;
  if (v && PyUnicode_Check(v.get())) {
    if (prefix) {
      Ref start(PyUnicode_FromString(value));
      found = start && PyUnicode_Tailmatch(v.get(), start.get(), 0, PY_SSIZE_T_MAX, -1) == 1;
    } else {
      found = PyUnicode_CompareWithASCIIString(v.get(), value) == 0;
    }
  }
  PyErr_Clear();
  return found;
}

bool has_tolist(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj) || PyUnicode_Check(obj)) return false;
  return (type_attr_is(type, names().name, "ndarray", false) &&
          type_attr_is(type, names().module, "numpy", false)) ||
         (type_attr_is(type, names().name, "Series", false) &&
          type_attr_is(type, names().module, "pandas", true));
}

bool take_texts(PyObject* obj, Texts& out) {
  if (has_tolist(obj)) {
    out.listed = Ref(PyObject_CallMethod(obj, "tolist", nullptr));
    if (!out.listed) return false;
    obj = out.listed.get();
  }
  return out.seq.open(obj) && out.held.take_all(out.seq);
}

// An integer (anything with __index__) of at least `least`; below it a
// ValueError with `message`, above 2**64 - 1 the interpreter's OverflowError.
bool extract_at_least(PyObject* obj, std::uint64_t least, const char* message, std::uint64_t& out) {
  Ref index(PyNumber_Index(obj));
  if (!index) return false;
  Ref bound(PyLong_FromUnsignedLongLong(least));
  if (!bound) return false;
  const int below = PyObject_RichCompareBool(index.get(), bound.get(), Py_LT);
  if (below < 0) return false;
  if (below) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
  }
  return extract_u64(index.get(), out);
}

bool extract_k(PyObject* obj, std::uint64_t& out) {
  return extract_at_least(obj, 1, "k must be at least 1", out);
}
bool extract_workers(PyObject* obj, std::uint64_t& out) {
  return extract_at_least(obj, 1, "workers must be at least 1", out);
}
bool extract_distance_cutoff(PyObject* obj, std::uint64_t& out) {
  return extract_at_least(obj, 0, "score_cutoff must not be negative", out);
}
bool extract_similarity_cutoff(PyObject* obj, double& out) {
  if (!extract_f64(obj, out)) return false;
  if (std::isnan(out) || out < 0.0) {
    PyErr_SetString(PyExc_ValueError, std::isnan(out) ? "score_cutoff must not be NaN"
                                                      : "score_cutoff must not be negative");
    return false;
  }
  return true;
}

// Where each parameter sits in a signature (kNone when it has none).
constexpr std::size_t kNone = ~std::size_t{0};
struct Slots {
  std::size_t candidates = 1, k = kNone, cutoff = kNone, case_insensitive = kNone, p = kNone,
              workers = kNone;
};

Slots slots_of(const CallSignature& sig) {
  Slots s;
  for (std::size_t i = 0; i < sig.count; ++i) {
    const std::string_view name = sig.params[i];
    if (name == "k") s.k = i;
    if (name == "score_cutoff") s.cutoff = i;
    if (name == "case_insensitive") s.case_insensitive = i;
    if (name == "p") s.p = i;
    if (name == "workers") s.workers = i;
  }
  return s;
}

// Everything a call converted.
struct Call {
  Texts queries;
  Texts candidates;
  bool self = false;  // candidates absent or None: the queries against themselves
  std::uint64_t k = 0;
  ManyOptions options;

  std::span<const TextView> candidate_views() const {
    return self ? queries.held.views() : candidates.held.views();
  }
};

// The plan that calls made on this thread inside _with_plan take.
thread_local JoinPlan forced_plan = JoinPlan::kAuto;

std::size_t default_workers() {
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

// Binds and converts, in parameter order. The score_cutoff of the pairs
// functions (which have no k) is required: absent or None is a TypeError.
bool convert(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs,
             Call& call) {
  const Slots s = slots_of(sig);
  Arguments a(sig);
  if (!a.bind(args, kwargs)) return false;
  auto texts = [](PyObject* obj, Texts& out) { return take_texts(obj, out); };
  if (!a.convert(0, texts, call.queries)) return false;
  // The candidates slot may be None where the signature makes it optional.
  call.self = sig.required < 2 && a.is_none(s.candidates);
  if (!call.self && !a.convert(s.candidates, texts, call.candidates)) return false;
  call.options.measure = measure;
  call.options.plan = forced_plan;
  if (s.k != kNone && !a.convert(s.k, extract_k, call.k)) return false;
  if (s.cutoff != kNone && s.k == kNone && a.is_none(s.cutoff)) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument: 'score_cutoff'", sig.name);
    return false;
  }
  if (s.cutoff != kNone) {
    if (measure == Measure::kJaroWinkler) {
      if (!a.optional(s.cutoff, extract_similarity_cutoff, call.options.min_similarity)) return false;
    } else {
      if (!a.optional(s.cutoff, extract_distance_cutoff, call.options.max_distance)) return false;
    }
  }
  if (!a.flag(s.case_insensitive, call.options.case_insensitive)) return false;
  if (s.p != kNone && !a.f64(s.p, call.options.p)) return false;
  std::optional<std::uint64_t> workers;
  if (!a.optional(s.workers, extract_workers, workers)) return false;
  call.options.workers = workers ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                       *workers, kMaxManyWorkers))
                                 : default_workers();
  return true;
}

// Releases the lock for its lifetime; lock() and unlock() take it back and
// give it up again in between, and the end of the scope takes it back, also
// while an exception unwinds.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  ~Unlocked() {
    if (state_) PyEval_RestoreThread(state_);
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  void lock() { PyEval_RestoreThread(std::exchange(state_, nullptr)); }
  void unlock() { state_ = PyEval_SaveThread(); }

 private:
  PyThreadState* state_;
};

// Starts the run with the lock released and waits for it. False with a Python
// exception set when the prefix scale is invalid or a signal handler raised.
template <class Start>
bool run_released(Start&& start) {
  std::optional<MatchError> error;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  bool interrupted = false;
  {
    Unlocked unlocked;
    Result<std::unique_ptr<ManyRun>> started = start();
    if (!started.ok()) {
      error = started.error();
    } else {
      ManyRun& run = *started.value();
      while (!run.wait_for(kPollInterval)) {
        unlocked.lock();
        interrupted = PyErr_CheckSignals() < 0;
        if (interrupted) PyErr_Fetch(&type, &value, &traceback);
        unlocked.unlock();
        if (interrupted) break;
      }
      if (interrupted) {
        run.request_stop();
        try {
          run.finish();
        } catch (...) {
          // The interrupt is what the caller sees; a worker's failure yields.
        }
      } else {
        run.finish();
      }
    }  // the run ends here, its workers joined, before the lock is back
  }
  if (interrupted) {
    PyErr_Restore(type, value, traceback);
    return false;
  }
  if (error) {
    raise_match_error(*error);
    return false;
  }
  return true;
}

PyObject* tuple_of(OutArray& a, OutArray& b, OutArray& c) {
  Ref x(a.release_as_python());
  if (!x) return nullptr;
  Ref y(b.release_as_python());
  if (!y) return nullptr;
  Ref z(c.release_as_python());
  if (!z) return nullptr;
  return PyTuple_Pack(3, x.get(), y.get(), z.get());
}

PyObject* matrix(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Call call;
    if (!convert(sig, measure, args, kwargs, call)) return nullptr;
    const auto queries = call.queries.held.views();
    const auto candidates = call.candidate_views();
    const ScoreType type = many_score_type(measure, queries, candidates);
    OutArray out;
    if (!out.allocate(element_of(type), queries.size(), candidates.size(), true)) return nullptr;
    if (!run_released([&] { return start_matrix(call.options, queries, candidates, type, out.data()); }))
      return nullptr;
    return out.release_as_python();
  });
}

// Allocates a top output of queries x k, runs start(target) released, and
// returns (indices, scores, counts).
template <class Start>
PyObject* top_result(std::size_t queries, std::size_t k, ScoreType type, Start&& start) {
  OutArray indices, scores, counts;
  if (!indices.allocate(kIndexElement, queries, k, true) ||
      !scores.allocate(element_of(type), queries, k, true) ||
      !counts.allocate(kIndexElement, queries, 0, false))
    return nullptr;
  const TopOutput target{k, type, static_cast<std::int64_t*>(indices.data()), scores.data(),
                         static_cast<std::int64_t*>(counts.data())};
  if (!run_released([&] { return start(target); })) return nullptr;
  return tuple_of(indices, scores, counts);
}

// Runs start(found) released and returns (query_indices, candidate_indices,
// scores).
template <class Start>
PyObject* pairs_result(ScoreType type, Start&& start) {
  PairsFound found;
  if (!run_released([&] { return start(found); })) return nullptr;
  const std::size_t n = found.size();
  OutArray qi, ci, scores;
  if (!qi.allocate(kIndexElement, n, 0, false) || !ci.allocate(kIndexElement, n, 0, false) ||
      !scores.allocate(element_of(type), n, 0, false))
    return nullptr;
  {
    ReleasedLock unlocked;  // a copy as large as the pairs found
    found.drain_to(static_cast<std::int64_t*>(qi.data()), static_cast<std::int64_t*>(ci.data()),
                   scores.data());
  }
  return tuple_of(qi, ci, scores);
}

PyObject* top(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Call call;
    if (!convert(sig, measure, args, kwargs, call)) return nullptr;
    const auto queries = call.queries.held.views();
    const auto candidates = call.candidate_views();
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(call.k, candidates.size()));
    return top_result(queries.size(), k, many_score_type(measure, queries, candidates),
                      [&](const TopOutput& target) {
                        return start_top(call.options, queries, candidates, target);
                      });
  });
}

PyObject* pairs(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Call call;
    if (!convert(sig, measure, args, kwargs, call)) return nullptr;
    const auto queries = call.queries.held.views();
    const ScoreType type = many_score_type(measure, queries, call.candidate_views());
    std::optional<std::span<const TextView>> candidates;
    if (!call.self) candidates = call.candidates.held.views();
    return pairs_result(type, [&](PairsFound& found) {
      return start_pairs(call.options, queries, candidates, type, found);
    });
  });
}

// ---- Index ----

bool extract_measure(PyObject* obj, Measure& out) {
  if (!PyUnicode_Check(obj)) return set_type_error(obj, "str");
  for (const auto& [name, measure] : {std::pair{"levenshtein", Measure::kLevenshtein},
                                      std::pair{"damerau", Measure::kDamerau},
                                      std::pair{"jaro_winkler", Measure::kJaroWinkler}}) {
    if (PyUnicode_CompareWithASCIIString(obj, name) == 0) {
      out = measure;
      return true;
    }
  }
  PyErr_Clear();
  PyErr_SetString(PyExc_ValueError, "measure must be 'levenshtein', 'damerau' or 'jaro_winkler'");
  return false;
}

// The cutoff of options as a Python number (a new reference).
PyObject* cutoff_to_python(const ManyOptions& o) {
  return o.measure == Measure::kJaroWinkler ? PyFloat_FromDouble(*o.min_similarity)
                                            : PyLong_FromUnsignedLongLong(*o.max_distance);
}

const char* measure_name(Measure m) {
  return m == Measure::kJaroWinkler ? "jaro_winkler" : m == Measure::kDamerau ? "damerau" : "levenshtein";
}

// A search's cutoff: absent, the index's; otherwise at least as tight.
bool search_cutoff(const IndexParts& ix, Arguments& a, std::size_t slot, ManyOptions& options) {
  const ManyOptions& built = ix.index->options();
  options.max_distance.reset();
  options.min_similarity.reset();
  const bool jw = built.measure == Measure::kJaroWinkler;
  if (jw) {
    if (!a.optional(slot, extract_similarity_cutoff, options.min_similarity)) return false;
    if (!options.min_similarity) options.min_similarity = built.min_similarity;
  } else {
    if (!a.optional(slot, extract_distance_cutoff, options.max_distance)) return false;
    if (!options.max_distance) options.max_distance = built.max_distance;
  }
  if (jw ? *options.min_similarity >= *built.min_similarity : *options.max_distance <= *built.max_distance)
    return true;
  Ref given(cutoff_to_python(options)), own(cutoff_to_python(built));
  if (given && own)
    PyErr_Format(PyExc_ValueError, "score_cutoff %R is looser than the index's, %R", given.get(), own.get());
  return false;
}

bool search_workers(const IndexParts& ix, Arguments& a, std::size_t slot, ManyOptions& options) {
  std::optional<std::uint64_t> workers;
  if (!a.optional(slot, extract_workers, workers)) return false;
  options.workers = workers ? static_cast<std::size_t>(std::min<std::uint64_t>(*workers, kMaxManyWorkers))
                            : ix.workers;
  return true;
}

}  // namespace

bool build_index(PyObject* args, PyObject* kwargs, IndexParts& out) {
  Arguments a(kIndexNew);
  if (!a.bind(args, kwargs)) return false;
  // One snapshot of the candidates: the tuple the index keeps (and pickles),
  // from which the texts are taken in.
  Texts taken;
  auto as_tuple = [&](PyObject* obj, Ref& tuple) {
    if (has_tolist(obj)) {
      taken.listed = Ref(PyObject_CallMethod(obj, "tolist", nullptr));
      if (!taken.listed) return false;
      obj = taken.listed.get();
    }
    if (PyUnicode_Check(obj)) return take_texts(obj, taken);  // refused as the functions refuse it
    tuple = Ref(PySequence_Tuple(obj));
    if (!tuple) return set_type_error(obj, "Sequence");
    return take_texts(tuple.get(), taken);
  };
  Ref texts;
  if (!a.convert(0, as_tuple, texts)) return false;
  ManyOptions options;
  if (!a.convert(1, extract_measure, options.measure)) return false;
  if (a.is_none(2)) {
    PyErr_SetString(PyExc_TypeError, "Index() missing required argument: 'score_cutoff'");
    return false;
  }
  if (options.measure == Measure::kJaroWinkler) {
    double cutoff = 0;
    if (!a.convert(2, extract_similarity_cutoff, cutoff)) return false;
    options.min_similarity = cutoff;
  } else {
    std::uint64_t cutoff = 0;
    if (!a.convert(2, extract_distance_cutoff, cutoff)) return false;
    options.max_distance = cutoff;
  }
  if (!a.flag(3, options.case_insensitive)) return false;
  if (!a.f64(4, options.p)) return false;
  if (options.p && options.measure != Measure::kJaroWinkler) {
    PyErr_SetString(PyExc_ValueError, "p applies to 'jaro_winkler' only");
    return false;
  }
  std::optional<std::uint64_t> workers;
  if (!a.optional(5, extract_workers, workers)) return false;
  out.workers = workers ? static_cast<std::size_t>(std::min<std::uint64_t>(*workers, kMaxManyWorkers))
                        : default_workers();
  if (taken.held.views().size() >= UINT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "an index holds fewer than 2**32 texts");
    return false;
  }
  Result<std::shared_ptr<const JoinIndex>> index = [&] {
    ReleasedLock unlocked;  // reads only the held views
    return JoinIndex::build(options, taken.held.views());
  }();
  if (!index.ok()) {
    raise_match_error(index.error());
    return false;
  }
  out.index = std::move(index.value());
  // What pickling passes back to the constructor.
  Ref cutoff(cutoff_to_python(options));
  Ref p = options.p ? Ref(PyFloat_FromDouble(*options.p)) : Ref::borrow(Py_None);
  Ref given_workers = workers ? Ref(PyLong_FromUnsignedLongLong(*workers)) : Ref::borrow(Py_None);
  if (!cutoff || !p || !given_workers) return false;
  out.arguments = Ref(Py_BuildValue("(OsOOOO)", texts.get(), measure_name(options.measure), cutoff.get(),
                                    options.case_insensitive ? Py_True : Py_False, p.get(),
                                    given_workers.get()));
  return bool(out.arguments);
}

PyObject* index_top(const IndexParts& ix, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a(kIndexTop);
    if (!a.bind(args, kwargs)) return nullptr;
    Texts queries;
    auto texts = [](PyObject* obj, Texts& out) { return take_texts(obj, out); };
    if (!a.convert(0, texts, queries)) return nullptr;
    std::uint64_t k = 0;
    if (!a.convert(1, extract_k, k)) return nullptr;
    ManyOptions options = ix.index->options();
    if (!search_cutoff(ix, a, 2, options) || !search_workers(ix, a, 3, options)) return nullptr;
    const auto views = queries.held.views();
    const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(k, ix.index->size()));
    return top_result(views.size(), width, ix.index->score_type(views), [&](const TopOutput& target) {
      return start_index_top(ix.index, options, views, target);
    });
  });
}

PyObject* index_pairs(const IndexParts& ix, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments a(kIndexPairs);
    if (!a.bind(args, kwargs)) return nullptr;
    Texts queries;
    auto texts = [](PyObject* obj, Texts& out) { return take_texts(obj, out); };
    const bool self = a.is_none(0);
    if (!self && !a.convert(0, texts, queries)) return nullptr;
    ManyOptions options = ix.index->options();
    if (!search_cutoff(ix, a, 1, options) || !search_workers(ix, a, 2, options)) return nullptr;
    std::optional<std::span<const TextView>> views;
    if (!self) views = queries.held.views();
    const ScoreType type = ix.index->score_type(self ? std::span<const TextView>() : *views);
    return pairs_result(type, [&](PairsFound& found) {
      return start_index_pairs(ix.index, options, views, type, found);
    });
  });
}

namespace {

}  // namespace

PyObject* with_plan(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t n = PyTuple_Size(args);
    if (n < 2) {
      PyErr_SetString(PyExc_TypeError, "_with_plan(plan, function, *args, **kwargs)");
      return nullptr;
    }
    PyObject* name = PyTuple_GetItem(args, 0);
    JoinPlan plan;
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "cross") == 0) {
      plan = JoinPlan::kCross;
    } else if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "filtered") == 0) {
      plan = JoinPlan::kFiltered;
    } else {
      PyErr_SetString(PyExc_ValueError, "plan must be 'cross' or 'filtered'");
      return nullptr;
    }
    Ref rest(PyTuple_GetSlice(args, 2, n));
    if (!rest) return nullptr;
    const JoinPlan before = std::exchange(forced_plan, plan);
    PyObject* result = PyObject_Call(PyTuple_GetItem(args, 1), rest.get(), kwargs);
    forced_plan = before;
    return result;
  });
}

PyObject* levenshtein_matrix(PyObject*, PyObject* args, PyObject* kwargs) {
  return matrix(kLevenshteinMatrix, Measure::kLevenshtein, args, kwargs);
}
PyObject* damerau_matrix(PyObject*, PyObject* args, PyObject* kwargs) {
  return matrix(kDamerauMatrix, Measure::kDamerau, args, kwargs);
}
PyObject* jaro_winkler_matrix(PyObject*, PyObject* args, PyObject* kwargs) {
  return matrix(kJaroWinklerMatrix, Measure::kJaroWinkler, args, kwargs);
}
PyObject* levenshtein_top(PyObject*, PyObject* args, PyObject* kwargs) {
  return top(kLevenshteinTop, Measure::kLevenshtein, args, kwargs);
}
PyObject* damerau_top(PyObject*, PyObject* args, PyObject* kwargs) {
  return top(kDamerauTop, Measure::kDamerau, args, kwargs);
}
PyObject* jaro_winkler_top(PyObject*, PyObject* args, PyObject* kwargs) {
  return top(kJaroWinklerTop, Measure::kJaroWinkler, args, kwargs);
}
PyObject* levenshtein_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
  return pairs(kLevenshteinPairs, Measure::kLevenshtein, args, kwargs);
}
PyObject* damerau_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
  return pairs(kDamerauPairs, Measure::kDamerau, args, kwargs);
}
PyObject* jaro_winkler_pairs(PyObject*, PyObject* args, PyObject* kwargs) {
  return pairs(kJaroWinklerPairs, Measure::kJaroWinkler, args, kwargs);
}

}  // namespace quillmatch::py
