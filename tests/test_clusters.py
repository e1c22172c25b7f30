"""quillmatch_many.clusters: the labels against a plain Python union-find over random
graphs, every kind of index input, the errors, the pairs of a self join, and Ctrl-C.
The clusters of a self join ({measure}_clusters) against clusters() over the pairs."""

import os
import random
import signal
import subprocess
import sys
import textwrap
from collections import Counter

import numpy as np
import pytest

import quillmatch_many as qmm
from helpers import SANITIZED, assert_raises_with_note
from test_many import fn, options, random_texts


def reference_labels(n, i, j):
    """Union-find with no balancing, then each node labelled by its component's smallest."""
    parent = list(range(n))

    def root(x):
        while parent[x] != x:
            x = parent[x]
        return x

    for a, b in zip(i, j):
        parent[root(a)] = root(b)
    smallest = {}
    for v in range(n):
        smallest.setdefault(root(v), v)
    return [smallest[root(v)] for v in range(n)]


def random_graph(rnd, n):
    """Edges with self loops, repeats in either direction, and chains through many nodes."""
    i, j = [], []
    for _ in range(rnd.randrange(2 * n + 1) if n else 0):
        kind = rnd.random()
        if kind < 0.1:
            a = rnd.randrange(n)
            i.append(a), j.append(a)
        elif kind < 0.25 and i:
            k = rnd.randrange(len(i))
            a, b = (i[k], j[k]) if rnd.random() < 0.5 else (j[k], i[k])
            i.append(a), j.append(b)
        elif kind < 0.4:
            a = rnd.randrange(n)
            b = min(n - 1, a + 1)
            i.append(b), j.append(a)
        else:
            i.append(rnd.randrange(n)), j.append(rnd.randrange(n))
    return i, j


GRAPHS = [(0, [], []), (4, [], []), (3, [2, 2], [2, 2]), (5, [4, 3, 2, 1], [3, 2, 1, 0]),
          (6, [5, 0, 5], [0, 5, 0])]


def test_labels_equal_the_reference_over_random_graphs():
    rnd = random.Random(17)
    graphs = GRAPHS + [(n, *random_graph(rnd, n)) for n in [1, 2, 7, 50, 300] for _ in range(40)]
    for n, i, j in graphs:
        labels = qmm.clusters(i, j, n)
        assert labels.dtype == np.int64 and labels.shape == (n,)
        assert labels.tolist() == reference_labels(n, i, j), (n, i, j)


