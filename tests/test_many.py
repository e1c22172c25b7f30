"""quillmatch_many: every score against the scalar functions, top and pairs semantics,
inputs, errors, running out of memory, and Ctrl-C."""

import collections
import doctest
import hashlib
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

import quillmatch as qm
import quillmatch_many as qmm
from helpers import SANITIZED, assert_raises_with_note

SCALAR = {"levenshtein": qm.levenshtein_bp, "damerau": qm.damerau_bp,
          "jaro_winkler": qm.jaro_winkler_similarity}
MEASURES = pytest.mark.parametrize("measure", list(SCALAR))
OTHER = "\u00e9\u00c9\u00df\u0130\u0131\u03a3\u03c3\u212a\u4e2d\U0001f600"


def fn(measure, kind):
    return getattr(qmm, "%s_%s" % (measure, kind))


def random_texts(rnd, n, longest=70):
    """Words over a small alphabet, so that many pairs are close, with edits, case flips,
    non-ASCII letters, empty texts and texts around the 64-code-point word boundary."""
    base = ["kitten", "sitting", "Kitten", "flaw", "lawn", "\u0130stanbul", "stra\u00dfe"]
    out = []
    for _ in range(n):
        kind = rnd.random()
        if kind < 0.05:
            out.append("")
        elif kind < 0.15:
            out.append("".join(rnd.choice("ab\u00e9c") for _ in range(rnd.randint(60, longest))))
        elif kind < 0.6:
            w = list(rnd.choice(base))
            for _ in range(rnd.randint(0, 3)):  # insertions and adjacent swaps
                at = rnd.randrange(len(w))
                if rnd.random() < 0.5:
                    w.insert(at, rnd.choice("aeiKT" + OTHER))
                else:
                    w[at:at + 2] = w[at:at + 2][::-1]
            out.append("".join(w))
        else:
            out.append("".join(rnd.choice("abcAB" + OTHER) for _ in range(rnd.randint(1, 12))))
    return out


def options(measure, rnd):
    kw = {"case_insensitive": rnd.choice([None, False, True])}
    if measure == "jaro_winkler":
        kw["p"] = rnd.choice([None, 0.0, 0.25, rnd.uniform(0, 0.25)])
    return kw


def scalar_matrix(measure, queries, candidates, kw):
    return [[SCALAR[measure](q, c, **kw) for c in candidates] for q in queries]


def expected_dtype(measure, texts):
    if measure == "jaro_winkler":
        return np.float64
    longest = max([len(t.encode()) for t in texts] or [0])
    return next(t for t in (np.uint8, np.uint16, np.uint32) if longest <= np.iinfo(t).max)


def within(measure, score, cutoff):
    return cutoff is None or (score >= cutoff if measure == "jaro_winkler" else score <= cutoff)


def better_key(measure):
    return (lambda e: (-e[1], e[0])) if measure == "jaro_winkler" else (lambda e: (e[1], e[0]))


# Few queries against many candidates are split over candidate ranges and merged; many
# queries are split over rows. Both are compared with the scalar functions cell by cell.
SHAPES = {"rows": (45, 140, [1, 3]), "columns": (2, 2600, [2, 5])}


