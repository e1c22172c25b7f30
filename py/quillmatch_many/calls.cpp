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
//
// An argument that exports Arrow (arrow_input.h) is taken in as capsules in
// its turn; its column is read once every argument is converted, with the
// lock released, so its faults (nulls, invalid bytes) come after those of
// the later arguments.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "quillmatch_many/arrow_input.h"
#include "common/candidates.h"
#include "quillmatch_many/arrays.h"
#include "quillmatch_many/functions.h"
#include "quillmatch_many/inputs.h"
#include "quillmatch_many/released.h"
#include "quillmatch_many/scores.h"

namespace quillmatch::py {

namespace {

// Loops over rows that hold the lock look for a signal this often.
constexpr std::size_t kRowsPerSignalCheck = std::size_t{1} << 16;
// Copies with the lock released look for one after about this many cells.
constexpr std::size_t kCellsPerSignalLook = std::size_t{1} << 22;

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

// A sequence of texts opened for taking in: a numpy array or pandas Series
// first made a list by its own tolist().
bool open_listed(PyObject* obj, Texts& out) {
  if (has_tolist(obj)) {
    out.listed = Ref(PyObject_CallMethod(obj, "tolist", nullptr));
    if (!out.listed) return false;
    obj = out.listed.get();
  }
  return out.seq.open(obj);
}

}  // namespace

bool take_texts(PyObject* obj, Texts& out) {
  if (ArrowInput::offered_by(obj)) return out.arrow.take(obj);
  return open_listed(obj, out) && out.held.take_all(out.seq, true);
}

namespace {

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
// With normalized=True a cutoff is a similarity, which lies in [0, 1].
}  // namespace

bool extract_normalized_cutoff(PyObject* obj, double& out) {
  if (!extract_f64(obj, out)) return false;
  if (std::isnan(out) || out < 0.0 || out > 1.0) {
    PyErr_SetString(PyExc_ValueError, std::isnan(out) ? "score_cutoff must not be NaN"
                                                      : "with normalized=True, score_cutoff must lie in [0, 1]");
    return false;
  }
  return true;
}

namespace {

// Where each parameter sits in a signature (kNone when it has none).
constexpr std::size_t kNone = ~std::size_t{0};
struct Slots {
  std::size_t candidates = kNone, k = kNone, cutoff = kNone, case_insensitive = kNone, p = kNone,
              workers = kNone, normalized = kNone;
};

Slots slots_of(const CallSignature& sig) {
  Slots s;
  for (std::size_t i = 0; i < sig.count; ++i) {
    const std::string_view name = sig.params[i];
    if (name == "candidates") s.candidates = i;
    if (name == "k") s.k = i;
    if (name == "score_cutoff") s.cutoff = i;
    if (name == "case_insensitive") s.case_insensitive = i;
    if (name == "p") s.p = i;
    if (name == "workers") s.workers = i;
    if (name == "normalized") s.normalized = i;
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
    return self ? queries.views() : candidates.views();
  }
  // The size in bytes of the longest text on either side.
  std::size_t longest() const { return std::max(queries.longest(), self ? 0 : candidates.longest()); }
};

// The plan that calls made on this thread inside _with_plan take lives in
// the thread's state dictionary, under this key, as the plan's number. (A
// thread_local of the module's own would be a block of thread-local storage
// that the C library allocates on first use and ends the process when it
// cannot.)
constexpr const char* kPlanKey = "quillmatch_many._with_plan";

JoinPlan forced_plan() {
  PyObject* state = PyThreadState_GetDict();  // borrowed; never null with the lock held
  PyObject* plan = state ? PyDict_GetItemString(state, kPlanKey) : nullptr;
  return plan ? static_cast<JoinPlan>(PyLong_AsLong(plan)) : JoinPlan::kAuto;
}

std::size_t default_workers() {
  const unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

// The options every function ends with: case_insensitive, p, workers and
// normalized.
bool convert_options(Arguments& a, const Slots& s, ManyOptions& options) {
  if (!a.flag(s.case_insensitive, options.case_insensitive)) return false;
  if (s.p != kNone && !a.f64(s.p, options.p)) return false;
  std::optional<std::uint64_t> workers;
  if (!a.optional(s.workers, extract_workers, workers)) return false;
  options.workers = workers ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                  *workers, kMaxManyWorkers))
                            : default_workers();
  return s.normalized == kNone || a.flag(s.normalized, options.normalized);
}

// normalized, read ahead of the cutoff it gives a meaning to: without
// running any Python code when it can (absent, None or a bool), so that the
// arguments before it are still converted in order; a numpy bool is
// converted here, before the cutoff.
bool normalized_ahead(Arguments& a, const Slots& s, bool& out) {
  if (s.normalized == kNone) return true;
  if (const std::optional<bool> early = a.flag_without_effects(s.normalized)) {
    out = *early;
    return true;
  }
  return a.flag(s.normalized, out);
}

// The type of a run's scores: float64 when normalized, else the measure's.
ScoreType score_type(const ManyOptions& o, std::size_t longest) {
  return o.normalized ? ScoreType::F64 : many_score_type(o.measure, longest);
}

}  // namespace

