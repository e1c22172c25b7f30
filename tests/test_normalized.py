"""Normalized edit distances, 1 - d / max(m, n), against a Python reference, by every path."""

import pickle
import random

import numpy as np
import pytest

import quillmatch as qm
import quillmatch_many as qmm
from test_many import fn, random_texts

DISTANCE = {"levenshtein": qm.levenshtein_bp, "damerau": qm.damerau_bp}
EDIT_MEASURES = pytest.mark.parametrize("measure", list(DISTANCE))


def reference(measure, a, b, case_insensitive):
    """The score from the scalar distance; a text's length as compared is its distance
    to the empty text, which the module folds as it folds any text."""
    d = DISTANCE[measure](a, b, case_insensitive=case_insensitive)
    m = DISTANCE[measure](a, "", case_insensitive=case_insensitive)
    n = DISTANCE[measure](b, "", case_insensitive=case_insensitive)
    return 1.0 if m == n == 0 else 1 - d / max(m, n)


def reference_pairs(scores, cutoff, self):
    return [(i, j, s) for i, row in enumerate(scores) for j, s in enumerate(row)
            if s >= cutoff and (not self or i < j)]


def as_pairs(result):
    i, j, s = result
    assert s.dtype == np.float64
    return list(zip(i.tolist(), j.tolist(), s.tolist()))


def reference_top(scores, k, cutoff):
    rows = []
    for row in scores:
        kept = sorted((-s, j) for j, s in enumerate(row) if cutoff is None or s >= cutoff)[:k]
        rows.append([(j, -s) for s, j in kept])
    return rows


def as_top(result):
    idx, sim, counts = result
    assert sim.dtype == np.float64
    return [list(zip(idx[r][:c].tolist(), sim[r][:c].tolist())) for r, c in enumerate(counts.tolist())]


def same(a, b):
    return len(a) == len(b) and all(x.dtype == y.dtype and np.array_equal(x, y) for x, y in zip(a, b))


@EDIT_MEASURES
@pytest.mark.parametrize("case_insensitive", [False, True])
def test_every_path_gives_the_reference_score(measure, case_insensitive):
    rnd = random.Random("normalized" + measure + str(case_insensitive))
    texts = random_texts(rnd, 70) + ["", "", "\u0130", "i\u0307", "\u03a3\u03a3", "\u03c3\u03c2"]
    queries = random_texts(rnd, 25) + texts[:5]
    kw = {"case_insensitive": case_insensitive, "normalized": True}
    want = [[reference(measure, q, c, case_insensitive) for c in texts] for q in queries]
    within = [[reference(measure, a, b, case_insensitive) for b in texts] for a in texts]
    # Cutoffs that occurring scores land on exactly, and the ends.
    cutoffs = [0.0, 1.0] + rnd.sample(sorted({s for row in want for s in row}), 4)
    for workers in (1, 2):
        kw["workers"] = workers
        matrix = fn(measure, "matrix")(queries, texts, **kw)
        assert matrix.dtype == np.float64 and matrix.tolist() == want
        assert fn(measure, "scores")(queries[0], texts, **kw).tolist() == want[0]
        assert fn(measure, "scores")(texts, queries[0], **kw).tolist() == [
            reference(measure, c, queries[0], case_insensitive) for c in texts]
        assert fn(measure, "scores")(queries, texts[:len(queries)], **kw).tolist() == [
            want[i][i] for i in range(len(queries))]
        assert as_top(fn(measure, "top")(queries, texts, 4, **kw)) == reference_top(want, 4, None)
        for cutoff in cutoffs:
            calls = {"top": (fn(measure, "top"), queries, texts, 3, cutoff),
                     "pairs": (fn(measure, "pairs"), queries, texts, cutoff),
                     "self": (fn(measure, "pairs"), texts, None, cutoff)}
            for name, call in calls.items():
                cross = qmm._with_plan("cross", *call, **kw)
                assert same(qmm._with_plan("filtered", *call, **kw), cross), (name, cutoff, workers)
                if name == "top":
                    assert as_top(cross) == reference_top(want, 3, cutoff), cutoff
                else:
                    assert as_pairs(cross) == reference_pairs(within if name == "self" else want, cutoff,
                                                              name == "self"), (name, cutoff)
            index = qmm.Index(texts, measure, cutoff, case_insensitive, workers=workers, normalized=True)
            assert same(index.top(queries, 3), qmm._with_plan("cross", *calls["top"], **kw)), cutoff
            assert same(index.pairs(queries), qmm._with_plan("cross", *calls["pairs"], **kw)), cutoff
            assert same(index.pairs(), qmm._with_plan("cross", *calls["self"], **kw)), cutoff


