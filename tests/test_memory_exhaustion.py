"""Calls that need more memory than the process may have raise MemoryError.

A fresh interpreter builds its inputs, then lowers its address-space limit to
what it uses plus a margin no call below can fit in. Each call must raise
MemoryError (never PanicException, never a crash), and the interpreter must
answer normal calls right after, the unlocked batch path included.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from helpers import SANITIZED

pytestmark = pytest.mark.skipif(
    SANITIZED or not sys.platform.startswith("linux"),
    reason="AddressSanitizer reserves far more address space than any limit left to the test")

CHILD = textwrap.dedent(r'''
    import json, resource
    import quillmatch as qm

    MARGIN = 300 << 20
    long_ascii = "\u00e9" + "a" * 30_000_000   # block masks of this pattern need ~960 MB
    long_latin = "\u00e9" * 40_000_000         # its UTF-8 copies and code points need ~480 MB
    many = ["candidate longer than a short string"] * 16_000_000  # taking it in needs > 300 MB
    few = ["kitten", "sitting", "k\u00e9tten"] * 3400  # 10 200: the lock is released

    CASES = {
        "levenshtein_bp, 30M code points": lambda: qm.levenshtein_bp(long_ascii, "abc"),
        "damerau_bp, 30M code points": lambda: qm.damerau_bp(long_ascii, "xyz", None, True),
        "jaro_winkler_similarity, 40M code points":
            lambda: qm.jaro_winkler_similarity(long_latin, "abc"),
        "levenshtein_batch, 16M candidates": lambda: qm.levenshtein_batch("abc", many),
        "_ingest_owned, 16M candidates": lambda: qm._ingest_owned(many),
        "levenshtein_batch, unlocked, 30M query": lambda: qm.levenshtein_batch(long_ascii, few),
        "damerau_batch, unlocked, 30M query": lambda: qm.damerau_batch(long_ascii, few, True),
    }

    def normal_calls():
        return [qm.levenshtein_bp("flaw", "lawn"), qm.jaro_winkler_similarity("MARTHA", "MARHTA"),
                sum(qm.damerau_batch("kitten", few)), qm._ingest_borrow_and_deref(few)]

    def vm_bytes():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) << 10 for l in f if l.startswith("VmSize:"))

    expected = normal_calls()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + MARGIN, hard))
    outcomes = {}
    for name, call in CASES.items():
        outcome, notes = "returned", None
        try:
            call()
        except BaseException as e:
            outcome, notes = type(e).__name__, getattr(e, "__notes__", None)
        outcomes[name] = [outcome, normal_calls() == expected, notes]
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(json.dumps({"outcomes": outcomes, "usable_after_limit_lifted": normal_calls() == expected}))
''')


def test_out_of_memory_raises_memory_error():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)  # the module under test
    proc = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    print("\nmemory exhaustion:", report)
    outcomes = report["outcomes"]
    assert len(outcomes) == 7 and report["usable_after_limit_lifted"]
    assert {name: o[:2] for name, o in outcomes.items()} == {name: ["MemoryError", True]
                                                             for name in outcomes}
    # Taking 16M candidates in fails while converting, which the note names; every
    # other call fails later, in the library (the unlocked ones in the engine).
    note = ["while processing 'candidates'"] if hasattr(BaseException, "add_note") else None
    assert {name: o[2] for name, o in outcomes.items()} == {
        name: note if "16M" in name else None for name in outcomes}


TRIES = textwrap.dedent(r'''
    import json, resource, sys
    import quillmatch_many as qmm

    texts = ["same"] * 2500

    def vm_bytes():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) << 10 for l in f if l.startswith("VmSize:"))

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for margin in map(int, sys.argv[1:]):
        resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + (margin << 20), hard))
        try:
            qmm._with_plan("filtered", qmm.levenshtein_pairs, texts, None, 0, workers=2)
            outcomes.append("returned")
        except MemoryError:
            outcomes.append("MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    print(json.dumps(outcomes))
''')


def test_workers_short_of_memory_raise_memory_error_and_never_abort():
    # A worker's first throw (or the first use of the C++ runtime's state on its
    # thread) needs a block of thread-local storage, which the C library
    # allocates on that thread and aborts the process when it cannot. Fresh
    # interpreters, each trying several limits a few megabytes above its use.
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    seen = set()
    for child in range(24):
        margins = [str(20 + (child + k) % 13) for k in range(5)]
        proc = subprocess.run([sys.executable, "-c", TRIES] + margins, env=env, capture_output=True,
                              text=True, timeout=600)
        assert proc.returncode == 0, (margins, proc.stderr[-3000:])
        seen.update(json.loads(proc.stdout.strip().splitlines()[-1]))
    print("\nunder a memory limit:", sorted(seen))
    assert seen <= {"returned", "MemoryError"}