bool read_arrow(std::initializer_list<std::pair<Texts*, const char*>> texts, bool rows,
                std::size_t workers) {
  // Lists and the like are read already: the lock stays (a call's only
  // release then is its run's).
  if (std::none_of(texts.begin(), texts.end(), [](const auto& t) { return t.first->arrow.taken(); })) return true;
  std::optional<ArrowFailure> failure;
  const char* which = nullptr;
  bool interrupted = false;
  {
    Unlocked unlocked;
    const std::function<bool()> signalled = [&] { return unlocked.signalled(); };
    for (const auto& [t, name] : texts) {
      if (!t->arrow.taken()) continue;
      failure = t->arrow.read(rows, workers, signalled);
      which = name;
      if (failure || (interrupted = unlocked.raised())) break;
    }
  }
  if (interrupted) return false;  // its exception is set
  if (failure) raise_arrow_failure(*failure, which);
  return !failure;
}

namespace {

// Binds and converts, in parameter order. The score_cutoff of the pairs
// functions (which have no k) is required: absent or None is a TypeError.
bool convert(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs,
             Call& call) {
  const Slots s = slots_of(sig);
  Arguments a(sig);
  if (!a.bind(args, kwargs)) return false;
  auto texts = [](PyObject* obj, Texts& out) { return take_texts(obj, out); };
  if (!a.convert(0, texts, call.queries)) return false;
  // The candidates slot may be None where the signature makes it optional;
  // without one (the clusters), the texts are joined with themselves.
  call.self = s.candidates == kNone || (sig.required < 2 && a.is_none(s.candidates));
  if (!call.self && !a.convert(s.candidates, texts, call.candidates)) return false;
  call.options.measure = measure;
  call.options.plan = forced_plan();
  if (s.k != kNone && !a.convert(s.k, extract_k, call.k)) return false;
  if (s.cutoff != kNone && s.k == kNone && a.is_none(s.cutoff)) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument: 'score_cutoff'", sig.name);
    return false;
  }
  if (s.cutoff != kNone) {
    if (!normalized_ahead(a, s, call.options.normalized)) return false;
    if (call.options.normalized) {
      if (!a.optional(s.cutoff, extract_normalized_cutoff, call.options.min_similarity)) return false;
    } else if (measure == Measure::kJaroWinkler) {
      if (!a.optional(s.cutoff, extract_similarity_cutoff, call.options.min_similarity)) return false;
    } else {
      if (!a.optional(s.cutoff, extract_distance_cutoff, call.options.max_distance)) return false;
    }
  }
  const char* candidates_name = call.self ? nullptr : sig.params[s.candidates];
  return convert_options(a, s, call.options) &&
         read_arrow({{&call.queries, sig.params[0]}, {&call.candidates, candidates_name}}, true,
                    call.options.workers);
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

// Copies each row's score from its distinct text's: out[r] = distinct[codes[r]].
template <std::size_t kBytes>
void gather(const unsigned char* distinct, std::span<const std::uint32_t> codes, unsigned char* out) {
  for (std::size_t r = 0; r < codes.size(); ++r)
    std::memcpy(out + r * kBytes, distinct + std::size_t{codes[r]} * kBytes, kBytes);
}

// The texts of one side of a matrix: each row's own, or a dictionary column's
// distinct texts and its rows' codes.
struct Side {
  std::span<const TextView> texts;
  std::span<const std::uint32_t> codes;  // empty: row i is texts[i]
  std::size_t rows;
};

Side side_of(const Texts& t, std::span<const TextView> rows) {
  if (const TextColumn* c = t.coded()) return {c->texts(), c->codes(), rows.size()};
  return {rows, {}, rows.size()};
}

// Scores every distinct pair once, then copies each cell of the result from
// its pair's: out[i][j] = distinct[code of row i][code of column j]. Lock held
// on entry and exit; both steps run without it.
bool score_distinct(const ManyOptions& options, const Side& q, const Side& c, ScoreType type,
                    void* out) {
  const std::size_t size = score_size(type);
  std::vector<unsigned char> distinct(q.texts.size() * c.texts.size() * size);
  if (!run_released([&] { return start_matrix(options, q.texts, c.texts, type, distinct.data()); }))
    return false;
  // The gather looks for a signal after each million cells or so.
  Unlocked unlocked;
  std::size_t since_look = 0;
  for (std::size_t i = 0; i < q.rows; ++i) {
    since_look += c.rows + 1;
    if (since_look >= kCellsPerSignalLook) {
      since_look = 0;
      if (unlocked.signalled()) return false;
    }
    const unsigned char* from =
        distinct.data() + (q.codes.empty() ? i : q.codes[i]) * c.texts.size() * size;
    auto* to = static_cast<unsigned char*>(out) + i * c.rows * size;
    if (c.codes.empty()) {
      if (c.rows) std::memcpy(to, from, c.rows * size);
      continue;
    }
    switch (size) {
      case 1: gather<1>(from, c.codes, to); break;
      case 2: gather<2>(from, c.codes, to); break;
      case 4: gather<4>(from, c.codes, to); break;
      default: gather<8>(from, c.codes, to); break;
    }
  }
  return true;
}

PyObject* matrix(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Call call;
    if (!convert(sig, measure, args, kwargs, call)) return nullptr;
    const auto queries = call.queries.views();
    const auto candidates = call.candidate_views();
    const ScoreType type = score_type(call.options, call.longest());
    OutArray out;
    if (!out.allocate(element_of(type), queries.size(), candidates.size(), true)) return nullptr;
    // A dictionary column on either side: each distinct pair scored once,
    // when that is at most half the cells.
    const Side q = side_of(call.queries, queries);
    const Side c = side_of(call.self ? call.queries : call.candidates, candidates);
    if (q.texts.size() * c.texts.size() * 2 <= q.rows * c.rows) {
      if (!score_distinct(call.options, q, c, type, out.data())) return nullptr;
      return out.release_as_python();
    }
    const SpanRows rows(candidates, call.longest());
    if (!run_released([&] { return start_matrix(call.options, queries, rows, type, out.data()); }))
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
    Unlocked unlocked;  // a copy as large as the pairs found
    found.drain_to(static_cast<std::int64_t*>(qi.data()), static_cast<std::int64_t*>(ci.data()),
                   scores.data(), [&] { return unlocked.signalled(); });
  }
  if (PyErr_Occurred()) return nullptr;  // a signal handler raised
  return tuple_of(qi, ci, scores);
}

