"""The scores functions broadcast: a str against a column, a column against a str, and two
columns of equal length row by row, each entry the core module's scalar function on
(query row, candidates row), bit for bit, over every kind of column."""

import random

import numpy as np
import pytest

from test_many import MEASURES, SCALAR, expected_dtype, fn, options, random_texts


def same(got, want, measure, texts):
    """Equal entries (floats compared by their bits) and the dtype a matrix of the texts has."""
    assert got.dtype == expected_dtype(measure, texts)
    if measure == "jaro_winkler":
        assert got.view(np.uint64).tolist() == np.array(want, np.float64).view(np.uint64).tolist()
    else:
        assert got.tolist() == want


def plain_columns(texts):
    yield list(texts)
    yield tuple(texts)
    yield np.array(texts, dtype=object)
    if texts:
        yield np.array(texts)


def arrow_columns(texts):
    try:
        import pyarrow as pa
    except ImportError:
        return
    half = len(texts) // 2
    yield pa.array(texts, pa.string())
    yield pa.array(texts, pa.large_string())
    yield pa.array(texts, pa.string_view())
    yield pa.chunked_array([texts[:half], [], texts[half:]], pa.string())
    yield pa.array(texts, pa.string()).dictionary_encode()


def columns(texts):
    yield from plain_columns(texts)
    yield from arrow_columns(texts)


