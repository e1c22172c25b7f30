"""Prints a digest of many results of quillmatch and quillmatch_many, one line per
function, for comparing two builds bit for bit: the AVX2 build natively against
the portable or NEON build under emulation (tools/test_portable.sh,
tools/test_arm64.sh run both and compare the output).

The texts are seeded: ASCII of every lane width's lengths and past 64 (the block
engines), texts beyond ASCII and texts that fold to ASCII, so that every lane
engine, the word and block kernels and the decoding paths run. Scores are
recorded exactly (floats as hex), errors as type and message.

usage: python tools/results_digest.py
"""

import hashlib
import random

import quillmatch as qm
import quillmatch_many as qmm

ALPHABETS = ["abcab", "abcdefghij KLM", "\u00e9\u00e8a\u00c9e\u03a3\u03c3\u03c2", "ab\U0001f600\u0130i\u212a"]


def texts(rnd, n):
    out = []
    for _ in range(n):
        alphabet = rnd.choice(ALPHABETS)
        length = rnd.choice([0, 1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 200, 300])
        out.append("".join(rnd.choice(alphabet) for _ in range(length)))
    return out


def exact(value):
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(exact(v) for v in value) + "]"
    return repr(value)


def outcome(call):
    try:
        result = call()
    except Exception as e:  # the error is part of the result
        return "{}: {}".format(type(e).__name__, e)
    if hasattr(result, "tolist"):
        return exact(result.tolist())
    if isinstance(result, tuple):
        return exact([r.tolist() if hasattr(r, "tolist") else r for r in result])
    return exact(result)


def main():
    rnd = random.Random(20)
    queries, candidates = texts(rnd, 30), texts(rnd, 400)
    digests = {}

    def record(name, call):
        digests.setdefault(name, hashlib.sha256()).update((outcome(call) + "\n").encode())

    for q in queries:
        for ci in (None, False, True):
            record("levenshtein_batch", lambda: qm.levenshtein_batch(q, candidates, case_insensitive=ci))
            record("damerau_batch", lambda: qm.damerau_batch(q, candidates, case_insensitive=ci))
            record("jaro_winkler_batch", lambda: qm.jaro_winkler_batch(q, candidates, case_insensitive=ci))
        record("jaro_winkler_batch", lambda: qm.jaro_winkler_batch(q, candidates, p=0.25))
    for a, b in zip(texts(rnd, 1500), texts(rnd, 1500)):
        kw = dict(max_len=rnd.choice([None, 50, 400]), case_insensitive=rnd.choice([None, True]),
                  score_cutoff=rnd.choice([None, 0, 3, 40]))
        record("levenshtein_bp", lambda: qm.levenshtein_bp(a, b, **kw))
        record("damerau_bp", lambda: qm.damerau_bp(a, b, **kw))
        kw["score_cutoff"] = rnd.choice([None, 0.5, 0.9])
        record("jaro_winkler_similarity",
               lambda: qm.jaro_winkler_similarity(a, b, p=rnd.choice([None, 0.1, 0.3]), **kw))
    many_q, many_c = queries[:12], candidates[:150]
    for measure in ("levenshtein", "damerau", "jaro_winkler"):
        cutoff = 0.7 if measure == "jaro_winkler" else 5
        for workers in (1, 3):
            record(measure + "_matrix", lambda: getattr(qmm, measure + "_matrix")(
                many_q, many_c, case_insensitive=True, workers=workers))
            record(measure + "_top", lambda: getattr(qmm, measure + "_top")(
                many_q, many_c, 5, cutoff, workers=workers))
            record(measure + "_pairs", lambda: getattr(qmm, measure + "_pairs")(
                many_q, None, cutoff, workers=workers))
            record(measure + "_clusters", lambda: getattr(qmm, measure + "_clusters")(
                many_c, cutoff, case_insensitive=True, workers=workers))
    for name in sorted(digests):
        print(name, digests[name].hexdigest()[:32])


if __name__ == "__main__":
    main()
