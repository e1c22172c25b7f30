"""Batches that let go of the lock, beside threads that mutate what they score.

The mutator only ever writes the item of position i as one of two known texts,
A[i] or B[i], whose scores differ, and always as a fresh string that the list
alone references. Every result is decoded back into the items it was computed
from, and those must be a state the list really held at one instant: the call
sees the items as they were iterated, however the list changes afterwards.
"""

import random
import re
import sys
import threading

import quillmatch as qm

LEV, DAM, JW = qm.levenshtein_batch, qm.damerau_batch, qm.jaro_winkler_batch
SCALAR = {LEV: qm.levenshtein_bp, DAM: qm.damerau_bp, JW: qm.jaro_winkler_similarity}
QUERY = "Kitten Sitting"
N = 10200  # past the 10 000 candidates from which the lock is released
WORKERS, ROUNDS = 4, 24


def fresh(text):
    """An equal string that is a new object, so dropping it from the list frees it."""
    return (text + ".")[:-1]


def pools(seed=11):
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
    return a, b


A, B = pools()
SCORE = {f: {t: SCALAR[f](QUERY, t, case_insensitive=True) for t in A + B} for f in SCALAR}
CODE = {f: [(SCORE[f][x], SCORE[f][y]) for x, y in zip(A, B)] for f in SCALAR}
FULL_LENGTH_STATES = re.compile("B*A*|A*B*")


def decode(batch, result):
    """The A/B letter of each position, or None when a score fits neither text."""
    letters = []
    for i, score in enumerate(result[:N]):
        a, b = CODE[batch][i]
        letters.append("A" if score == a else "B" if score == b else None)
    return None if None in letters or len(result) > N else "".join(letters)


def is_a_held_state(letters):
    """States the mutator passes through: a sweep from A to B or back at full length,
    or a list being refilled with A texts."""
    if len(letters) == N:
        return FULL_LENGTH_STATES.fullmatch(letters) is not None
    return set(letters) <= {"A"}


def mutate_round(items):
    for i in range(N):
        items[i] = fresh(B[i])
    for i in range(N):
        items[i] = fresh(A[i])
    items.clear()
    for text in A:
        items.append(fresh(text))
    items[:] = [fresh(t) for t in B]
    items[:] = [fresh(t) for t in A]


def test_batches_see_a_snapshot_while_other_threads_mutate():
    shared = [[fresh(t) for t in A] for _ in range(2)]
    stop, errors, tallies, rounds = threading.Event(), [], [], [0]

    def mutator():
        while not stop.is_set() or rounds[0] < 2:
            for items in shared:
                mutate_round(items)
            rounds[0] += 1

    def worker(seed):
        rnd = random.Random(seed)
        counts = {"batch": 0, "mixed": 0, "scalar": 0}
        try:
            for _ in range(ROUNDS):
                batch = rnd.choice([LEV, DAM, JW])
                items = rnd.choice(shared)
                kind = rnd.random()
                if kind < 0.45:  # the list itself, while it changes
                    letters = decode(batch, batch(QUERY, items, case_insensitive=True))
                    assert letters is not None and is_a_held_state(letters), letters
                    counts["mixed"] += len(set(letters)) > 1
                elif kind < 0.75:  # a copy taken at one instant
                    copy = tuple(items)
                    result = batch(QUERY, copy, case_insensitive=True)
                    assert result == [SCORE[batch][t] for t in copy]
                else:
                    for _ in range(20):
                        text = rnd.choice(rnd.choice([A, B]))
                        assert SCALAR[batch](QUERY, text, case_insensitive=True) == SCORE[batch][text]
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
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        stop.set()
        mutating.join()
        sys.setswitchinterval(old)
    if errors:
        raise errors[0]
    total = {k: sum(t[k] for t in tallies) for k in tallies[0]}
    print("\nthread check:", dict(total, mutator_rounds=rounds[0]))
    assert len(tallies) == WORKERS
    assert total["batch"] + total["scalar"] // 20 == WORKERS * ROUNDS