PyObject* top(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Call call;
    if (!convert(sig, measure, args, kwargs, call)) return nullptr;
    const auto queries = call.queries.views();
    const auto candidates = call.candidate_views();
    const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(call.k, candidates.size()));
    const TextColumn* coded = call.self ? nullptr : call.candidates.coded();
    return top_result(queries.size(), k, score_type(call.options, call.longest()),
                      [&](const TopOutput& target) {
                        return coded ? start_top(call.options, queries, candidates,
                                                 CodedTexts{coded->texts(), coded->codes()}, target)
                                     : start_top(call.options, queries, candidates, target);
                      });
  });
}

PyObject* pairs(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Call call;
    if (!convert(sig, measure, args, kwargs, call)) return nullptr;
    const auto queries = call.queries.views();
    const ScoreType type = score_type(call.options, call.longest());
    std::optional<std::span<const TextView>> candidates;
    if (!call.self) candidates = call.candidates.views();
    const TextColumn* coded = call.self ? nullptr : call.candidates.coded();
    return pairs_result(type, [&](PairsFound& found) {
      return coded ? start_pairs(call.options, queries, *candidates,
                                 CodedTexts{coded->texts(), coded->codes()}, type, found)
                   : start_pairs(call.options, queries, candidates, type, found);
    });
  });
}