@MEASURES
def test_both_directions_and_two_columns_equal_the_scalar_function(measure):
    rnd = random.Random("rows " + measure)
    scores = fn(measure, "scores")
    for n in [0, 1, 2, 57]:
        # Repeats, so that a dictionary column has fewer texts than rows.
        queries = random_texts(rnd, n // 2 + 1)[:n] * 2
        queries, candidates = queries[:n], random_texts(rnd, n)
        one = rnd.choice(random_texts(rnd, 3) + ["", "\u0130"])
        kw = options(measure, rnd)
        rows = [SCALAR[measure](q, c, **kw) for q, c in zip(queries, candidates)]
        against_one = [SCALAR[measure](q, one, **kw) for q in queries]
        one_against = [SCALAR[measure](one, c, **kw) for c in candidates]
        for column_q in columns(queries):
            same(scores(column_q, one, **kw), against_one, measure, queries + [one])
            for column_c in columns(candidates):
                same(scores(column_q, column_c, **kw), rows, measure, queries + candidates)
        for column_c in columns(candidates):
            same(scores(one, column_c, **kw), one_against, measure, candidates + [one])


@MEASURES
def test_one_or_two_workers_give_the_same_rows(measure):
    rnd = random.Random("workers " + measure)
    queries, candidates = random_texts(rnd, 3000, 200), random_texts(rnd, 3000, 200)
    scores = fn(measure, "scores")
    one = scores(queries, candidates, workers=1)
    assert one.tobytes() == scores(queries, candidates, workers=2).tobytes()
    assert one.tobytes() == scores(queries, candidates, workers=7).tobytes()
    picked = rnd.sample(range(len(queries)), 200)
    same(one[picked], [SCALAR[measure](queries[i], candidates[i]) for i in picked], measure,
         queries + candidates)
    assert scores(queries, "kitten", workers=1).tobytes() == \
        scores(queries, "kitten", workers=2).tobytes()


@MEASURES
def test_refusals(measure):
    """Columns of other lengths name the matrix; two str, non-texts and a bad p."""
    scores = fn(measure, "scores")
    with pytest.raises(ValueError) as info:
        scores(["a", "b", "c"], ["a"] * 5)
    assert str(info.value) == \
        "query has 3 rows and candidates 5; for every pair use %s_matrix" % measure
    with pytest.raises(ValueError, match="^query has 1 rows and candidates 0; "):
        scores(["a"], [])
    with pytest.raises(TypeError):
        scores("a", "b")
    with pytest.raises(TypeError):
        scores(["a", 1], "b")
    if measure == "jaro_winkler":
        for query, candidates in [(["a"], "b"), (["a"], ["b"])]:
            with pytest.raises(ValueError, match="InvalidPrefixScale"):
                scores(query, candidates, p=0.3)


def outcome(call):
    """What a call gives: its result's bytes, dtype and mask, or its error's type, text and notes."""
    try:
        got = call()
    except Exception as e:  # noqa: BLE001 - the error is the outcome compared
        return type(e), str(e), getattr(e, "__notes__", None)
    mask = np.ma.getmaskarray(got).tobytes() if isinstance(got, np.ma.MaskedArray) else None
    return np.asarray(got).tobytes(), got.dtype, mask


LONG_ROWS = 40_000  # above the rows from which two lists are scored while taken in


@MEASURES
def test_long_lists_scored_while_taken_in_are_the_lists_taken_whole(measure):
    """With two workers, two long lists are scored while the calling thread takes them in; with
    one they are taken whole first. Same entries, dtype and mask: texts copied and texts held
    (over 32 bytes), one that widens the dtype, nulls, every option, and tuples and numpy arrays."""
    rnd = random.Random("taken in " + measure)
    pool = random_texts(rnd, 500, 90) + ["x" * 300, "\u00e9" * 40, "", None]
    queries = [rnd.choice(pool) for _ in range(LONG_ROWS)]
    candidates = [rnd.choice(pool) for _ in range(LONG_ROWS)]
    scores = fn(measure, "scores")
    kinds = [options(measure, rnd) for _ in range(3)]
    if measure != "jaro_winkler":
        kinds.append({"normalized": True, "case_insensitive": True})
    one = rnd.choice(pool[:500])
    for kw in kinds:
        whole = outcome(lambda: scores(queries, candidates, workers=1, **kw))
        assert whole[2] is not None  # the nulls are masked
        assert outcome(lambda: scores(queries, candidates, workers=2, **kw)) == whole
        assert outcome(lambda: scores(tuple(queries), np.array(candidates, dtype=object), workers=3, **kw)) == whole
        # A list against one str, either way round.
        for args in [(queries, one), (one, candidates), (queries, "y" * 300)]:
            assert outcome(lambda: scores(*args, workers=2, **kw)) == outcome(lambda: scores(*args, workers=1, **kw))
    # No null and no long text: a plain array of the narrowest dtype.
    short = [q or "" for q in queries if q is None or len(q) < 30][:LONG_ROWS // 2]
    assert outcome(lambda: scores(short, short[::-1], workers=2)) == \
        outcome(lambda: scores(short, short[::-1], workers=1))


@MEASURES
def test_long_lists_fail_as_when_taken_whole(measure):
    """A bad row of the candidates yields to a bad row of the queries further on, as when the
    queries are taken whole first; options fail after the texts; the module stays usable."""
    scores = fn(measure, "scores")
    good = ["kitten"] * LONG_ROWS
    bad_queries, bad_candidates = good[:], good[:]
    bad_queries[30_000] = 1
    bad_candidates[5_000] = 2.5
    cases = [(bad_queries, bad_candidates, {}), (good, bad_candidates, {}), (bad_queries, good, {}),
             (good, bad_candidates[:-1], {}), (good, good[:-1], {}), (bad_queries, good, {"workers": 0})]
    # A list against a str: the str's own failure (a lone surrogate) comes in argument order.
    cases += [(bad_queries, "ab", {}), ("ab", bad_candidates, {}), (bad_queries, "\ud800", {}),
              ("\ud800", bad_candidates, {}), (good, "\ud800", {})]
    if measure == "jaro_winkler":
        cases += [(good, bad_candidates, {"p": 0.3}), (good, good, {"p": 0.3}), (bad_queries, "a", {"p": 0.3})]
    for q, c, kw in cases:
        whole = outcome(lambda: scores(q, c, **dict({"workers": 1}, **kw)))
        assert isinstance(whole[0], type) and issubclass(whole[0], Exception)
        assert outcome(lambda: scores(q, c, **dict({"workers": 2}, **kw))) == whole
    assert scores(good, good, workers=2).tolist() == [0.0 if measure != "jaro_winkler" else 1.0] * LONG_ROWS


def test_long_lists_with_an_option_that_runs_code_are_taken_whole_first():
    """An option whose conversion runs Python code runs after the texts are taken, once."""
    calls = []

    class Workers:
        def __index__(self):
            calls.append(len(texts))
            return 2

    texts = ["ab"] * LONG_ROWS
    assert fn("levenshtein", "scores")(texts, texts, workers=Workers()).tolist() == [0] * LONG_ROWS
    assert calls == [LONG_ROWS]