def test_scores_at_the_edges():
    # Two empty texts are equal; folding may lengthen a text (U+0130 is two code points folded).
    assert qmm.levenshtein_scores("", ["", "a"], normalized=True).tolist() == [1.0, 0.0]
    assert qmm.damerau_scores("\u0130", ["i\u0307", "I"], case_insensitive=True,
                              normalized=True).tolist() == [1.0, 0.5]
    assert qmm.damerau_scores("ab", ["ba"], normalized=True).tolist() == [0.5]
    assert qmm.levenshtein_scores("ab", ["ba"], normalized=True).tolist() == [0.0]


def test_index_arguments():
    texts = ["Jon Smith", "John Smith", "Jane Doe"]
    index = qmm.Index(texts, "damerau", 0.8, normalized=True)
    assert repr(index) == ("Index(<3 texts>, 'damerau', score_cutoff=0.8, case_insensitive=False, "
                           "normalized=True)")
    assert same(pickle.loads(pickle.dumps(index)).pairs(), index.pairs())
    assert same(index.top(["Jon Smyth"], 2, 0.85), qmm.damerau_top(["Jon Smyth"], texts, 2, 0.85, normalized=True))
    with pytest.raises(ValueError, match=r"score_cutoff 0\.7 is looser than the index's, 0\.8"):
        index.pairs(score_cutoff=0.7)
    with pytest.raises(ValueError, match=r"with normalized=True, score_cutoff must lie in \[0, 1\]"):
        index.top(["x"], 1, 1.5)
    with pytest.raises(ValueError, match=r"with normalized=True, score_cutoff must lie in \[0, 1\]"):
        qmm.Index(texts, "levenshtein", 2, normalized=True)
    with pytest.raises(TypeError, match="'jaro_winkler' is a similarity already"):
        qmm.Index(texts, "jaro_winkler", 0.9, normalized=True)
    # Without normalized the cutoff stays a distance.
    assert qmm.Index(texts, "levenshtein", 2, normalized=False).pairs()[2].dtype != np.float64


@EDIT_MEASURES
def test_columns_in_place_score_as_lists(measure):
    # A dictionary column is scored once per distinct text, a column of string views a chunk
    # of views at a time: each path scores as the list does.
    pa = pytest.importorskip("pyarrow")
    rnd = random.Random("normalized columns" + measure)
    texts = [rnd.choice(["Jon", "John", "J\u00f6hn", "\u0130van", "ivan", ""]) for _ in range(300)]
    queries = random_texts(rnd, 12)
    kw = {"case_insensitive": True, "normalized": True}
    for column in (pa.array(texts).dictionary_encode(), pa.array(texts, pa.string_view())):
        assert same(fn(measure, "top")(queries, column, 4, 0.5, **kw), fn(measure, "top")(queries, texts, 4, 0.5, **kw))
        assert same(fn(measure, "pairs")(queries, column, 0.6, **kw), fn(measure, "pairs")(queries, texts, 0.6, **kw))
        assert fn(measure, "scores")("JOHN", column, **kw).tolist() == fn(measure, "scores")("JOHN", texts, **kw).tolist()
        assert same([fn(measure, "matrix")(queries, column, **kw)], [fn(measure, "matrix")(queries, texts, **kw)])
