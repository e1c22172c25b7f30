"""The three ingestion probes; their candidate failures are tabled in test_batch.py."""

import sys

import pytest
from hypothesis import given, strategies as st

import quillmatch as qm
from helpers import assert_raises_with_note

PROBES = [qm._ingest_owned, qm._ingest_borrow, qm._ingest_borrow_and_deref]


# Python-level methods of a str subclass are never consulted; only its text counts.
Liar = type("Liar", (str,), {"__len__": lambda s: 99, "encode": lambda s, *a, **k: b"zzz"})


# (candidates, owned count, borrowed count, UTF-8 bytes)
COUNTS = [
    ([], 0, 0, 0),
    (["a", "bb", "ccc"], 3, 3, 6),
    (["\u00e9"], 1, 1, 2),
    (["", ""], 2, 2, 0),
    (("\u4e2d", "\U0001f600", "a"), 3, 3, 8),
    ([Liar("\u00e9"), Liar("ab")], 2, 2, 4),
    (["ab"] * 20000, 20000, 20000, 40000),
]


@pytest.mark.parametrize("candidates, owned, borrowed, size", COUNTS)
def test_counts(candidates, owned, borrowed, size):
    results = [probe(candidates) for probe in PROBES]
    assert results == [owned, borrowed, size]
    assert [type(r) for r in results] == [int] * 3


@given(st.lists(st.text(max_size=20), max_size=30))
def test_counts_match_python(candidates):
    size = sum(len(c.encode("utf-8")) for c in candidates)
    assert [probe(tuple(candidates)) for probe in PROBES] == [len(candidates)] * 2 + [size]


EACH_PROBE = pytest.mark.parametrize("probe", PROBES, ids=lambda f: f.__name__)


@EACH_PROBE
def test_candidates_by_keyword(probe):
    assert probe(candidates=("x",)) == 1


@EACH_PROBE
@pytest.mark.parametrize("args, kwargs, message", [
    (([], []), {}, "{}() takes 1 positional arguments but 2 were given"),
    ((), {}, "{}() missing 1 required positional argument: 'candidates'"),
    (([],), {"candidates": []}, "{}() got multiple values for argument 'candidates'"),
    ((), {"items": []}, "{}() got an unexpected keyword argument 'items'"),
])
def test_binding_errors(probe, args, kwargs, message):
    assert_raises_with_note(TypeError, message.format(probe.__name__), None, probe, *args, **kwargs)


def test_owned_copy_released_on_failure():
    assert_raises_with_note(TypeError, "Can't extract `str` to `Vec`", "candidates",
                            qm._ingest_owned, "abc")
    candidates = ["".join(["a", "b"]), 1]
    before = sys.getrefcount(candidates[0])
    assert_raises_with_note(TypeError, "'int' object is not an instance of 'str'", "candidates",
                            qm._ingest_owned, candidates)
    after = sys.getrefcount(candidates[0])  # outside the assert, which pytest rewrites
    assert after == before
