"""The three batch functions, and the candidate conversion they share with the probes."""

import random
import sys
import threading
import time
from collections.abc import Sequence

import numpy as np
import pytest
from hypothesis import given, strategies as st

import quillmatch as qm
from helpers import SANITIZED, assert_raises_with_note

LEV, DAM, JW = qm.levenshtein_batch, qm.damerau_batch, qm.jaro_winkler_batch
SCALAR = {LEV: qm.levenshtein_bp, DAM: qm.damerau_bp, JW: qm.jaro_winkler_similarity}
BATCHES = pytest.mark.parametrize("batch", [LEV, DAM, JW], ids=lambda f: f.__name__)
SURROGATE = "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed"


def expected(batch, query, candidates, **kw):
    """Per-candidate scalar results, or the empty-query rule (code points before folding)."""
    if query == "":
        return [(1.0 if c == "" else 0.0) if batch is JW else len(c) for c in candidates]
    return [SCALAR[batch](query, c, **kw) for c in candidates]


def check(result, wanted):
    assert result == wanted
    assert [type(r) for r in result] == [type(w) for w in wanted]


# --- agreement with the scalar functions -------------------------------------

ASCII = "abcxyzABCXYZ019-[{@`_ "
OTHER = "\u00e9\u00c9\u00df\u0130\u0131\u03a3\u03c3\u017f\u212a\u4e2d\U0001f600\u01c5"
short_ascii = st.text(ASCII, max_size=12)
edge_ascii = st.text(ASCII, min_size=63, max_size=66)  # 64 and 65 bytes among them
mixed = st.text(ASCII + OTHER, max_size=70)
edge_other = st.builds(lambda a, c: a + c, st.text(ASCII, min_size=62, max_size=65),
                       st.sampled_from(OTHER))


@st.composite
def variant(draw, query):
    """query after a few case flips, deletions, substitutions or transpositions."""
    s = query
    for _ in range(draw(st.integers(0, 3))):
        i = draw(st.integers(0, max(len(s) - 2, 0)))
        s = draw(st.sampled_from([s[:i] + s[i:i + 1].swapcase() + s[i + 1:], s[:i] + s[i + 1:],
                                  s[:i] + draw(st.sampled_from(OTHER)) + s[i + 1:],
                                  s[:i] + s[i + 1:i + 2] + s[i:i + 1] + s[i + 2:]]))
    return s


@st.composite
def batch_inputs(draw):
    query = draw(st.one_of(st.just(""), short_ascii, edge_ascii, mixed, edge_other))
    pool = st.one_of(short_ascii, edge_ascii, mixed, edge_other, variant(query))
    candidates = draw(st.lists(pool, max_size=8))
    return query, candidates, draw(st.sampled_from([None, False, True]))


@BATCHES
@given(inputs=batch_inputs(), p=st.one_of(st.none(), st.floats(0.0, 0.25)))
def test_each_entry_equals_the_scalar_function(batch, inputs, p):
    query, candidates, ci = inputs
    kw = {"case_insensitive": ci}
    if batch is JW:
        kw["p"] = p
    wanted = expected(batch, query, candidates, **kw)
    check(batch(query=query, candidates=candidates, **kw), wanted)


Text = type("Text", (str,), {})
# Python-level methods of a str subclass are never consulted; only its text counts.
Liar = type("Liar", (str,), {"__len__": lambda s: 99, "encode": lambda s, *a, **k: b"zzz"})


