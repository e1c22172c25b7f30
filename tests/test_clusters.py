"""quillmatch_many.clusters: the labels against a plain Python union-find over random
graphs, every kind of index input, the errors, the pairs of a self join, and Ctrl-C."""

import os
import random
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import quillmatch_many as qmm
from helpers import assert_raises_with_note


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