// The labels of a self join's clusters, as clusters() gives them over its
// pairs; the pairs are never held. Lock held on entry and exit; the run is
// released.
PyObject* join_clusters(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Call call;
    if (!convert(sig, measure, args, kwargs, call)) return nullptr;
    const auto texts = call.queries.views();
    OutArray labels;
    if (!labels.allocate(kIndexElement, texts.size(), 0, false)) return nullptr;
    const std::span<std::int64_t> out(static_cast<std::int64_t*>(labels.data()), texts.size());
    if (!run_released([&] { return start_join_clusters(call.options, texts, out); })) return nullptr;
    return labels.release_as_python();
  });
}

// One text against a column: the matrix run with a single query, whose one
// row is the result. A dictionary column is scored once per distinct text
// and the scores gathered to its rows; the dtype depends only on the texts
// the rows use, so it is the plain column's. Lock held on entry and exit.
PyObject* one_against_column(const ManyOptions& options, TextView one, const Texts& column_texts) {
  const std::span<const TextView> queries(&one, 1);
  const ScoreType type = score_type(options, std::max(one.size, column_texts.longest()));
  const TextColumn* column = column_texts.arrow.taken() ? &column_texts.arrow.column() : nullptr;
  OutArray out;
  if (column && column->coded()) {
    const Side single{queries, {}, 1};
    const Side rows{column->texts(), column->codes(), column->size()};
    if (!out.allocate(element_of(type), rows.rows, 0, false) ||
        !score_distinct(options, single, rows, type, out.data()))
      return nullptr;
    return out.release_as_python();
  }
  // The column or the list as rows: views made on demand are made a run at a
  // time, views held whole are read in place.
  const SpanRows list(column_texts.views(), column_texts.longest());
  const TextRows& rows = column ? static_cast<const TextRows&>(*column) : list;
  if (!out.allocate(element_of(type), rows.size(), 0, false) ||
      !run_released([&] { return start_matrix(options, queries, rows, type, out.data()); }))
    return nullptr;
  return out.release_as_python();
}

// Row i of the result is the score of (queries[i], candidates[i]), or of
// (queries[i], candidates[0]) when candidates is one text. Lock held on entry
// and exit; the run is released.
PyObject* row_by_row(const ManyOptions& options, const TextRows& queries, const TextRows& candidates,
                     std::size_t longest) {
  const ScoreType type = score_type(options, longest);
  OutArray out;
  if (!out.allocate(element_of(type), queries.size(), 0, false) ||
      !run_released([&] { return start_rows(options, queries, candidates, type, out.data()); }))
    return nullptr;
  return out.release_as_python();
}

// Slot i's argument, borrowed from the call, unconverted.
PyObject* argument(Arguments& a, std::size_t i) {
  PyObject* obj = nullptr;
  a.convert(i, [](PyObject* given, PyObject*& out) { return (out = given) != nullptr; }, obj);
  return obj;
}

const char* matrix_name(Measure m) {
  return m == Measure::kJaroWinkler ? "jaro_winkler_matrix"
         : m == Measure::kDamerau   ? "damerau_matrix"
                                    : "levenshtein_matrix";
}

// A scores result (taken over, or null) as it is when no row of `sides` is
// null, else a numpy.ma.MaskedArray of it whose mask marks the rows null on
// either side.
PyObject* mask_null_rows(PyObject* result, std::initializer_list<const Texts*> sides) {
  Ref data(result);
  if (!data || std::none_of(sides.begin(), sides.end(), [](const Texts* t) { return t->has_nulls(); }))
    return data.release();
  const std::size_t rows = (*sides.begin())->rows();
  OutArray mask;
  if (!mask.allocate(kMaskElement, rows, 0, false)) return nullptr;
  auto* marks = static_cast<unsigned char*>(mask.data());
  std::memset(marks, 0, rows);
  for (const Texts* t : sides) t->mark_nulls(marks);
  Ref flags(mask.release_as_python());
  return flags ? masked_array(data.get(), flags.get()) : nullptr;
}

// Two lists of this many rows or more are scored while they are taken in,
// when more than one worker runs: taking a str in costs about what scoring
// its row does, and only the calling thread may take them.
constexpr std::size_t kTakenWhileScoredFrom = std::size_t{1} << 15;
// Rows taken in between two publications to the run: about a tenth of a
// millisecond of taking.
constexpr std::size_t kRowsPerPart = 4096;

