"""Reference counts and memory stay flat over many calls that take every path.

The calls run in a fresh interpreter so that nothing else allocates meanwhile;
it reports its figures as one JSON line, which this test checks and prints.
"""

import json
import os
import subprocess
import sys
import textwrap

from helpers import SANITIZED

CHILD = textwrap.dedent(r'''
    import ctypes, gc, json, os, sys
    import quillmatch as qm

    L, D, J = qm.levenshtein_bp, qm.damerau_bp, qm.jaro_winkler_similarity
    LEV, DAM, JW = qm.levenshtein_batch, qm.damerau_batch, qm.jaro_winkler_batch
    OWN, BOR, DEREF = qm._ingest_owned, qm._ingest_borrow, qm._ingest_borrow_and_deref
    CALLS = int(sys.argv[1])

    class Hook:
        def __init__(self, value):
            self.value = value
        def answer(self):
            if isinstance(self.value, BaseException):  # a fresh one: a raised one keeps its frames
                raise type(self.value)(*self.value.args)
            return self.value

    Index = type("Index", (Hook,), {"__index__": Hook.answer})
    Float = type("Float", (Hook,), {"__float__": Hook.answer})
    NumpyBool = type("bool_", (Hook,), {"__module__": "numpy", "__bool__": Hook.answer})
    NoBool = type("bool", (), {"__module__": "numpy"})

    class Seq:
        def __init__(self, items, length, make_iter=None):
            self.items, self.length, self.make_iter = items, length, make_iter
        def __len__(self):
            return Hook(self.length).answer()
        def __getitem__(self, i):
            return self.items[i]
        def __iter__(self):
            return self.make_iter(self) if self.make_iter else iter(self.items)

    def failing_iter(seq):
        yield seq.items[0]
        raise KeyError("iteration")

    class Fresh:
        """New strings, referenced only by the consumer once produced."""
        def __len__(self):
            return 10001
        def __getitem__(self, k):
            if k >= 10001:
                raise IndexError(k)
            return "f%d" % k + "\u00e9" * (k % 2)

    call_c = ctypes.pythonapi.PyObject_Call
    call_c.restype = ctypes.py_object
    call_c.argtypes = [ctypes.py_object] * 3

    def text(n, seed):
        return "".join("abc\u00e9d\u4e2dXYz"[(i * seed) % 9] for i in range(n))

    long_a, long_b = text(700, 7), text(650, 5)
    bad_long = text(700, 3) + "\udfff"
    small = [text(k, 3) for k in range(12)]
    big = [text(k % 14, k % 5 + 1) for k in range(12000)]
    big_none, big_sur = big[:10000] + [None], big[:10000] + [long_a + "\ud800"]
    nan = float("nan")

    # (function, args, kwargs, expected exception or None)
    LIGHT = [
        # binding
        (L, ("a", "b", 1, None, None, 6), {}, TypeError), (OWN, (small, small), {}, TypeError),
        (J, ("a", "b"), {"q": 1}, TypeError), (L, ("a", "b"), {"str_1": long_a}, TypeError),
        (DAM, (), {}, TypeError), (D, (long_a,), {}, TypeError),
        (call_c, (L, ("a", "b"), {10 ** 20: 2}), {}, TypeError),
        # texts
        (L, (None, long_a), {}, TypeError), (D, (long_a, 5), {}, TypeError),
        (J, (long_a.encode(), "a"), {}, TypeError), (L, (long_a, bad_long), {}, UnicodeEncodeError),
        (LEV, (bad_long, small), {}, UnicodeEncodeError),
        # integers
        (L, ("a", "b", -1), {}, OverflowError), (D, ("a", "b", 2 ** 64), {}, OverflowError),
        (L, ("a", "b", 3.0), {}, TypeError), (D, ("a", "b", Index(LookupError("i"))), {}, LookupError),
        (L, ("a", "b", None, None, Index(2.5)), {}, TypeError),
        # flags
        (L, ("a", "b", None, 1), {}, TypeError), (D, ("a", "b", None, NoBool()), {}, TypeError),
        (LEV, ("a", small, NumpyBool(ZeroDivisionError("b"))), {}, ZeroDivisionError),
        (J, ("a", "b", None, None, NumpyBool(1)), {}, TypeError),
        # floats
        (J, ("a", "b", "0.1"), {}, TypeError), (J, ("a", "b", Float(OSError("f"))), {}, OSError),
        (JW, ("a", small, Float(7)), {}, TypeError),
        # candidates
        (DAM, ("a", long_a), {}, TypeError), (LEV, ("a", set(small)), {}, TypeError),
        (JW, ("a", small + [None]), {}, TypeError), (OWN, (tuple(small) + (5,),), {}, TypeError),
        (BOR, (long_a.encode(),), {}, TypeError), (DEREF, (small + [bad_long],), {}, UnicodeEncodeError),
        (OWN, (small + [bad_long],), {}, UnicodeEncodeError),
        (LEV, ("a", Seq(small, 12, failing_iter)), {}, KeyError),
        (OWN, (Seq(small, 12, failing_iter),), {}, KeyError),
        (DEREF, (Seq(small, RuntimeError("len")),), {}, None),
        (BOR, (Seq(small, 2 ** 62),), {}, None),
        # library errors
        (L, (long_a, long_b, 690), {}, ValueError), (D, (long_b, long_a, 690, True), {}, ValueError),
        (J, ("a", "b", 0.3), {}, ValueError), (J, (long_a, long_b, nan, 5), {}, ValueError),
        (JW, ("a", [], 0.3), {}, ValueError), (JW, ("a", small, nan), {}, ValueError),
        # results
        (L, (long_a, long_b), {}, None), (D, (long_a, long_b, None, True, 5), {}, None),
        (J, (long_a, long_b, 0.2, None, NumpyBool(True), 0.5), {}, None),
        (L, ("kitten", "sitting"), {"score_cutoff": Index(1)}, None),
        (J, ("MARTHA", "marhta"), {"p": Float(0.25), "case_insensitive": True}, None),
        (LEV, ("Kitten", small, True), {}, None), (DAM, (long_a, tuple(small)), {}, None),
        (JW, ("kitten", small, 0.2, True), {}, None), (OWN, (small,), {}, None),
        (BOR, (tuple(small),), {}, None), (DEREF, (small,), {}, None),
    ]
    # Each of these takes in 10 000 candidates or more.
    HEAVY = [
        (LEV, ("Kitten", big, True), {}, None), (DAM, (long_a[:70], big), {}, None),
        (JW, ("kitten", big, 0.2), {}, None), (JW, ("kitten", big, 0.3), {}, ValueError),
        (LEV, ("kitten", big_none), {}, TypeError), (DAM, ("kitten", big_sur), {}, UnicodeEncodeError),
        (OWN, (big_sur,), {}, UnicodeEncodeError), (BOR, (big,), {}, None), (DEREF, (big,), {}, None),
        (JW, ("f17", Fresh()), {}, None),
    ]
    HEAVY_EVERY = 500

    def tracked():
        """Every argument object and every item of a list or tuple argument, once each."""
        found = {}
        def add(obj):
            small_int = type(obj) is int and -5 <= obj <= 256
            if obj is None or type(obj) is bool or small_int or callable(obj) and obj in vars(qm).values():
                return
            found.setdefault(id(obj), obj)
        for fn, args, kwargs, _ in LIGHT + HEAVY:
            for obj in list(args) + list(kwargs) + list(kwargs.values()):
                add(obj)
                if type(obj) in (list, tuple):
                    for item in obj:
                        add(item)
                        if type(item) in (list, tuple, dict):
                            for inner in item:
                                add(inner)
        return list(found.values())

    def run(count, start):
        wrong = []
        for i in range(start, start + count):
            if i % HEAVY_EVERY == 0:
                fn, args, kwargs, expected = HEAVY[(i // HEAVY_EVERY) % len(HEAVY)]
            else:
                fn, args, kwargs, expected = LIGHT[i % len(LIGHT)]
            try:
                fn(*args, **kwargs)
                raised = None
            except BaseException as e:
                raised = type(e)
            if raised is not expected:
                wrong.append((i, getattr(fn, "__name__", "?"), repr(raised)))
        return wrong

    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    objects = tracked()
    # The warm-up makes the module's process-wide objects (interned keyword
    # names among them), which hold references for the life of the process.
    warm = CALLS // 10
    wrong = run(warm, 0)
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    rss0, blocks0 = rss_kib(), sys.getallocatedblocks()
    wrong += run(CALLS - warm, warm)
    gc.collect()
    rss1, blocks1 = rss_kib(), sys.getallocatedblocks()
    after = [sys.getrefcount(o) for o in objects]
    deltas = [(type(o).__name__, a - b) for o, a, b in zip(objects, after, before) if a != b]
    print(json.dumps({
        "calls": CALLS, "paths": len(LIGHT) + len(HEAVY), "heavy_calls": CALLS // HEAVY_EVERY,
        "tracked_objects": len(objects), "refcount_deltas": deltas, "wrong_outcomes": wrong[:10],
        "rss_growth_kib": rss1 - rss0, "allocated_blocks_growth": blocks1 - blocks0,
    }))
''')

# The sanitizer build runs each path about 800 times rather than 3 000: enough
# for its memory checks and the counts below, at a quarter of its slow pace.
CALLS = 50_000 if SANITIZED else 200_000


def test_references_and_memory_flat_over_every_path():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)  # the module under test
    proc = subprocess.run([sys.executable, "-c", CHILD, str(CALLS)], env=env,
                          capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stderr[-3000:]
    figures = json.loads(proc.stdout.strip().splitlines()[-1])
    print("\nleak check:", figures)
    assert figures["wrong_outcomes"] == []
    assert figures["refcount_deltas"] == []
    # A leak of one small object per call on any single path would add
    # about CALLS / paths blocks (700 or more); caches and free lists stay far below.
    assert figures["allocated_blocks_growth"] < 500
    if not SANITIZED:  # ASan holds freed memory in quarantine
        # One leaked copy of a 700-character text per call on one path is ~3 MiB.
        assert figures["rss_growth_kib"] < 2048