@MEASURES
@pytest.mark.parametrize("shape", list(SHAPES))
def test_matrix_top_and_pairs_equal_the_scalar_functions(measure, shape):
    rnd = random.Random(measure + shape)
    n, m, worker_counts = SHAPES[shape]
    queries, candidates = random_texts(rnd, n), random_texts(rnd, m)
    for workers in worker_counts:
        kw = options(measure, rnd)
        full = scalar_matrix(measure, queries, candidates, kw)
        got = fn(measure, "matrix")(queries, candidates, workers=workers, **kw)
        assert got.dtype == expected_dtype(measure, queries + candidates) and got.shape == (n, m)
        assert got.tolist() == full

        scores = [sorted(row) for row in full]
        cutoff = rnd.choice([None, scores[0][len(scores[0]) // 3]])
        k = rnd.choice([1, 3, 50, m + 7])
        indices, top_scores, counts = fn(measure, "top")(queries, candidates, k, cutoff,
                                                         workers=workers, **kw)
        width = min(k, m)
        assert indices.shape == top_scores.shape == (n, width) and counts.shape == (n,)
        assert top_scores.dtype == got.dtype and indices.dtype == counts.dtype == np.int64
        for i, row in enumerate(full):
            kept = sorted([(j, s) for j, s in enumerate(row) if within(measure, s, cutoff)],
                          key=better_key(measure))[:width]
            assert counts[i] == len(kept)
            assert list(zip(indices[i].tolist(), top_scores[i].tolist())) == \
                kept + [(-1, 0)] * (width - len(kept))

        cutoff = scores[-1][len(scores[-1]) // 4]
        qi, ci, ps = fn(measure, "pairs")(queries, candidates, cutoff, workers=workers, **kw)
        assert ps.dtype == got.dtype and qi.dtype == ci.dtype == np.int64
        assert list(zip(qi.tolist(), ci.tolist(), ps.tolist())) == [
            (i, j, s) for i, row in enumerate(full) for j, s in enumerate(row)
            if within(measure, s, cutoff)]


@MEASURES
def test_a_list_against_itself(measure):
    rnd = random.Random(5)
    texts = random_texts(rnd, 120)
    kw = options(measure, rnd)
    full = scalar_matrix(measure, texts, texts, kw)
    for workers in (1, 4):
        assert fn(measure, "matrix")(texts, workers=workers, **kw).tolist() == full
        assert fn(measure, "matrix")(texts, None, **kw).tolist() == full
        cutoff = 0.8 if measure == "jaro_winkler" else 3
        qi, ci, ps = fn(measure, "pairs")(texts, score_cutoff=cutoff, workers=workers, **kw)
        assert list(zip(qi.tolist(), ci.tolist(), ps.tolist())) == [
            (i, j, full[i][j]) for i in range(len(texts)) for j in range(i + 1, len(texts))
            if within(measure, full[i][j], cutoff)]


def test_worked_examples():
    names = ["Jon Smith", "John Smith", "jon smith", "Jane Doe", "Jon Smyth"]
    qi, ci, d = qmm.damerau_pairs(names, score_cutoff=1, case_insensitive=True)
    assert list(zip(qi.tolist(), ci.tolist(), d.tolist())) == [(0, 1, 1), (0, 2, 0), (0, 4, 1),
                                                               (1, 2, 1), (2, 4, 1)]
    # Ties keep candidate order; a cutoff leaves rows short, padded with -1 and 0.
    idx, dist, count = qmm.levenshtein_top(["ab", "zzzz"], ["ax", "ab", "xb", "b"], 3, 1)
    assert idx.tolist() == [[1, 0, 2], [-1, -1, -1]] and dist.tolist() == [[0, 1, 1], [0, 0, 0]]
    assert count.tolist() == [3, 0]
    assert qmm.damerau_matrix(["ab"], ["ba", "abc"]).tolist() == [[1, 1]]
    assert qmm.jaro_winkler_top(["MARTHA"], ["MARHTA", "x"], 1)[1].tolist() == [[0.9611111111111111]]
    assert qmm.levenshtein_matrix([], ["a"]).shape == (0, 1)
    assert qmm.levenshtein_matrix(["a"], []).shape == (1, 0)
    assert [a.shape for a in qmm.levenshtein_top(["a"], [], 5)] == [(1, 0), (1, 0), (1,)]
    assert qmm.levenshtein_matrix(["a" * 255]).dtype == np.uint8
    assert qmm.levenshtein_matrix(["a" * 256]).dtype == np.uint16
    # Folding makes a longer text: the type is chosen by UTF-8 length, which bounds it.
    assert qmm.levenshtein_matrix(["\u0130" * 127], ["x"], True).tolist() == [[254]]
    # An empty query's distance counts the candidate after folding, as the scalar functions do.
    assert qmm.levenshtein_matrix([""], ["\u0130"], True).tolist() == [[2]]
    assert qmm.levenshtein_matrix(["", "\u0130"], case_insensitive=True).tolist() == [[0, 2], [2, 0]]
    assert qmm.damerau_pairs(["", "\u0130x"], score_cutoff=3, case_insensitive=True)[2].tolist() == [3]
    assert qmm.damerau_pairs(["", "\u0130x"], score_cutoff=2, case_insensitive=True)[2].tolist() == []
    assert qmm.levenshtein_top([""], ["\u0130\u0130", "abc"], 1, case_insensitive=True)[0].tolist() == [[1]]


def test_dtype_follows_the_longest_text_wherever_it_sits():
    # The longest text is known from the taking in, by each way a sequence is taken
    # (an exact list or tuple, any other sequence, a numpy array) and on either side.
    long, short = "\u00e9" * 128, ["ab", "b"]  # 256 bytes of UTF-8, 128 code points
    calls = [
        lambda q, c: qmm.levenshtein_scores(q[0], c),
        lambda q, c: qmm.levenshtein_scores(q, c),
        lambda q, c: qmm.damerau_matrix(q, c),
        lambda q, c: qmm.levenshtein_top(q, c, 1)[1],
        lambda q, c: qmm.damerau_pairs(q, c, score_cutoff=300)[2],
        lambda q, c: qmm.levenshtein_pairs(list(q) + list(c), score_cutoff=300)[2],
    ]
    for make in (list, tuple, collections.UserList, np.array):
        for queries, candidates, wide in ((short, short, False), ([long, "a"], short, True),
                                          (short, ["a", long], True)):
            for call in calls:
                got = call(make(queries), make(candidates)).dtype
                assert got == (np.uint16 if wide else np.uint8), (make, queries, candidates)


class Series:
    """Stands in for pandas.Series, which is found by its type's name and module."""
    __module__ = "pandas.core.series"

    def __init__(self, items):
        self.items = items

    def tolist(self):
        return list(self.items)


def test_every_function_documents_its_result_with_an_example_that_runs():
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner()
    for name in qmm.__all__:
        doc = getattr(qmm, name).__doc__ or ""
        test = parser.get_doctest(doc, {"qmm": qmm}, name, None, 0)
        assert "Returns" in doc and test.examples, name
        report = []
        assert runner.run(test, out=report.append).failed == 0, "".join(report)


def test_inputs_taken_in_like_a_list():
    words = ["kitten", "sitting", "k\u00eftten", "\u4e2d"]
    want = qmm.levenshtein_matrix(words).tolist()
    for make in (tuple, np.array, lambda w: np.array(w, dtype=object), Series,
                 lambda w: np.array(w)[::-1][::-1]):
        assert qmm.levenshtein_matrix(make(words), make(words)).tolist() == want
    assert_raises_with_note(TypeError, "'int' object is not an instance of 'str'", "queries",
                            qmm.levenshtein_matrix, np.array([1, 2]))
    assert_raises_with_note(TypeError, "'list' object is not an instance of 'str'", "candidates",
                            qmm.levenshtein_matrix, words, np.array([words, words]))


def test_reference_counts_unchanged():
    queries = ["q%d\u00e9" % i if i % 2 else "q%d" % i for i in range(40)]
    candidates = ["c%d" % i for i in range(3000)]
    calls = [lambda: qmm.levenshtein_matrix(queries, candidates, workers=3),
             lambda: qmm.damerau_top(queries, candidates, 5, 2),
             lambda: qmm.jaro_winkler_top(queries[:1], candidates, 5, workers=4),
             lambda: qmm.jaro_winkler_pairs(queries, None, 0.5),
             lambda: qmm.jaro_winkler_matrix(queries, candidates, p=0.5),  # fails after the take-in
             lambda: qmm.damerau_pairs(queries, candidates + [None], 1),   # fails during it
             lambda: qmm.levenshtein_clusters(queries + candidates, 1),
             lambda: qmm.jaro_winkler_clusters(candidates, 0.9, p=0.5)]    # fails after the take-in
    before = [sys.getrefcount(x) for x in queries + candidates + [queries, candidates]]
    for call in calls:
        try:
            call()
        except (ValueError, TypeError):
            pass
    after = [sys.getrefcount(x) for x in queries + candidates + [queries, candidates]]
    assert after == before


ERRORS = [
    (qmm.levenshtein_matrix, (5,), {}, TypeError, "'int' object is not an instance of 'Sequence'", "queries"),
    (qmm.damerau_matrix, ("abc",), {}, TypeError, "Can't extract `str` to `Vec`", "queries"),
    (qmm.damerau_top, (["a"], None, 1), {}, TypeError, "'None' is not an instance of 'Sequence'", "candidates"),
    (qmm.jaro_winkler_pairs, (["a"], ["b", 3], 0.5), {}, TypeError,
     "'int' object is not an instance of 'str'", "candidates"),
    (qmm.levenshtein_top, (["a"], ["b"], 0), {}, ValueError, "k must be at least 1", "k"),
    (qmm.levenshtein_top, (["a"], ["b"], -3), {}, ValueError, "k must be at least 1", "k"),
    (qmm.levenshtein_top, (["a"], ["b"], 1.0), {}, TypeError,
     "'float' object cannot be interpreted as an integer", "k"),
    (qmm.damerau_top, (["a"], ["b"], 2, -1), {}, ValueError, "score_cutoff must not be negative", "score_cutoff"),
    (qmm.damerau_pairs, (["a"],), {"score_cutoff": -1}, ValueError, "score_cutoff must not be negative",
     "score_cutoff"),
    (qmm.jaro_winkler_pairs, (["a"], None, -0.5), {}, ValueError, "score_cutoff must not be negative",
     "score_cutoff"),
    (qmm.jaro_winkler_top, (["a"], ["b"], 1, float("nan")), {}, ValueError, "score_cutoff must not be NaN",
     "score_cutoff"),
    (qmm.levenshtein_pairs, (["a"],), {}, TypeError, "levenshtein_pairs() missing required argument: 'score_cutoff'",
     None),
    (qmm.levenshtein_pairs, (["a"], None, None), {}, TypeError,
     "levenshtein_pairs() missing required argument: 'score_cutoff'", None),
    (qmm.levenshtein_matrix, (["a"],), {"case_insensitive": 1}, TypeError,
     "'int' object is not an instance of 'bool'", "case_insensitive"),
    (qmm.levenshtein_matrix, (["a"],), {"workers": 0}, ValueError, "workers must be at least 1", "workers"),
    (qmm.jaro_winkler_matrix, (["a"],), {"p": 0.3}, ValueError, "InvalidPrefixScale { value: 0.3 }", None),
    (qmm.jaro_winkler_top, ([], [], 1), {"p": -0.1}, ValueError, "InvalidPrefixScale { value: -0.1 }", None),
    (qmm.jaro_winkler_pairs, (["a"], None, 0.5, None, "x"), {}, TypeError, "must be real number, not str", "p"),
    (qmm.damerau_top, (["a"],), {}, TypeError,
     "damerau_top() missing 2 required positional arguments: 'candidates' and 'k'", None),
    (qmm.levenshtein_top, (), {}, TypeError,
     "levenshtein_top() missing 3 required positional arguments: 'queries', 'candidates', and 'k'", None),
    (qmm.levenshtein_matrix, (["a"], None, None, None, None, None), {}, TypeError,
     "levenshtein_matrix() takes from 1 to 5 positional arguments but 6 were given", None),
    (qmm.levenshtein_pairs, (["a"],), {"score_cutoff": 1.5, "normalized": True}, ValueError,
     "with normalized=True, score_cutoff must lie in [0, 1]", "score_cutoff"),
    (qmm.damerau_top, (["a"], ["b"], 1, -0.25), {"normalized": True}, ValueError,
     "with normalized=True, score_cutoff must lie in [0, 1]", "score_cutoff"),
    (qmm.levenshtein_top, (["a"], ["b"], 1, float("nan")), {"normalized": True}, ValueError,
     "score_cutoff must not be NaN", "score_cutoff"),
    (qmm.damerau_scores, ("a", ["b"]), {"normalized": 1}, TypeError,
     "'int' object is not an instance of 'bool'", "normalized"),
    (qmm.jaro_winkler_pairs, (["a"],), {"score_cutoff": 0.5, "normalized": True}, TypeError,
     "jaro_winkler_pairs() got an unexpected keyword argument 'normalized'", None),
    (qmm.levenshtein_matrix, (["a"],), {"p": 0.1}, TypeError,
     "levenshtein_matrix() got an unexpected keyword argument 'p'", None),
]


@pytest.mark.parametrize("function, args, kw, exc, message, param", ERRORS)
def test_errors(function, args, kw, exc, message, param):
    assert_raises_with_note(exc, message, param, function, *args, **kw)


def run_child(code, *args, **popen):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)] + list(args), env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)


def test_without_numpy_results_are_flat_memoryviews():
    child = run_child('''
        import sys
        sys.modules["numpy"] = None  # import numpy raises ImportError
        import quillmatch_many as qmm
        m = qmm.levenshtein_matrix(["ab", "abc"], ["b", "", "abcd"])
        i, s, c = qmm.jaro_winkler_top(["ab"], ["ab", "b"], 5)
        print([type(m).__name__, m.format, m.tolist(), i.format, i.tolist(), s.format, s.tolist(),
               c.tolist()])
    ''')
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.strip() == str(["memoryview", "B", [1, 2, 2, 2, 3, 1], "q", [0, 1], "d",
                               [1.0, 0.0], [2]])


# Results of every element type and both ranks, empty ones too, described by what a user
# of the arrays may see. Run here and in a child.
RESULT_KINDS = '''
import quillmatch_many as qmm

def results():
    return [qmm.levenshtein_matrix(["ab", "abc"], ["b", "", "abcd"]),
            *qmm.jaro_winkler_top(["ab"], ["ab", "b"], 5),
            qmm.levenshtein_matrix(["a" * 256], ["b"]),
            qmm.levenshtein_scores("a" * 70000, ["b", ""]),
            *qmm.damerau_pairs(["ab", "abc", "x"], score_cutoff=0.5, normalized=True),
            qmm.levenshtein_scores(["ab", None], ["abc", "b"]).mask,
            qmm.levenshtein_matrix([], ["a"]),
            *qmm.levenshtein_top(["a"], [], 5)]

def described(a):
    while type(a.base) is type(a):  # numpy.ma's mask is a view of the one made
        a = a.base
    f = a.flags
    return (type(a).__name__, a.dtype.str, a.shape, a.strides, f.c_contiguous, f.f_contiguous,
            f.owndata, f.writeable, f.aligned, type(a.base).__name__, len(a.base) == a.nbytes,
            a.tolist())
'''


def described_results():
    here = {}
    exec(RESULT_KINDS, here)
    return [here["described"](a) for a in here["results"]()], here


def test_result_arrays_are_made_as_numpy_ndarray_makes_them_over_a_bytearray():
    # Arrays are made through numpy's C API table where there is one, else by calling
    # numpy.ndarray(shape, dtype, buffer): the two must not differ in anything a user sees.
    made, here = described_results()
    assert {d[1] for d in made} >= {"|u1", "<u2", "<u4", "<i8", "<f8", "|b1"}
    for d, a in zip(made, here["results"]()):
        plain = np.ndarray(a.shape, a.dtype, bytearray(a.nbytes))
        plain[...] = a
        assert d == here["described"](plain)


def test_result_arrays_with_numpy_c_api_out_of_reach_are_the_same():
    made, _ = described_results()
    child = run_child(RESULT_KINDS + '''
import sys
import numpy
# The C API table out of reach: numpy is imported, its core module is not importable.
sys.modules["numpy._core._multiarray_umath"] = sys.modules["numpy.core._multiarray_umath"] = None
print(repr([described(a) for a in results()]))
''')
    out, err = child.communicate(timeout=120)
    assert child.returncode == 0, err
    assert out.strip() == repr(made)


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"),
                    reason="AddressSanitizer reserves far more address space than the limit leaves")