MARTHA = 0.9611111111111111
EXAMPLES = [
    (LEV, "abc", ["abc", "abd", ""], {}, [0, 1, 3]),
    (LEV, "abc", ("abc", "abd", ""), {}, [0, 1, 3]),
    (LEV, "abc", [], {}, []),
    (DAM, "abc", [], {}, []),
    (JW, "abc", [], {}, []),
    (LEV, "kitten", ["", "kitten", "mitten", "kitten"], {}, [6, 0, 1, 0]),
    (DAM, "abc", ["abc", "acb", "ca", "", "xabcx"], {}, [0, 1, 3, 3, 2]),
    (LEV, "Hello", ["hello", "HELLO", "hElLo", "h\u00e9llo"], {"case_insensitive": True}, [0, 0, 0, 1]),
    (LEV, "Hello", ["hello"], {"case_insensitive": False}, [1]),
    (LEV, "Hello", ["hello"], {"case_insensitive": np.bool_(True)}, [0]),
    (LEV, "a1-B", ["A1-b"], {"case_insensitive": True}, [0]),
    (DAM, "a[", ["A{"], {"case_insensitive": True}, [1]),
    (DAM, "ABC", ["abc", "aBc", "bAc", "ab\u00e7"], {"case_insensitive": True}, [0, 0, 1, 1]),
    (DAM, "ABC", ["abc"], {}, [3]),
    (LEV, "caf\u00e9", ["cafe"], {}, [1]),
    (LEV, "", ["\u0130", "abc", "\u4e2d", ""], {"case_insensitive": True}, [1, 3, 1, 0]),
    (DAM, "", ["\u0130", "abc", "\u00e9", ""], {"case_insensitive": True}, [1, 3, 1, 0]),
    (JW, "", ["", "a", ""], {}, [1.0, 0.0, 1.0]),
    (JW, "abc", ["", "abc"], {}, [0.0, 1.0]),
    (JW, "MARTHA", ["marhta", "MARHTA"], {"case_insensitive": True}, [MARTHA, MARTHA]),
    (JW, "MARTHA", ["marhta", "MARHTA"], {}, [0.0, MARTHA]),
    (JW, "abcdx", ["abcdy"], {"p": 0.25}, [1.0]),
    (LEV, Text("abc"), [Text("abd"), "abc"], {}, [1, 0]),
    (LEV, "", [Liar("abc")], {}, [3]),
    (DAM, Liar("abd"), [Liar("abc")], {}, [1]),
]


@pytest.mark.parametrize("batch, query, candidates, kw, wanted", EXAMPLES)
def test_worked_examples(batch, query, candidates, kw, wanted):
    check(batch(query, candidates, **kw), wanted)


# --- argument failures ---------------------------------------------------------

ARGUMENT_FAILURES = [
    (LEV, (5, ["a"]), {}, TypeError, "'int' object is not an instance of 'str'", "query"),
    (DAM, (None, ["a"]), {}, TypeError, "'None' is not an instance of 'str'", "query"),
    (JW, (b"a", ["a"]), {}, TypeError, "'bytes' object is not an instance of 'str'", "query"),
    (LEV, ("\ud800", ["a"]), {}, UnicodeEncodeError, SURROGATE, "query"),
    (LEV, (5, "abc", 1), {}, TypeError, "'int' object is not an instance of 'str'", "query"),
    (DAM, ("a", [5], 1), {}, TypeError, "'int' object is not an instance of 'str'", "candidates"),
    (LEV, ("a", ["a"], 1), {}, TypeError, "'int' object is not an instance of 'bool'", "case_insensitive"),
    (DAM, ("a", ["a"]), {"case_insensitive": "yes"}, TypeError,
     "'str' object is not an instance of 'bool'", "case_insensitive"),
    (JW, ("a", ["a"], "x", 1), {}, TypeError, "must be real number, not str", "p"),
    (JW, ("a", [5], 0.3), {}, TypeError, "'int' object is not an instance of 'str'", "candidates"),
    (JW, ("a", ["a"], 0.3, 1), {}, TypeError, "'int' object is not an instance of 'bool'", "case_insensitive"),
    (JW, ("abc", [], 0.3), {}, ValueError, "InvalidPrefixScale { value: 0.3 }", None),
    (JW, ("abc", ["abc"]), {"p": -0.1}, ValueError, "InvalidPrefixScale { value: -0.1 }", None),
    (DAM, (), {}, TypeError, "damerau_batch() missing 2 required positional arguments: 'query' and 'candidates'", None),
    (JW, ("a", [], 0.1, True, 1), {}, TypeError,
     "jaro_winkler_batch() takes from 2 to 4 positional arguments but 5 were given", None),
    (DAM, ("a", []), {"query": "a"}, TypeError, "damerau_batch() got multiple values for argument 'query'", None),
]


@pytest.mark.parametrize("batch, args, kw, exc, message, param", ARGUMENT_FAILURES)
def test_argument_failures(batch, args, kw, exc, message, param):
    assert_raises_with_note(exc, message, param, batch, *args, **kw)


# --- candidate conversion, shared by the batches and the probes -----------------

TAKE_IN = {
    "levenshtein_batch": lambda c: LEV("Kitten", c, case_insensitive=True),
    "damerau_batch": lambda c: DAM("kitten", c),
    "jaro_winkler_batch": lambda c: JW("Kitten", c, p=0.2, case_insensitive=True),
    "_ingest_owned": qm._ingest_owned, "_ingest_borrow": qm._ingest_borrow,
    "_ingest_borrow_and_deref": qm._ingest_borrow_and_deref,
}
ALL_FUNCTIONS = pytest.mark.parametrize("take_in", list(TAKE_IN.values()), ids=list(TAKE_IN))