// The rows of a texts argument that can be taken in parts: an exact list or
// tuple, a numpy array or a pandas Series (which tolist() makes a list); 0
// for anything else. Runs no Python code but len() of an array or Series.
std::size_t listed_rows(PyObject* obj) {
  if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_Size(obj));
  if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_Size(obj));
  if (!has_tolist(obj) || ArrowInput::offered_by(obj)) return 0;
  const Py_ssize_t n = PyObject_Size(obj);
  if (n < 0) PyErr_Clear();
  return n < 0 ? 0 : static_cast<std::size_t>(n);
}

// Whether every option of the call is absent, None, a bool, an int or a
// float, whose conversion runs no Python code: options are converted before
// the texts here, and a hook of theirs must not run before the texts are
// taken, nor twice when the call then goes the usual way.
bool plain_options(const Arguments& a, const Slots& s) {
  for (const std::size_t i : {s.case_insensitive, s.p, s.workers, s.normalized})
    if (i != kNone && !a.plain(i)) return false;
  return true;
}

// Long lists scored row by row while they are taken in: two lists of equal
// length, or a list against one str (the str broadcast as the run's single
// candidate; before the list only for an edit distance, which is the same
// whichever text comes first). A run over the lists' arriving views starts
// first, and the calling thread then takes the rows in, a part at a time
// (both lists' parts in turn), publishing each to the run (RowFeed). The
// workers never touch a Python object; the lock is held until every row is
// taken, then released while the run ends.
//
// The call's result and errors are the other path's: the str and plain
// options are converted first here, and when they fail, or the call is not of
// this kind, `taken` stays false with no error set and the caller goes the
// usual way (which reports a list's errors before the options' and the
// second argument's). Once the rows are being taken, the first failure stops
// the run; a failure of the candidates yields to one of the queries further
// on, as when the queries are taken whole first. Distances are scored as
// uint64 and narrowed at the end, once the longest text, and so the dtype,
// is known.
PyObject* scores_while_taking(Arguments& a, const Slots& s, Measure measure, bool masks, bool& taken) {
  taken = false;
  const bool str_first = PyUnicode_Check(argument(a, 0)), str_second = PyUnicode_Check(argument(a, 1));
  if ((str_first && (str_second || measure == Measure::kJaroWinkler)) || !plain_options(a, s)) return nullptr;
  // The slot of the run's queries, a list; the other is a list of as many
  // rows or the str.
  const std::size_t listed = str_first ? 1 : 0;
  const bool two_lists = !str_first && !str_second;
  const std::size_t rows = listed_rows(argument(a, listed));
  if (rows < kTakenWhileScoredFrom || (two_lists && listed_rows(argument(a, 1)) != rows)) return nullptr;
  ManyOptions options;
  options.measure = measure;
  BorrowedText one;
  Texts queries, candidates;
  const std::size_t parts = (rows + kRowsPerPart - 1) / kRowsPerPart;
  const auto start_taking = [&](std::size_t i, Texts& t) {
    if (!open_listed(argument(a, i), t) || t.seq.indexed_size() != static_cast<Py_ssize_t>(rows)) return false;
    if (masks) t.accept_nulls();
    return t.held.start_taking(t.seq, true, parts);
  };
  // Similarities are float64 whatever the texts.
  const auto floats = [&] { return measure == Measure::kJaroWinkler || options.normalized; };
  OutArray out;
  BigArray<std::uint64_t> distances;
  RowFeed feed;
  Result<std::unique_ptr<ManyRun>> started = MatchError{};
  try {
    if ((two_lists || a.text_borrowed(listed == 0 ? 1 : 0, one)) && convert_options(a, s, options) &&
        options.workers >= 2 && start_taking(listed, queries) && (!two_lists || start_taking(1, candidates)) &&
        (!floats() || out.allocate(element_of(ScoreType::F64), rows, 0, false))) {
      if (!floats()) distances.reset(rows);
      const std::span<const TextView> other = two_lists ? candidates.held.arriving() : std::span(&one.text, 1);
      started = start_rows(options, queries.held.arriving(), other, floats() ? ScoreType::F64 : ScoreType::U64,
                           floats() ? out.data() : distances.data(), feed);
    }
  } catch (const std::bad_alloc&) {
  }
  if (!started.ok()) {
    PyErr_Clear();
    return nullptr;
  }
  taken = true;
  ManyRun& run = *started.value();
  const auto take_until = [&](std::size_t i, Texts& t, std::size_t end) {
    return a.convert(i, [&](PyObject*, Texts& out) { return out.held.take_until(out.seq, end); }, t);
  };
  for (std::size_t end = kRowsPerPart;; end += kRowsPerPart) {
    end = std::min(end, rows);
    const bool queries_failed = !take_until(listed, queries, end);
    if (queries_failed || (two_lists && !take_until(1, candidates, end))) {
      feed.abandon();
      stop_and_join(run);  // the failure to take a text in is what the caller sees
      if (!queries_failed && !candidates.held.signalled()) {
        PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        Ref held_type(type), held_value(value), held_traceback(traceback);
        if (take_until(listed, queries, rows))
          PyErr_Restore(held_type.release(), held_value.release(), held_traceback.release());
      }
      return nullptr;
    }
    feed.arrived(end);
    if (end == rows) break;
  }
  if (!wait_released(run)) return nullptr;
  const auto masked = [&](PyObject* result) {
    return two_lists ? mask_null_rows(result, {&queries, &candidates}) : mask_null_rows(result, {&queries});
  };
  if (floats()) return masked(out.release_as_python());
  const std::size_t longest = std::max(queries.longest(), two_lists ? candidates.longest() : one.text.size);
  const ScoreType type = score_type(options, longest);
  OutArray narrowed;
  if (!narrowed.allocate(element_of(type), rows, 0, false)) return nullptr;
  narrow_scores(std::span<const std::uint64_t>(distances.data(), rows), type, narrowed.data());
  return masked(narrowed.release_as_python());
}