def test_a_matrix_too_large_raises_memory_error_naming_its_shape():
    child = run_child('''
        import resource
        import quillmatch_many as qmm
        names = ["a"] * 100000
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) << 10 for l in f if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (500 << 20), resource.RLIM_INFINITY))
        for call in (lambda: qmm.levenshtein_matrix(names), lambda: qmm.levenshtein_top(names, names, 20000)):
            try:
                call()
            except MemoryError as e:
                print(e)
        print(qmm.levenshtein_matrix(["ab"], ["b"]).tolist())
    ''')
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    assert out.splitlines() == ["cannot allocate a 100000 x 100000 matrix of uint8",
                                "cannot allocate a 100000 x 20000 matrix of int64", "[[1]]"]


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"),
                    reason="AddressSanitizer reserves far more address space than the limit leaves")
def test_threads_the_system_refuses_leave_the_work_to_those_that_start():
    # Address space for some of the threads asked for, then for none: the same results.
    # With 64 MiB the threads that start find little memory for anything else (their
    # thread-local storage, if it were allocated on first use, among it).
    # One process each, and no thread before the limit: glibc caches the stacks of
    # joined threads and starts later ones on them.
    code = '''
        import hashlib, resource, sys, numpy
        import quillmatch_many as qmm
        names = ["n%06d" % i for i in range(int(sys.argv[2]))]
        with open("/proc/self/status") as f:
            size = next(int(l.split()[1]) << 10 for l in f if l.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, (size + (int(sys.argv[1]) << 10), resource.RLIM_INFINITY))
        for a in (qmm.levenshtein_matrix(names, names[:200], workers=256),
                  *qmm.damerau_pairs(names, score_cutoff=1, workers=64)):
            print(hashlib.sha256(a.tobytes()).hexdigest())
    '''
    for room_kib, n in ((64 << 10, 3000), (128 << 10, 3000), (250, 80)):
        names = ["n%06d" % i for i in range(n)]
        want = [hashlib.sha256(a.tobytes()).hexdigest()
                for a in (qmm.levenshtein_matrix(names, names[:200], workers=1),
                          *qmm.damerau_pairs(names, score_cutoff=1, workers=1))]
        child = run_child(code, str(room_kib), str(n))
        out, err = child.communicate(timeout=300)
        assert child.returncode == 0, err
        assert out.splitlines() == want, room_kib


