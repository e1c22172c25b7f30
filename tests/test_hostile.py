"""Hostile arguments: objects whose conversion hooks raise, lie or mutate.

Every failing call must raise exactly the expected error, with the parameter's
note, and leave the module fully usable: each case is followed by a normal call
of the same function.
"""

import ctypes

import pytest

import quillmatch as qm
from helpers import assert_raises_with_note

L, D, J = qm.levenshtein_bp, qm.damerau_bp, qm.jaro_winkler_similarity
LEV, DAM, JW = qm.levenshtein_batch, qm.damerau_batch, qm.jaro_winkler_batch
OWN, BOR, DEREF = qm._ingest_owned, qm._ingest_borrow, qm._ingest_borrow_and_deref
SCALAR = {LEV: L, DAM: D, JW: J}
MARTHA = 0.9611111111111111

# A call each function must answer correctly right after any failure.
NORMAL = {
    L: (("flaw", "lawn"), 2), D: (("ab", "ba"), 1), J: (("MARTHA", "MARHTA"), MARTHA),
    LEV: (("abc", ["abc", "abd", ""]), [0, 1, 3]), DAM: (("abc", ("acb",)), [1]),
    JW: (("MARTHA", ["MARHTA", ""]), [MARTHA, 0.0]),
    OWN: ((["a", "bb"],), 2), BOR: ((["a", "bb"],), 2), DEREF: ((["a", "\u00e9"],), 3),
}


def assert_still_usable(fn):
    args, wanted = NORMAL[fn]
    result = fn(*args)
    assert result == wanted and type(result) is type(wanted)


class Hook:
    """An object whose conversion dunders return `value`, or raise it when it is an exception."""

    def __init__(self, value):
        self.value = value

    def _answer(self):
        if isinstance(self.value, BaseException):  # a fresh one each time: a raised one keeps frames
            raise type(self.value)(*self.value.args)
        return self.value