class View(Sequence):
    """Items behind a __len__ that reports what it is told, or raises for None."""

    def __init__(self, items, length, fail_at=None):
        self.items, self.length, self.fail_at = items, length, fail_at

    def __len__(self):
        if self.length is None:
            raise RuntimeError("no length")
        return self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise RuntimeError("boom at %d" % i)
        return self.items[i]


LENGTH = 2 ** 62
ITEMS = ["sitting", "KITTEN", "k\u00eftten"]
LenList = type("LenList", (list,), {"__len__": lambda s: LENGTH})
LenTuple = type("LenTuple", (tuple,), {"__len__": lambda s: LENGTH})
IterList = type("IterList", (list,), {"__iter__": lambda s: iter(ITEMS)})
CANDIDATE_FAILURES = [
    (lambda: "abd", TypeError, "Can't extract `str` to `Vec`"),
    (lambda: Text("abd"), TypeError, "Can't extract `str` to `Vec`"),
    (lambda: {"a"}, TypeError, "'set' object is not an instance of 'Sequence'"),
    (lambda: {"a": 1}, TypeError, "'dict' object is not an instance of 'Sequence'"),
    (lambda: (c for c in "ab"), TypeError, "'generator' object is not an instance of 'Sequence'"),
    (lambda: iter(["a"]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
    (lambda: None, TypeError, "'None' is not an instance of 'Sequence'"),
    (lambda: ["a", None], TypeError, "'None' is not an instance of 'str'"),
    (lambda: ("a", 5), TypeError, "'int' object is not an instance of 'str'"),
    (lambda: b"ab", TypeError, "'int' object is not an instance of 'str'"),
    (lambda: ["ok", "\ud800"], UnicodeEncodeError, SURROGATE),
    (lambda: View(ITEMS, 3, fail_at=1), RuntimeError, "boom at 1"),
]


@ALL_FUNCTIONS
@pytest.mark.parametrize("make, exc, message", CANDIDATE_FAILURES)
def test_candidate_failures(take_in, make, exc, message):
    assert_raises_with_note(exc, message, "candidates", take_in, make())


ODD_CONTAINERS = {
    "len raises": lambda: View(ITEMS, None),
    "len says 10": lambda: View(ITEMS, 10),
    "len absurd": lambda: View(ITEMS, LENGTH),
    "list len absurd": lambda: LenList(ITEMS),
    "tuple len absurd": lambda: LenTuple(ITEMS),
    "iteration decides": lambda: IterList(["other", "items", "entirely", "here"]),
}


@ALL_FUNCTIONS
@pytest.mark.parametrize("make", list(ODD_CONTAINERS.values()), ids=list(ODD_CONTAINERS))
def test_the_items_iterated_decide(take_in, make):
    """The reported length is a hint only; an absurd one may at worst give MemoryError."""
    try:
        result = take_in(make())
    except MemoryError:
        return
    assert result == take_in(list(ITEMS))


def fresh(n, tail=()):
    return ["w%d\u00e9" % i if i % 3 == 0 else "w%d" % i for i in range(n)] + list(tail)


@ALL_FUNCTIONS
@pytest.mark.parametrize("n, tail", [(5, ()), (5, [7]), (5, ["\ud800"]), (10000, ()), (10000, [None])],
                         ids=["ok", "int", "surrogate", "ok-10000", "none-10000"])
def test_reference_counts_unchanged(take_in, n, tail):
    candidates = fresh(n, tail)
    before = [sys.getrefcount(c) for c in candidates] + [sys.getrefcount(candidates)]
    try:
        take_in(candidates)
    except (TypeError, UnicodeEncodeError):
        assert tail
    after = [sys.getrefcount(c) for c in candidates] + [sys.getrefcount(candidates)]
    assert after == before  # computed outside the assert, which pytest rewrites


# --- the interpreter lock ------------------------------------------------------

def mixed_words(n, seed=7):
    rnd = random.Random(seed)
    pools = ["abcdefKITTEN", "abc\u00e9\u00c9\u0130\u4e2d"]
    return ["".join(rnd.choice(pools[rnd.random() < 0.2]) for _ in range(rnd.choice([0, 5, 64, 65])))
            for _ in range(n)]


@BATCHES
@pytest.mark.parametrize("query", ["Kitten", ""])
def test_results_identical_across_the_threshold(batch, query):
    words = mixed_words(10000)
    full = batch(query, words, case_insensitive=True)
    check(full, expected(batch, query, words, case_insensitive=True))
    assert batch(query, words[:9999], case_insensitive=True) == full[:9999]


def test_similarities_shared_within_a_result_keep_their_values():
    # Thousands of distinct scores, more than the call's float cache has slots,
    # so that values collide in it; each entry must still be its own value.
    rnd = random.Random(11)
    query = "".join(rnd.choice("abcdeABCDE") for _ in range(40))
    words = ["".join(rnd.choice("abcdefABCDEF") for _ in range(rnd.randint(1, 64)))
             for _ in range(4000)]
    for ci in (False, True):
        got = qm.jaro_winkler_batch(query, words, case_insensitive=ci)
        wanted = [qm.jaro_winkler_similarity(query, w, case_insensitive=ci) for w in words]
        assert len(set(got)) > 1024
        assert [x.hex() for x in got] == [x.hex() for x in wanted]


Listish = type("Listish", (list,), {})


@BATCHES
def test_large_batches_score_alike(batch):
    """600 000 candidates: the call's arrays of views, references and results are
    then big blocks mapped apart, and an iterated sequence grows them across that size.
    Later calls reuse the blocks that earlier ones freed, whose old contents must
    never show: other texts of the same count, and every batch function in turn.
    (60 000 under the sanitizers, whose allocator maps its own blocks.)"""
    words = mixed_words(6000)
    wanted = batch("Kitten", words)  # one pass below the threshold
    copies = 10 if SANITIZED else 100
    many = words * copies
    assert batch("Kitten", many) == wanted * copies
    assert batch("Kitten", Listish(many)) == wanted * copies
    others = mixed_words(6000, seed=8)
    for other in (LEV, DAM, JW, batch):
        assert other("Kitten", others * copies) == other("Kitten", others) * copies


@BATCHES
def test_every_take_in_route_scores_alike(batch):
    """Below the threshold an exact list or tuple with plain options is scored in one pass,
    chunk by chunk; other sequences and options read with side effects take two passes."""
    words = mixed_words(700)  # several chunks, the last one partial
    wanted = expected(batch, "Kitten", words, case_insensitive=True)
    routes = [words, tuple(words), Listish(words)]
    for candidates in routes:
        check(batch("Kitten", candidates, case_insensitive=True), wanted)
        check(batch("Kitten", candidates, case_insensitive=np.bool_(True)), wanted)
    if batch is JW:
        plain = expected(batch, "Kitten", words, p=0)
        check(batch("Kitten", words, p=0), plain)
        check(batch("Kitten", words, p=0.0), plain)


def slow_texts(length, n, seed):
    rnd = random.Random(seed)
    return ["\u00e9" + "".join(rnd.choices("ab\u00e9cd", k=length)) for _ in range(n)]


def slow_length(batch):
    """A text length at which 10 000 candidates keep the engine busy for 0.15 s or more."""
    length = 50
    while length < 3200:
        sample = slow_texts(length, 200, seed=3)
        start = time.perf_counter()
        batch(sample[0], sample)
        if (time.perf_counter() - start) * 50 >= 0.15:
            break
        length *= 2
    return length


def run_beside_ticker(batch, query, candidates, mutate=None):
    """Call the batch while another thread, woken every 2 ms, stamps the time it runs."""
    stamps, stop = [], threading.Event()

    def ticker():
        time.sleep(0.02)  # lets the call begin before the first mutation
        while not stop.is_set():
            time.sleep(0.002)
            stamps.append(time.perf_counter())
            if mutate is not None:
                mutate()

    thread = threading.Thread(target=ticker)
    old = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    thread.start()
    try:
        t0 = time.perf_counter()
        result = batch(query, candidates)
        t1 = time.perf_counter()
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old)
    margin = max(0.02, (t1 - t0) / 10)
    return result, [s for s in stamps if t0 + margin < s < t1 - margin]


@BATCHES
def test_lock_held_below_threshold_and_released_from_it(batch):
    length = slow_length(batch)
    query = slow_texts(length, 1, seed=1)[0]
    reference = slow_texts(length, 10000, seed=2)
    held_result, inside = run_beside_ticker(batch, query, reference[:9999])
    assert inside == []

    junk = ["x" * 50] * 100
    # Another thread runs only if the machine lends it a core: on a loaded
    # machine a run may see too few stamps, so the released lock gets more
    # tries, each twice as long as the one before (the held lock above cannot
    # produce stamps by chance).
    for attempt in range(6):
        n = len(reference) << attempt  # the same seed: reference is its start
        candidates = slow_texts(length, n, seed=2)  # equal strings, referenced only here

        def mutate():  # can only run while the batch has let go of the lock
            candidates.clear()
            candidates.extend(junk)

        result, inside = run_beside_ticker(batch, query, candidates, mutate)
        assert result[:9999] == held_result
        assert result == batch(query, slow_texts(length, n, seed=2))
        if len(inside) >= 3:
            break
    assert len(inside) >= 3