def test_one_long_chain_in_any_order_is_one_cluster():
    n = 700000  # more nodes and edges than the run does between two looks for a stop
    i, j = np.arange(1, n), np.arange(0, n - 1)
    order = np.random.default_rng(4).permutation(n - 1)
    assert not qmm.clusters(i[order], j[order], n).any()
    labels = qmm.clusters(i[: n // 2], j[: n // 2], n)
    assert not labels[: n // 2 + 1].any() and (labels[n // 2 + 1:] == np.arange(n // 2 + 1, n)).all()


class NoList(np.ndarray):
    """An array whose tolist() fails: taken in, it was read in place."""

    def tolist(self):
        raise AssertionError("read entry by entry")


def test_every_kind_of_index_input_gives_the_same_labels():
    rnd = random.Random(3)
    n = 100
    i, j = random_graph(rnd, n)
    want = reference_labels(n, i, j)
    dtypes = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]
    inputs = [(tuple(i), tuple(j)), (i, np.array(j, dtype=object))]
    inputs += [(np.array(i, dtype=a), np.array(j, dtype=b)) for a, b in zip(dtypes, dtypes[::-1])]
    inputs += [(np.array(i, dtype=">i4"), np.array(j, dtype=">u2")),        # byte-swapped
               (np.repeat(i, 2)[::2], np.stack([j, j], axis=1)[:, 0]),     # strided
               (memoryview(np.array(i)), memoryview(np.array(j, dtype=np.int16)))]
    for a, b in inputs:
        assert qmm.clusters(a, b, n).tolist() == want, (type(a), getattr(a, "dtype", None))
    in_place = np.array(i, dtype=np.uint16).view(NoList), np.array(j).view(NoList)
    assert qmm.clusters(*in_place, n=n).tolist() == want
    offset = np.frombuffer(b"\0" + np.array(i, dtype=np.int64).tobytes(), dtype=np.int64, offset=1)
    assert qmm.clusters(offset, j, n).tolist() == want  # unaligned, read in place
    # What the pairs functions return, taken back as it is; a chain is one cluster
    # though "Jon" and "Johann" are three edits apart.
    texts = ["Jon", "John", "Johan", "Johann", "x", "xy", "Jane"]
    pi, pj, _ = qmm.levenshtein_pairs(texts, score_cutoff=1)
    assert qmm.clusters(pi, pj, len(texts)).tolist() == [0, 0, 0, 0, 4, 4, 6]


def test_clusters_of_a_self_join_equal_the_reference_over_its_pairs():
    rnd = random.Random(8)
    words = ["".join(rnd.choices("abc", k=rnd.randint(0, 6))) for _ in range(400)]
    i, j, _ = qmm.damerau_pairs(words, score_cutoff=1)
    labels = qmm.clusters(*qmm.damerau_pairs(words, score_cutoff=1)[:2], len(words))
    assert labels.tolist() == reference_labels(len(words), i.tolist(), j.tolist())
    assert 1 < len(set(labels.tolist())) < len(words)


ERRORS = [
    (([0, 1, 2], [0, 1, 2, 3, 4], 5), ValueError, "i has 3 entries and j 5", None),
    (([0], [], 5), ValueError, "i has 1 entry and j 0", None),
    (([0, 1, 2, 3, 4], [0, 1, 2, 3, 7], 5), ValueError, "j[4] is 7, not an index below n = 5", None),
    (([0, 5, 1], [9, 0, 1], 5), ValueError, "j[0] is 9, not an index below n = 5", None),
    (([0, 5, 1], [1, 9, 1], 5), ValueError, "i[1] is 5, not an index below n = 5", None),
    (([0, -1], [0, 0], 5), ValueError, "i[1] is -1, not an index below n = 5", None),
    ((np.array([0, -128], np.int8), [0, 0], 5), ValueError, "i[1] is -128, not an index below n = 5", None),
    (([0, 0], np.array([0, 2 ** 64 - 1], np.uint64), 5), ValueError,
     "j[1] is 18446744073709551615, not an index below n = 5", None),
    (([0], [0], 0), ValueError, "i[0] is 0, not an index below n = 0", None),
    ((None, [0], 5), TypeError, "'None' is not an instance of 'Sequence'", "i"),
    (([0], 3, 5), TypeError, "'int' object is not an instance of 'Sequence'", "j"),
    (([0.5], [0], 5), TypeError, "'float' object cannot be interpreted as an integer", "i"),
    (([0], np.array([1.0]), 5), TypeError, "'float' object cannot be interpreted as an integer", "j"),
    (([2 ** 63], [0], 5), OverflowError, "int too big to convert", "i"),
    (([0], [0], -1), OverflowError, "can't convert negative int to unsigned", "n"),
    (([0], [0], 2 ** 64), OverflowError, "int too big to convert", "n"),
    (([0], [0], None), TypeError, "'NoneType' object cannot be interpreted as an integer", "n"),
    (([0], [0]), TypeError, "clusters() missing 1 required positional argument: 'n'", None),
    (([0], [0], 1, 2), TypeError, "clusters() takes 3 positional arguments but 4 were given", None),
]


@pytest.mark.parametrize("args, exc, message, param", ERRORS)
def test_errors(args, exc, message, param):
    assert_raises_with_note(exc, message, param, qmm.clusters, *args)


def test_a_result_too_large_raises_memory_error():
    assert_raises_with_note(MemoryError, "cannot allocate an array of 4611686018427387904 int64", None,
                            qmm.clusters, [], [], 2 ** 62)


def run_child(code):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=300)


def test_without_numpy_labels_are_a_flat_memoryview_and_memoryviews_are_taken_in():
    child = run_child('''
        import sys
        sys.modules["numpy"] = None
        import quillmatch_many as qmm
        i, j, _ = qmm.levenshtein_pairs(["ab", "x", "abc", "abcd"], score_cutoff=1)
        labels = qmm.clusters(i, j, 4)
        print([type(labels).__name__, labels.format, labels.tolist()])
    ''')
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == str(["memoryview", "q", [0, 1, 0, 0]])


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_stops_a_large_run_and_raises_keyboard_interrupt():
    child = run_child('''
        import os, signal, threading
        import numpy as np
        import quillmatch_many as qmm

        n = 8000000  # random edges over this many nodes take seconds, a look for a stop every few ms
        rng = np.random.default_rng(1)
        i, j = rng.integers(0, n, n, dtype=np.int32), rng.integers(0, n, n, dtype=np.int32)
        threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            qmm.clusters(i, j, n)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted")
        print(qmm.clusters([0], [1], 2).tolist())
    ''')
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == ["interrupted", "[0,", "0]"]


def chained_texts(rnd, n):
    """Texts that are mostly an earlier text with an edit or a case flip: groups grow
    as chains and trees whose far ends differ by many edits, beside unrelated texts."""
    texts = random_texts(rnd, max(1, n // 4))
    while len(texts) < n:
        w = list(rnd.choice(texts[-20:] if rnd.random() < 0.5 else texts))
        if w and rnd.random() < 0.15:
            k = rnd.randrange(len(w))
            w[k] = w[k].swapcase()
        for _ in range(rnd.choice([0, 1, 1, 2])):
            at = rnd.randrange(len(w) + 1)
            edit = rnd.random()
            if edit < 0.4:
                w.insert(at, rnd.choice("abxyz\u00e9K"))
            elif edit < 0.7 and at < len(w):
                del w[at]
            elif at + 1 < len(w):
                w[at:at + 2] = w[at:at + 2][::-1]
        texts.append("".join(w))
    rnd.shuffle(texts)
    return texts[:n]


JOIN_CUTOFFS = {"levenshtein": [0, 1, 2, 3], "damerau": [0, 1, 2], "jaro_winkler": [0.0, 0.8, 0.9, 0.95]}
# Normalized similarities of the edit distances.
NORMALIZED_CUTOFFS = [0.0, 0.5, 0.75, 0.9, 1.0]


@pytest.mark.parametrize("measure, normalized", [(m, False) for m in JOIN_CUTOFFS] +
                         [("levenshtein", True), ("damerau", True)])
def test_join_clusters_equal_the_clusters_of_the_pairs(measure, normalized):
    rnd = random.Random("clusters" + measure + str(normalized))
    sets = [[], [""], ["a"]] + [chained_texts(rnd, n) for n in (2, 30, 250, 250)]
    for texts in sets:
        for cutoff in NORMALIZED_CUTOFFS if normalized else JOIN_CUTOFFS[measure]:
            kw = options(measure, rnd)
            if normalized:
                kw["normalized"] = True
            pairs = fn(measure, "pairs")(texts, score_cutoff=cutoff, **kw)
            want = qmm.clusters(*pairs[:2], len(texts))
            for plan in ("cross", "filtered", None):
                for workers in (1, 2, 7):
                    call = (fn(measure, "clusters"), texts, cutoff)
                    got = qmm._with_plan(plan, *call, workers=workers, **kw) if plan else call[0](
                        *call[1:], workers=workers, **kw)
                    assert got.dtype == np.int64 and got.tolist() == want.tolist(), (plan, workers, cutoff, kw)
            if len(texts) == 250 and 0 < cutoff < 3 and not normalized:  # a group holds texts beyond the cutoff
                labels = want.tolist()
                sizes, inside = Counter(labels), Counter(labels[a] for a in pairs[0].tolist())
                assert any(inside[g] < s * (s - 1) // 2 for g, s in sizes.items()), (cutoff, kw)


def test_join_clusters_of_many_near_duplicates_on_many_threads():
    # Enough pairs per task that workers join components at the same moments (fewer
    # texts where each step is several times slower).
    many, cross = (4000, 1000) if SANITIZED else (10000, 2000)
    texts = chained_texts(random.Random(23), many)
    for measure, cutoff, plan, n, case_insensitive in (
            ("levenshtein", 1, "filtered", many, True), ("damerau", 2, "filtered", many, False),
            ("jaro_winkler", 0.9, "filtered", many, True), ("levenshtein", 2, "cross", cross, False)):
        pairs = fn(measure, "pairs")(texts[:n], score_cutoff=cutoff, case_insensitive=case_insensitive)
        got = qmm._with_plan(plan, fn(measure, "clusters"), texts[:n], cutoff,
                             case_insensitive=case_insensitive, workers=7)
        assert got.tolist() == qmm.clusters(*pairs[:2], n).tolist(), (measure, plan)


JOIN_ERRORS = [
    (qmm.levenshtein_clusters, (5, 1), {}, TypeError, "'int' object is not an instance of 'Sequence'", "texts"),
    (qmm.damerau_clusters, ("abc", 1), {}, TypeError, "Can't extract `str` to `Vec`", "texts"),
    (qmm.jaro_winkler_clusters, (["b", 3], 0.5), {}, TypeError, "'int' object is not an instance of 'str'",
     "texts"),
    (qmm.levenshtein_clusters, (["a"],), {}, TypeError,
     "levenshtein_clusters() missing required argument: 'score_cutoff'", None),
    (qmm.damerau_clusters, (["a"], None), {}, TypeError,
     "damerau_clusters() missing required argument: 'score_cutoff'", None),
    (qmm.damerau_clusters, (["a"], -1), {}, ValueError, "score_cutoff must not be negative", "score_cutoff"),
    (qmm.levenshtein_clusters, (["a"], 0.5), {}, TypeError,
     "'float' object cannot be interpreted as an integer", "score_cutoff"),
    (qmm.jaro_winkler_clusters, (["a"], -0.5), {}, ValueError, "score_cutoff must not be negative",
     "score_cutoff"),
    (qmm.jaro_winkler_clusters, (["a"], float("nan")), {}, ValueError, "score_cutoff must not be NaN",
     "score_cutoff"),
    (qmm.levenshtein_clusters, (["a"], 1), {"case_insensitive": 1}, TypeError,
     "'int' object is not an instance of 'bool'", "case_insensitive"),
    (qmm.damerau_clusters, (["a"], 1), {"workers": 0}, ValueError, "workers must be at least 1", "workers"),
    (qmm.jaro_winkler_clusters, (["a"], 0.5), {"p": 0.3}, ValueError, "InvalidPrefixScale { value: 0.3 }", None),
    (qmm.jaro_winkler_clusters, ([], 0.5, None, "x"), {}, TypeError, "must be real number, not str", "p"),
    (qmm.levenshtein_clusters, (["a"], 1), {"p": 0.1}, TypeError,
     "levenshtein_clusters() got an unexpected keyword argument 'p'", None),
    (qmm.damerau_clusters, (["a"], 1, None, None, None, None), {}, TypeError,
     "damerau_clusters() takes from 1 to 5 positional arguments but 6 were given", None),
    (qmm.damerau_clusters, (["a"], 1.5), {"normalized": True}, ValueError,
     "with normalized=True, score_cutoff must lie in [0, 1]", "score_cutoff"),
    (qmm.levenshtein_clusters, ([], 1), {"candidates": []}, TypeError,
     "levenshtein_clusters() got an unexpected keyword argument 'candidates'", None),
]


@pytest.mark.parametrize("function, args, kw, exc, message, param", JOIN_ERRORS)
def test_join_clusters_errors(function, args, kw, exc, message, param):
    assert_raises_with_note(exc, message, param, function, *args, **kw)