Index = type("Index", (Hook,), {"__index__": Hook._answer})
Float = type("Float", (Hook,), {"__float__": Hook._answer})
IntOnly = type("IntOnly", (Hook,), {"__int__": Hook._answer})
# An int subclass is read as an int: its own __index__ is never consulted.
IndexedInt = type("IndexedInt", (int,), {"__index__": lambda s: 1 // 0})


def numpy_like(name="bool_", **body):
    return type(name, (), dict(body, __module__="numpy"))()


# __bool__ is found on a base class, as attribute lookup finds it.
InheritedBool = type("bool_", (type("Base", (), {"__bool__": lambda s: True}),),
                     {"__module__": "numpy"})


class RaisingGet:
    def __get__(self, obj, owner):
        raise KeyError("no binding")


class ModuleRaises(type):
    def __getattribute__(cls, name):
        if name == "__module__":
            raise RuntimeError("no module")
        return type.__getattribute__(cls, name)


class FakeStr:
    """Claims to be a str through __class__; only the real type counts."""
    __class__ = property(lambda self: str)


class KeyText(str):
    """A str subclass key: its text binds, whatever its own __eq__ says."""

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class Shown(str):
    def __str__(self):
        return "shown"


class StrRaises(str):
    def __str__(self):
        raise LookupError("unprintable key")


class Seq:
    """A sequence whose hooks are given per instance: __len__ and __iter__."""

    def __init__(self, items=("a", "b"), length=2, iterate=None):
        self.items, self.length, self.iterate = list(items), length, iterate

    def __len__(self):
        return Hook(self.length)._answer()

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return self.iterate(self) if self.iterate else iter(self.items)


def raise_(exc):
    raise exc


class BadNext:
    """An iterator whose __next__ gives `sequence` items in turn, then raises or yields junk."""

    def __init__(self, *sequence):
        self.sequence = list(sequence)

    def __iter__(self):
        return self

    def __next__(self):
        return Hook(self.sequence.pop(0))._answer()


NotIterable = type("NotIterable", (Seq,), {"__iter__": None})

NEGATIVE, TOO_BIG = "can't convert negative int to unsigned", "int too big to convert"
NOT_STR = "'{}' object is not an instance of 'str'"
NOT_BOOL = "'{}' object is not an instance of 'bool'"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
NAN = float("nan")
CI = "case_insensitive"

# (function, positional args, keyword args, exception, message, note)
FAILURES = [
    # extract_u64: max_len, score_cutoff of the distances
    (L, ("a", "b", Index(LookupError("index failed"))), {}, LookupError, "index failed", "max_len"),
    (D, ("a", "b", None, None, Index(3.0)), {}, TypeError,
     "__index__ returned non-int (type float)", "score_cutoff"),
    (L, ("a", "b", Index(-1)), {}, OverflowError, NEGATIVE, "max_len"),
    (D, ("a", "b", Index(2 ** 64)), {}, OverflowError, TOO_BIG, "max_len"),
    (L, ("a", "b", None, None, IntOnly(1)), {}, TypeError,
     "'IntOnly' object cannot be interpreted as an integer", "score_cutoff"),
    (J, ("a", "b", None, Index(MemoryError("index"))), {}, MemoryError, "index", "max_len"),
    (L, ("abc", "a", IndexedInt(0)), {}, ValueError,
     'InputTooLong { which: "str_1", len: 3, limit: 0 }', None),
    # extract_f64: p and the similarity's score_cutoff
    (J, ("a", "b", Float(ArithmeticError("float failed"))), {}, ArithmeticError, "float failed",
     "p"),
    (J, ("a", "b", Float("0.1")), {}, TypeError,
     "Float.__float__ returned non-float (type str)", "p"),
    (J, ("a", "b", None, None, None, Float(1)), {}, TypeError,
     "Float.__float__ returned non-float (type int)", "score_cutoff"),
    (J, ("a", "b", Index(KeyError("idx"))), {}, KeyError, "'idx'", "p"),  # __index__ stands in
    (JW, ("a", ["b"], Float(OSError("float failed"))), {}, OSError, "float failed", "p"),
    # -1.0 is a value unless an error is set
    (J, ("a", "b", Float(-1.0)), {}, ValueError, "InvalidPrefixScale { value: -1.0 }", None),
    (JW, ("a", [], Float(NAN)), {}, ValueError, "InvalidPrefixScale { value: NaN }", None),
    # extract_flag: numpy-like bool types and everything else
    (LEV, ("a", ["b"], numpy_like()), {}, TypeError,
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion", CI),
    (JW, ("a", ["b"], None, numpy_like("bool", __bool__=lambda s: raise_(ZeroDivisionError("z")))),
     {}, ZeroDivisionError, "z", CI),
    (L, ("a", "b", None, numpy_like(__bool__=lambda s: numpy_like())), {}, TypeError,
     NOT_BOOL.format("bool_"), CI),
    (D, ("a", "b", None, numpy_like(__bool__=lambda s: None)), {}, TypeError,
     "'None' is not an instance of 'bool'", CI),
    (J, ("a", "b", None, None, numpy_like(__bool__=None)), {}, TypeError,
     "'NoneType' object is not callable", CI),
    (DAM, ("a", ["b"], numpy_like(__bool__=RaisingGet())), {}, KeyError, "'no binding'", CI),
    (L, ("a", "b", None, ModuleRaises("bool_", (), {})()), {}, TypeError, NOT_BOOL.format("bool_"),
     CI),
    (L, ("a", "b", None, type("bool_", (), {"__module__": b"numpy"})()), {}, TypeError,
     NOT_BOOL.format("bool_"), CI),
    (L, ("a", "b", None, numpy_like("bool8", __bool__=lambda s: True)), {}, TypeError,
     NOT_BOOL.format("bool8"), CI),
    # str conversions
    (L, (FakeStr(), "a"), {}, TypeError, NOT_STR.format("FakeStr"), "str_1"),
    (LEV, (FakeStr(), ["a"]), {}, TypeError, NOT_STR.format("FakeStr"), "query"),
    (D, ("a", "x" * 100000 + "\udcff"), {}, UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udcff' in position 100000: surrogates not allowed",
     "str_2"),
    # candidates: __len__, __iter__, __next__ hooks
    (LEV, ("a", Seq(iterate=lambda s: raise_(RuntimeError("no iter")))), {}, RuntimeError,
     "no iter", "candidates"),
    (DAM, ("a", Seq(iterate=lambda s: ["a"])), {}, TypeError,
     "iter() returned non-iterator of type 'list'", "candidates"),
    (OWN, (NotIterable(),), {}, TypeError, "'NotIterable' object is not iterable", "candidates"),
    (JW, ("a", Seq(iterate=lambda s: BadNext("x", "y", KeyError("next")))), {}, KeyError,
     "'next'", "candidates"),
    (BOR, (Seq(length=-1, iterate=lambda s: BadNext("x", 7)),), {}, TypeError,
     NOT_STR.format("int"), "candidates"),
    (DEREF, (Seq(length=ValueError("len"), iterate=lambda s: BadNext(FakeStr())),), {}, TypeError,
     NOT_STR.format("FakeStr"), "candidates"),
    (LEV, ("a", Seq(length=2 ** 62, iterate=lambda s: BadNext("x", MemoryError("next")))), {},
     MemoryError, "next", "candidates"),
    # keywords: only the exact text of a str key binds; {key} is str(key)
    (L, ("a", "b"), {"max_len\x00": 1}, TypeError,
     UNEXPECTED.format("levenshtein_bp", "max_len\x00"), None),
    (L, ("a",), {"str_\uff12": "b"}, TypeError, UNEXPECTED.format("levenshtein_bp", "str_\uff12"),
     None),
    (J, ("a", "b"), {"\uff50": 0.1}, TypeError,
     UNEXPECTED.format("jaro_winkler_similarity", "\uff50"), None),
    (J, ("a", "b"), {"p\udc80": 0.1}, TypeError,
     UNEXPECTED.format("jaro_winkler_similarity", "p\udc80"), None),
    (DAM, ("a", []), {"": True}, TypeError, UNEXPECTED.format("damerau_batch", ""), None),
    (DAM, ("a", []), {"k" * 5000: True}, TypeError, UNEXPECTED.format("damerau_batch", "k" * 5000),
     None),
    (L, ("abc", "abcd"), {KeyText("max_len"): 3}, ValueError,
     'InputTooLong { which: "str_2", len: 4, limit: 3 }', None),
    (LEV, ("a", []), {KeyText("Query"): "a"}, TypeError, UNEXPECTED.format("levenshtein_batch",
                                                                          "Query"), None),
    (OWN, (), {Shown("items"): []}, TypeError, UNEXPECTED.format("_ingest_owned", "shown"), None),
    (BOR, (), {StrRaises("items"): []}, LookupError, "unprintable key", None),
]


@pytest.mark.parametrize("fn, args, kwargs, exc, message, note", FAILURES)
def test_hostile_argument_fails_cleanly(fn, args, kwargs, exc, message, note):
    # Through a lambda, so that only the module function matches the keywords.
    assert_raises_with_note(exc, message, note, lambda: fn(*args, **kwargs))
    assert_still_usable(fn)


_call = ctypes.pythonapi.PyObject_Call
_call.restype = ctypes.py_object
_call.argtypes = [ctypes.py_object] * 3


@pytest.mark.parametrize("fn, args, key, message", [
    (L, ("a", "b"), 1, UNEXPECTED.format("levenshtein_bp", 1)),
    (JW, ("a", []), b"p", UNEXPECTED.format("jaro_winkler_batch", "b'p'")),
    (DEREF, ([],), (None,), UNEXPECTED.format("_ingest_borrow_and_deref", "(None,)")),
])
def test_non_str_keyword_keys(fn, args, key, message):
    """Python refuses such keys at the call site; C callers can still pass them."""
    assert_raises_with_note(TypeError, message, None, _call, fn, args, {key: 1})
    assert_still_usable(fn)


def ok_hooks():
    return [
        (lambda: L("abc", "abd", Index(2 ** 64 - 1), None, IndexedInt(0)), 1),
        (lambda: J("MARTHA", "MARHTA", Float(0.25)), 0.9861111111111112),
        (lambda: J("MARTHA", "MARHTA", Index(0)), 0.9444444444444445),
        (lambda: J("abc", "abd", None, None, None, Float(-1.0)), J("abc", "abd")),
        (lambda: L("AB", "ab", case_insensitive=numpy_like(
            __bool__=classmethod(lambda cls: True))), 0),
        (lambda: D("AB", "ab", None, InheritedBool()), 0),
        (lambda: DEREF(Seq(["ab", "c"], length=-1)), 3),
        (lambda: DEREF(Seq(["ab", "c"], length=0)), 3),
        (lambda: DEREF(Seq(["ab", "c"], length="2")), 3),
        (lambda: DEREF(Seq(["ab", "c"], length=2 ** 100)), 3),
        (lambda: LEV("ab", Seq(["ab"] * 3, length=2 ** 62,
                               iterate=lambda s: BadNext("b", StopIteration()))), [1]),
        (lambda: DAM("ab", Seq(["ba"], length=5, iterate=lambda s: BadNext(StopIteration()))), []),
    ]


@pytest.mark.parametrize("case", range(len(ok_hooks())))
def test_hostile_but_valid_arguments(case):
    call, wanted = ok_hooks()[case]
    result = call()
    assert result == wanted and type(result) is type(wanted)


# --- sequences that change while they are iterated ---------------------------------

class Recorder(list):
    """A list whose iteration mutates it; `seen` holds exactly what was produced."""

    def __iter__(self):
        self.seen = []
        for item in self.produce():
            self.seen.append(item)
            yield item


class Popper(Recorder):
    def produce(self):
        while self:
            yield self.pop(0 if len(self) % 2 else -1)


class Grower(Recorder):
    """Appends a variant of each item until it holds `limit` items: past the lock threshold."""
    limit = 10050

    def produce(self):
        i = 0
        while i < len(self):
            if len(self) < self.limit:
                self.append(self[i][:6] + "\u00e9")
            yield self[i]
            i += 1


class Replacer(Recorder):
    def produce(self):
        i = 0
        while i < len(self):
            item = self[i]
            self[i] = "gone"
            if i + 1 < len(self):
                self[i + 1] = self[i + 1].upper()
            yield item
            i += 1


class Clearer(Recorder):
    def produce(self):
        for i, item in enumerate(list.__iter__(self)):
            yield item
            if i == 1:
                self.clear()
                self.extend(["after", "clear"])
                return


MUTATING = [
    lambda: Popper(["kitten", "sitting", "k\u00e9tten", "", "KITTEN"]),
    lambda: Grower(["kitten", "sit", "k\u00eftten", "bitten", "\u4e2d"]),
    lambda: Replacer(["kitten", "sitting", "mitten", "k\u00e9tten"]),
    lambda: Clearer(["kitten", "sitting", "mitten"]),
]


@pytest.mark.parametrize("make", MUTATING, ids=["pop", "grow", "replace", "clear"])
def test_mutated_while_iterated_items_as_produced_decide(make):
    for batch in (LEV, DAM, JW):
        candidates = make()
        result = batch("Kitten", candidates, case_insensitive=True)
        seen = candidates.seen
        assert result == [SCALAR[batch]("Kitten", c, case_insensitive=True) for c in seen]
    for probe, wanted in ((OWN, len), (BOR, len),
                          (DEREF, lambda s: sum(len(c.encode()) for c in s))):
        candidates = make()
        count = probe(candidates)
        assert count == wanted(candidates.seen)


def fresh_word(k):
    return "w%d" % k + "\u00e9" * (k % 3)


class Fresh:
    """Each item is a new string that nothing but the consumer references once produced."""

    def __init__(self, n):
        self.n = n

    def __len__(self):
        return self.n

    def __getitem__(self, k):
        if k >= self.n:
            raise IndexError(k)
        return fresh_word(k)


def test_items_referenced_only_by_the_call_outlive_the_unlocked_scan():
    n = 10001
    words = [fresh_word(k) for k in range(n)]
    for batch in (LEV, DAM, JW):
        assert batch("w17", Fresh(n)) == batch("w17", words)
    assert DEREF(Fresh(n)) == sum(len(w.encode()) for w in words)


# --- a lone surrogate among enough candidates to release the lock ---------------------

BIG = ["c%d" % k for k in range(12000)]


@pytest.mark.parametrize("fn", [LEV, DAM, JW, OWN, BOR, DEREF], ids=lambda f: f.__name__)
@pytest.mark.parametrize("where", [9999, 10000, 11999])
def test_surrogate_deep_in_a_large_batch(fn, where):
    candidates = list(BIG)
    candidates[where] = "ok\u00e9" + "\ud83d" * (where % 3 + 1)
    args = (candidates,) if fn in (OWN, BOR, DEREF) else ("c1", candidates)
    message = ("'utf-8' codec can't encode characters in position 3-{}: surrogates not allowed"
               .format(3 + where % 3) if where % 3 else
               "'utf-8' codec can't encode character '\\ud83d' in position 3: surrogates not allowed")
    assert_raises_with_note(UnicodeEncodeError, message, "candidates", fn, *args)
    assert_still_usable(fn)