# Calls that would run for minutes or hours, one for each kind of long phase: a
# name, the child's set-up, and the call.
INTERRUPTED = [
    ("matrix of long texts, two workers",
     'texts = ["".join(rnd.choices("abcd\\u00e9", k=8000)) for _ in range(600)]',
     "qmm.damerau_matrix(texts, workers=2)"),
    ("matrix of long texts, on the calling thread",
     'texts = ["".join(rnd.choices("abcd", k=8000)) for _ in range(600)]',
     "qmm.levenshtein_matrix(texts, workers=1)"),
    ("top of one long query",
     'texts = ["".join(rnd.choices("ab", k=2000)) for _ in range(10000)]',
     'qmm.levenshtein_top(["a" * 40000], texts, 5)'),
    ("self join of equal texts, filtered, on the calling thread",
     'texts = ["same"] * 8000',
     'qmm._with_plan("filtered", qmm.levenshtein_pairs, texts, None, 0, workers=1)'),
    ("clusters of a self join, filtered: anagrams, every pair scored",
     'texts = ["".join(rnd.sample("abcdefghijkl", 12)) for _ in range(60000)]',
     'qmm._with_plan("filtered", qmm.jaro_winkler_clusters, texts, 0.97, workers=2)'),
    ("clusters of a self join, cross product, on the calling thread",
     'texts = ["".join(rnd.choices("abcd", k=200)) for _ in range(40000)]',
     'qmm._with_plan("cross", qmm.levenshtein_clusters, texts, 3, workers=1)'),
    ("rows of two lists, scored while taken in",
     'pool = ["".join(rnd.choices("abcd", k=300)) for _ in range(1000)]\n'
     '        q = [rnd.choice(pool) for _ in range(2000000)]',
     "qmm.levenshtein_scores(q, q[::-1], workers=2)"),
    ("index build and the list taken in",
     'texts = ["".join(rnd.choices("abcdefghij", k=rnd.randint(8, 20))) for _ in range(600000)]',
     'qmm.Index(texts * 4, "damerau", 3)'),
]
# The seconds a fixed piece of work (the child's `reference`, 400 pairs of
# 1 000 characters) takes in a release build on an idle two-core x86-64, and
# the latency allowed there. A slower machine, a loaded one or a sanitized
# build gets the same allowance in work: the budget grows with the time the
# reference takes.
REFERENCE_SECONDS, ALLOWED_SECONDS = 0.006, 1.0


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or sys.platform == "win32", reason="POSIX signals")
@pytest.mark.parametrize("name, setup, call", INTERRUPTED, ids=[n for n, _, _ in INTERRUPTED])
def test_ctrl_c_stops_every_long_phase_and_raises_keyboard_interrupt(name, setup, call):
    child = run_child('''
        import random, time
        import quillmatch_many as qmm

        def timed(f):
            started = time.perf_counter()
            f()
            return time.perf_counter() - started

        rnd = random.Random(1)
        reference = ["".join(rnd.choices("ab", k=1000)) for _ in range(20)]
        unit = min(timed(lambda: qmm.levenshtein_matrix(reference, workers=1)) for _ in range(2))
        SETUP
        print(unit, flush=True)
        try:
            CALL
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.monotonic())
        print(qmm.damerau_pairs(["ab", "ba"], score_cutoff=1)[2].tolist())
    '''.replace("SETUP", setup).replace("CALL", call))
    unit = float(child.stdout.readline())
    time.sleep(0.3)  # the call has begun
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=600)
    assert child.returncode == 0, err
    lines = out.split("\n")
    assert lines[0].split()[0] == "interrupted" and lines[1] == "[1]", out
    latency = float(lines[0].split()[1]) - sent
    budget = ALLOWED_SECONDS * max(1.0, unit / REFERENCE_SECONDS)
    print("\n%s: interrupted after %.3f s (budget %.2f s)" % (name, latency, budget))
    assert latency < budget
