"""Throughput of the batch functions and the ingestion probes, and per-call time of
the scalar functions.

    python bench/bench_batch.py [--scale 0.1] [--repeats 3]

Candidate sets (all scored against one 10-character ASCII query):
  (a) short ASCII words of 5 to 20 letters, mixed case, seeded random;
  (b) the same words with case_insensitive=True;
  (c) the same words with about one in ten made non-ASCII;
  (d) texts of 1 000 ASCII characters.
At --scale 1.0 the word sets hold 1 000 000 candidates and the text set 10 000.
Each figure is the best of --repeats runs, timed with time.perf_counter.
"""

import argparse
import random
import string
import sys
import time

import quillmatch as qm

QUERY = "SoftwAreXy"
NON_ASCII = "\u00e9\u00df\u00fc\u00c5\u0130\u03a3\u4e2d"
BATCHES = [
    ("levenshtein_batch", lambda c, ci: qm.levenshtein_batch(QUERY, c, case_insensitive=ci)),
    ("damerau_batch", lambda c, ci: qm.damerau_batch(QUERY, c, case_insensitive=ci)),
    ("jaro_winkler_batch", lambda c, ci: qm.jaro_winkler_batch(QUERY, c, case_insensitive=ci)),
]
PROBES = [
    ("_ingest_owned", lambda c, ci: qm._ingest_owned(c)),
    ("_ingest_borrow", lambda c, ci: qm._ingest_borrow(c)),
    ("_ingest_borrow_and_deref", lambda c, ci: qm._ingest_borrow_and_deref(c)),
]
SCALARS = [
    ("levenshtein_bp", qm.levenshtein_bp),
    ("damerau_bp", qm.damerau_bp),
    ("jaro_winkler_similarity", qm.jaro_winkler_similarity),
]


def best_of(repeats, fn, *args):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        fn(*args)
        best = min(best, time.perf_counter() - start)
    return best


def make_sets(scale, rnd):
    n_words = max(1, int(1_000_000 * scale))
    n_texts = max(1, int(10_000 * scale))
    letters = string.ascii_letters
    words = ["".join(rnd.choices(letters, k=rnd.randint(5, 20))) for _ in range(n_words)]
    mixed = list(words)
    for i in range(0, n_words, 10):
        w = mixed[i]
        at = rnd.randrange(len(w))
        mixed[i] = w[:at] + rnd.choice(NON_ASCII) + w[at + 1:]
    texts = ["".join(rnd.choices(letters + " ", k=1000)) for _ in range(n_texts)]
    return [
        ("(a) ascii", words, False, "%d ASCII words, 5-20 chars" % n_words),
        ("(b) folded", words, True, "the same words, case_insensitive=True"),
        ("(c) 10% non-ascii", mixed, False, "the same words, every 10th made non-ASCII"),
        ("(d) 1000-char", texts, False, "%d ASCII texts of 1000 chars" % n_texts),
    ]


def rate(n, seconds):
    per_s = n / seconds
    for unit, div in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if per_s >= div:
            return "%.2f%s/s" % (per_s / div, unit)
    return "%.0f/s" % per_s


def per_call(seconds):
    if seconds >= 1e-3:
        return "%.2f ms" % (seconds * 1e3)
    if seconds >= 1e-6:
        return "%.2f us" % (seconds * 1e6)
    return "%.0f ns" % (seconds * 1e9)


def table(title, header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    print("\n" + title)
    line = lambda r: "  ".join(str(c).ljust(w) if i == 0 else str(c).rjust(w)
                               for i, (c, w) in enumerate(zip(r, widths)))
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))


def scalar_rows(repeats, rnd, scale):
    short = ["".join(rnd.choices(string.ascii_letters, k=rnd.randint(5, 20)))
             for _ in range(max(2, int(20_000 * scale)))]
    long_ = ["".join(rnd.choices(string.ascii_letters, k=1000)) for _ in range(max(2, int(200 * scale)))]
    rows = []
    for name, fn in SCALARS:
        cells = [name]
        for texts in (short, long_):
            pairs = list(zip(texts, texts[1:]))
            seconds = best_of(repeats, lambda: [fn(a, b) for a, b in pairs])
            cells.append(per_call(seconds / len(pairs)))
        rows.append(cells)
    return rows


def main():
    parser = argparse.ArgumentParser(description="Benchmark of the quillmatch batch functions and probes.")
    parser.add_argument("--scale", type=float, default=1.0, help="size factor (default 1.0)")
    parser.add_argument("--repeats", type=int, default=3, help="runs per figure, best kept")
    args = parser.parse_args()
    rnd = random.Random(20240601)
    sets = make_sets(args.scale, rnd)

    print("quillmatch batch benchmark, Python %s, %s back end, scale %g, best of %d" % (
        sys.version.split()[0], qm.simd, args.scale, args.repeats))
    print("query %r" % QUERY)
    for label, cands, _, what in sets:
        print("  %-18s %s" % (label, what))

    times = {}
    for name, fn in BATCHES + PROBES:
        for label, cands, ci, _ in sets:
            times[name, label] = best_of(args.repeats, fn, cands, ci)

    labels = [s[0] for s in sets]
    sizes = {s[0]: len(s[1]) for s in sets}
    table("throughput, candidates per second", ["function"] + labels,
          [[name] + [rate(sizes[l], times[name, l]) for l in labels] for name, _ in BATCHES + PROBES])
    base = "_ingest_borrow_and_deref"
    table("time relative to %s on the same candidates" % base, ["function"] + labels,
          [[name] + ["%.1fx" % (times[name, l] / times[base, l]) for l in labels]
           for name, _ in BATCHES])
    table("scalar functions, time per call (Python call included)",
          ["function", "short words", "1000-char texts"], scalar_rows(args.repeats, rnd, args.scale))


if __name__ == "__main__":
    main()