// A str query against a column, a column against a str, or two columns of
// equal length row by row; each entry is the scalar function's on
// (query row, candidates row), the query's text as str_1. A str query takes
// today's path, which also refuses a str of candidates. A null row (of a
// column, or a missing text of a list) is scored as the empty text and
// masked in the result; without numpy, which the mask needs, nulls are
// refused as everywhere else.
PyObject* scores(const CallSignature& sig, Measure measure, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    const Slots s = slots_of(sig);
    Arguments a(sig);
    ManyOptions options;
    options.measure = measure;
    if (!a.bind(args, kwargs)) return nullptr;
    const int masks = numpy_present();
    if (masks < 0) return nullptr;
    const auto take_column = [masks](PyObject* obj, Texts& out) {
      if (masks) out.accept_nulls();
      return take_texts(obj, out);
    };
    bool taken = false;
    if (PyObject* result = scores_while_taking(a, s, measure, masks, taken); taken) return result;
    if (PyUnicode_Check(argument(a, 0))) {
      BorrowedText query;
      Texts candidates;
      if (!a.text_borrowed(0, query) || !a.convert(1, take_column, candidates) ||
          !convert_options(a, s, options) ||
          !read_arrow({{&candidates, sig.params[1]}}, false, options.workers))
        return nullptr;
      return mask_null_rows(one_against_column(options, query.text, candidates), {&candidates});
    }
    Texts queries;
    if (!a.convert(0, take_column, queries)) return nullptr;
    if (PyUnicode_Check(argument(a, 1))) {
      BorrowedText one;
      if (!a.text_borrowed(1, one) || !convert_options(a, s, options)) return nullptr;
      // The edit distances are symmetric, and the engines fold both texts:
      // the str can be the query of today's path. A similarity is not, to
      // the bit: each row is scored as str_1.
      if (measure != Measure::kJaroWinkler)
        return read_arrow({{&queries, sig.params[0]}}, false, options.workers)
                   ? mask_null_rows(one_against_column(options, one.text, queries), {&queries})
                   : nullptr;
      if (!read_arrow({{&queries, sig.params[0]}}, false, options.workers)) return nullptr;
      const SpanRows single(std::span<const TextView>(&one.text, 1));
      return mask_null_rows(row_by_row(options, queries.text_rows(), single, std::max(one.text.size, queries.longest())),
                            {&queries});
    }
    Texts candidates;
    if (!a.convert(1, take_column, candidates) || !convert_options(a, s, options) ||
        !read_arrow({{&queries, sig.params[0]}, {&candidates, sig.params[1]}}, false, options.workers))
      return nullptr;
    if (queries.rows() != candidates.rows()) {
      PyErr_Format(PyExc_ValueError, "query has %zu rows and candidates %zu; for every pair use %s",
                   queries.rows(), candidates.rows(), matrix_name(measure));
      return nullptr;
    }
    // One row: a candidates side of one text would be taken as broadcast,
    // which is the same pair.
    return mask_null_rows(row_by_row(options, queries.text_rows(), candidates.text_rows(),
                                     std::max(queries.longest(), candidates.longest())),
                          {&queries, &candidates});
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
  return o.measure == Measure::kJaroWinkler || o.normalized ? PyFloat_FromDouble(*o.min_similarity)
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
  const bool jw = built.measure == Measure::kJaroWinkler || built.normalized;
  if (jw) {
    if (!a.optional(slot, built.normalized ? extract_normalized_cutoff : extract_similarity_cutoff,
                    options.min_similarity))
      return false;
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
  // One snapshot of the candidates: the tuple of str the index keeps (and
  // pickles), from which the texts are taken in; an Arrow column is read in
  // place, and the tuple made from what was read.
  Texts taken;
  Ref texts;
  auto take_candidates = [&](PyObject* obj, Texts& t) {
    if (ArrowInput::offered_by(obj)) return take_texts(obj, t);
    if (has_tolist(obj)) {
      t.listed = Ref(PyObject_CallMethod(obj, "tolist", nullptr));
      if (!t.listed) return false;
      obj = t.listed.get();
    }
    if (!PyUnicode_Check(obj) && PySequence_Check(obj)) {
      texts = Ref(PySequence_Tuple(obj));
      if (!texts) return false;
      obj = texts.get();
    }
    return take_texts(obj, t);  // refuses a str, and what is no sequence, as the functions do
  };
  if (!a.convert(0, take_candidates, taken)) return false;
  ManyOptions options;
  if (!a.convert(1, extract_measure, options.measure)) return false;
  if (a.is_none(2)) {
    PyErr_SetString(PyExc_TypeError, "Index() missing required argument: 'score_cutoff'");
    return false;
  }
  if (!normalized_ahead(a, slots_of(kIndexNew), options.normalized)) return false;
  if (options.normalized && options.measure == Measure::kJaroWinkler) {
    PyErr_SetString(PyExc_TypeError, "normalized applies to 'levenshtein' and 'damerau' only: "
                                      "'jaro_winkler' is a similarity already");
    return false;
  }
  if (options.normalized) {
    double cutoff = 0;
    if (!a.convert(2, extract_normalized_cutoff, cutoff)) return false;
    options.min_similarity = cutoff;
  } else if (options.measure == Measure::kJaroWinkler) {
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
  if (!a.flag(6, options.normalized)) return false;
  out.workers = workers ? static_cast<std::size_t>(std::min<std::uint64_t>(*workers, kMaxManyWorkers))
                        : default_workers();
  options.workers = out.workers;  // the build's too
  if (!read_arrow({{&taken, kIndexNew.params[0]}}, true, out.workers)) return false;
  if (taken.arrow.taken()) {
    const auto views = taken.views();
    texts = Ref(PyTuple_New(static_cast<Py_ssize_t>(views.size())));
    if (!texts) return false;
    for (std::size_t k = 0; k < views.size(); ++k) {
      PyObject* text = PyUnicode_DecodeUTF8(views[k].data, static_cast<Py_ssize_t>(views[k].size), nullptr);
      if (!text) return false;
      PyTuple_SetItem(texts.get(), static_cast<Py_ssize_t>(k), text);  // steals the reference
      if (k % kRowsPerSignalCheck == 0 && PyErr_CheckSignals() < 0) return false;
    }
  }
  if (taken.views().size() >= UINT32_MAX) {
    PyErr_SetString(PyExc_ValueError, "an index holds fewer than 2**32 texts");
    return false;
  }
  std::shared_ptr<const JoinIndex> index;
  if (!run_released([&] { return start_index_build(options, taken.views(), index); })) return false;
  out.index = std::move(index);
  // What pickling passes back to the constructor.
  Ref cutoff(cutoff_to_python(options));
  Ref p = options.p ? Ref(PyFloat_FromDouble(*options.p)) : Ref::borrow(Py_None);
  Ref given_workers = workers ? Ref(PyLong_FromUnsignedLongLong(*workers)) : Ref::borrow(Py_None);
  if (!cutoff || !p || !given_workers) return false;
  out.arguments = Ref(Py_BuildValue("(OsOOOOO)", texts.get(), measure_name(options.measure), cutoff.get(),
                                    options.case_insensitive ? Py_True : Py_False, p.get(),
                                    given_workers.get(), options.normalized ? Py_True : Py_False));
  return bool(out.arguments);
}

PyObject* index_top(const IndexParts& ix, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Arguments a(kIndexTop);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    Texts queries;
    if (!a.convert(0, take_texts, queries)) return nullptr;
    std::uint64_t k = 0;
    if (!a.convert(1, extract_k, k)) return nullptr;
    ManyOptions options = ix.index->options();
    if (!search_cutoff(ix, a, 2, options) || !search_workers(ix, a, 3, options) ||
        !read_arrow({{&queries, kIndexTop.params[0]}}, true, options.workers))
      return nullptr;
    const auto views = queries.views();
    const std::size_t width = static_cast<std::size_t>(std::min<std::uint64_t>(k, ix.index->size()));
    return top_result(views.size(), width, ix.index->score_type(views), [&](const TopOutput& target) {
      return start_index_top(ix.index, options, views, target);
    });
  });
}

