"""Batches that let go of the lock, beside threads that mutate what they score.

The mutator only ever writes the item of position i as one of two known texts,
A[i] or B[i], whose scores differ, and always as a fresh string that the list
alone references. Every result is decoded back into the items it was computed
from, and those must be a state the list really held at one instant: the call
sees the items as they were iterated, however the list changes afterwards.
"""

import functools
import random
import re
import sys
import threading
import types

import quillmatch as qm

LEV, DAM, JW = qm.levenshtein_batch, qm.damerau_batch, qm.jaro_winkler_batch
SCALAR = {LEV: qm.levenshtein_bp, DAM: qm.damerau_bp, JW: qm.jaro_winkler_similarity}
QUERY = "Kitten Sitting"
N = 10200  # past the 10 000 candidates from which the lock is released
WORKERS, ROUNDS = 4, 24


def fresh(text):
    """An equal string that is a new object, so dropping it from the list frees it."""
    return (text + ".")[:-1]


@functools.lru_cache(maxsize=None)
def tables(seed=11):
    """The texts A[i], B[i] of each position and every score the calls may return."""
    rnd = random.Random(seed)
    letters = "kitensgKITENSG \u00e9\u4e2d"
    a, b = [], []
    while len(a) < N:
        word = "".join(rnd.choice(letters) for _ in range(rnd.randint(3, 16)))
        longer = word + rnd.choice(["#", "\u00e9"]) * rnd.randint(50, 70)
        # Each measure must tell the two texts of a position apart.
        if all(SCALAR[f](QUERY, word, case_insensitive=True) !=
               SCALAR[f](QUERY, longer, case_insensitive=True) for f in SCALAR):
            a.append(word)
            b.append(longer)
    score = {f: {t: SCALAR[f](QUERY, t, case_insensitive=True) for t in a + b} for f in SCALAR}
    code = {f: [(score[f][x], score[f][y]) for x, y in zip(a, b)] for f in SCALAR}
    return types.SimpleNamespace(A=a, B=b, score=score, code=code)


FULL_LENGTH_STATES = re.compile("B*A*|A*B*")


def decode(t, batch, result):
    """The A/B letter of each position, or None when a score fits neither text."""
    letters = []
    for i, score in enumerate(result[:N]):
        a, b = t.code[batch][i]
        letters.append("A" if score == a else "B" if score == b else None)
    return None if None in letters or len(result) > N else "".join(letters)


def is_a_held_state(letters):
    """States the mutator passes through: a sweep from A to B or back at full length,
    or a list being refilled with A texts."""
    if len(letters) == N:
        return FULL_LENGTH_STATES.fullmatch(letters) is not None
    return set(letters) <= {"A"}


def mutate_round(t, items):
    for i in range(N):
        items[i] = fresh(t.B[i])
    for i in range(N):
        items[i] = fresh(t.A[i])
    items.clear()
    for text in t.A:
        items.append(fresh(text))
    items[:] = [fresh(x) for x in t.B]
    items[:] = [fresh(x) for x in t.A]


def test_batches_see_a_snapshot_while_other_threads_mutate():
    t = tables()
    shared = [[fresh(x) for x in t.A] for _ in range(2)]
    stop, errors, tallies, rounds = threading.Event(), [], [], [0]

    def mutator():
        try:
            while not stop.is_set() or rounds[0] < 2:
                for items in shared:
                    mutate_round(t, items)
                rounds[0] += 1
        except BaseException as e:
            errors.append(e)

    def worker(seed):
        rnd = random.Random(seed)
        counts = {"batch": 0, "unlocked": 0, "mixed": 0, "scalar": 0}
        try:
            for _ in range(ROUNDS):
                batch = rnd.choice([LEV, DAM, JW])
                items = rnd.choice(shared)
                kind = rnd.random()
                if kind < 0.45:  # the list itself, while it changes
                    letters = decode(t, batch, batch(QUERY, items, case_insensitive=True))
                    assert letters is not None and is_a_held_state(letters), letters
                    counts["unlocked"] += len(letters) >= 10000
                    counts["mixed"] += len(set(letters)) > 1
                elif kind < 0.75:  # a copy taken at one instant
                    copy = tuple(items)
                    result = batch(QUERY, copy, case_insensitive=True)
                    assert result == [t.score[batch][x] for x in copy]
                else:
                    for _ in range(20):
                        text = rnd.choice(rnd.choice([t.A, t.B]))
                        score = SCALAR[batch](QUERY, text, case_insensitive=True)
                        assert score == t.score[batch][text]
                    counts["scalar"] += 20
                    continue
                counts["batch"] += 1
            tallies.append(counts)
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    old = sys.getswitchinterval()
    sys.setswitchinterval(0.0005)
    threads = [threading.Thread(target=worker, args=(k,)) for k in range(WORKERS)]
    mutating = threading.Thread(target=mutator)
    try:
        mutating.start()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        stop.set()
        mutating.join()
        sys.setswitchinterval(old)
    if errors:
        raise errors[0]
    total = {k: sum(c[k] for c in tallies) for k in tallies[0]}
    print("\nthread check:", dict(total, mutator_rounds=rounds[0]))
    assert len(tallies) == WORKERS
    assert total["batch"] + total["scalar"] // 20 == WORKERS * ROUNDS