PyObject* index_pairs(const IndexParts& ix, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded_with_runtime_state([&]() -> PyObject* {
    Arguments a(kIndexPairs);
    if (!a.bind(args, nargs, kwnames)) return nullptr;
    Texts queries;
    const bool self = a.is_none(0);
    if (!self && !a.convert(0, take_texts, queries)) return nullptr;
    ManyOptions options = ix.index->options();
    if (!search_cutoff(ix, a, 1, options) || !search_workers(ix, a, 2, options) ||
        !read_arrow({{&queries, kIndexPairs.params[0]}}, true, options.workers))
      return nullptr;
    std::optional<std::span<const TextView>> views;
    if (!self) views = queries.views();
    const ScoreType type = ix.index->score_type(self ? std::span<const TextView>() : *views);
    return pairs_result(type, [&](PairsFound& found) {
      return start_index_pairs(ix.index, options, views, type, found);
    });
  });
}

namespace {

}  // namespace

PyObject* with_plan(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_with_runtime_state([&]() -> PyObject* {
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
    PyObject* state = PyThreadState_GetDict();
    Ref number(PyLong_FromLong(static_cast<long>(plan)));
    if (!state || !number) return nullptr;
    Ref before = Ref::borrow(PyDict_GetItemString(state, kPlanKey));
    if (PyDict_SetItemString(state, kPlanKey, number.get()) < 0) return nullptr;
    Ref result(PyObject_Call(PyTuple_GetItem(args, 1), rest.get(), kwargs));
    // The plan before is restored whatever the call did; its exception is kept.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    const bool restored = (before ? PyDict_SetItemString(state, kPlanKey, before.get())
                                  : PyDict_DelItemString(state, kPlanKey)) == 0;
    if (type) {
      if (!restored) PyErr_Clear();
      PyErr_Restore(type, value, traceback);
      return nullptr;
    }
    return restored ? result.release() : nullptr;
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

PyObject* levenshtein_clusters(PyObject*, PyObject* args, PyObject* kwargs) {
  return join_clusters(kLevenshteinClusters, Measure::kLevenshtein, args, kwargs);
}
PyObject* damerau_clusters(PyObject*, PyObject* args, PyObject* kwargs) {
  return join_clusters(kDamerauClusters, Measure::kDamerau, args, kwargs);
}
PyObject* jaro_winkler_clusters(PyObject*, PyObject* args, PyObject* kwargs) {
  return join_clusters(kJaroWinklerClusters, Measure::kJaroWinkler, args, kwargs);
}

PyObject* levenshtein_scores(PyObject*, PyObject* args, PyObject* kwargs) {
  return scores(kLevenshteinScores, Measure::kLevenshtein, args, kwargs);
}
PyObject* damerau_scores(PyObject*, PyObject* args, PyObject* kwargs) {
  return scores(kDamerauScores, Measure::kDamerau, args, kwargs);
}
PyObject* jaro_winkler_scores(PyObject*, PyObject* args, PyObject* kwargs) {
  return scores(kJaroWinklerScores, Measure::kJaroWinkler, args, kwargs);
}

}  // namespace quillmatch::py
