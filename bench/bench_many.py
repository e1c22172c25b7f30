"""quillmatch_many in one run: ratios side by side, each timed alternately with its yardstick.

    bench/run_peers.sh sets up build/bench-venv-*; then, in it:
    python bench/bench_many.py [--quick]

  1. levenshtein_matrix of 1 000 x 10 000 short words, one worker, against StringZilla's
     cross-product engine (stringzillas.LevenshteinDistances on one core), both given the
     same Python lists and building their inputs from them inside the timing; CPU time.
  2. levenshtein_matrix on that matrix with workers=2 against workers=1; wall time.
  3. levenshtein_top, k=10, one query against a million words, one worker, against
     quillmatch.levenshtein_batch of the same; CPU time.
  4. Deduplicating 100 000 names within OSA distance 2 with damerau_pairs (default
     workers): wall time, pairs found, and the peak memory the call added, measured in a
     fresh interpreter.
Best of the repetitions; a busy machine moves the ratios by tens of percent.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import textwrap
import time

import quillmatch as qm
import quillmatch_many as qmm

from peers import alternate, load, optional, words

SEED = 20240601
QUERY = "kvarnstelj"


def stringzilla_matrix():
    sz = optional("stringzilla")
    szs = sz and optional("stringzillas")
    if not szs:
        return None
    one_core = szs.DeviceScope(cpu_cores=1)
    engine = szs.LevenshteinDistances()
    try:
        engine(sz.Strs(["ab"]), sz.Strs(["a", "b"]), device=one_core)
    except ValueError:
        print("note: StringZilla %s has no cross-product engine (it scores a[i] against b[i]); skipped"
              % sz.__version__)
        return None
    print("note: StringZilla %s, LevenshteinDistances on one core" % sz.__version__)
    return lambda a, b: engine(sz.Strs(a), sz.Strs(b), device=one_core)


DEDUP_CHILD = textwrap.dedent(r'''
    import json, random, sys, time
    import quillmatch_many as qmm

    def hwm():
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) << 10 for l in f if l.startswith("VmHWM:"))

    n = int(sys.argv[1])
    rnd = random.Random(7)
    syllables = ["an", "ber", "co", "da", "el", "fi", "gor", "ha", "is", "jo", "ka", "li", "mar",
                 "no", "os", "pe", "qui", "ro", "sa", "ti", "u", "ve", "wil", "xa", "yo", "ze"]
    def name():
        return " ".join("".join(rnd.choice(syllables) for _ in range(rnd.randint(2, 3))).title()
                        for _ in range(2))
    names = []
    while len(names) < n:
        if names and rnd.random() < 0.1:  # a near-duplicate of an earlier name
            w = list(rnd.choice(names))
            at = rnd.randrange(len(w) - 1)
            w[at], w[at + 1] = w[at + 1], w[at]
            names.append("".join(w))
        else:
            names.append(name())
    before = hwm()
    start = time.perf_counter()
    i, j, d = qmm.damerau_pairs(names, score_cutoff=2)
    seconds = time.perf_counter() - start
    print(json.dumps({"seconds": seconds, "pairs": len(d), "added": hwm() - before,
                      "result_bytes": i.nbytes + j.nbytes + d.nbytes, "names_hwm": before}))
''')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller data, fewer repetitions")
    args = parser.parse_args()
    quick = args.quick
    repeats = 2 if quick else 5
    rnd = random.Random(SEED)
    n_queries, n_cands, n_words, n_names = (200, 2000, 100_000, 10_000) if quick else \
        (1000, 10_000, 1_000_000, 100_000)
    print("Python %s, quillmatch_many, %s run, best of %d alternated repetitions; %s"
          % (sys.version.split()[0], "quick" if quick else "full", repeats, load()))
    queries = words(rnd, n_queries, 5, 20)
    cands = words(rnd, n_cands, 5, 20)
    short = words(rnd, n_words, 5, 20)
    rows = []

    def add(what, value, op, goal):
        met = value <= goal if op == "<=" else value >= goal
        rows.append((what, value, op, goal, met))
        print("  %-78s %6.2f  (goal %s %g)%s" % (what, value, op, goal, "" if met else "  NOT MET"),
              flush=True)

    sz = stringzilla_matrix()
    if sz:
        ours = qmm.levenshtein_matrix(queries, cands, workers=1)
        theirs = sz(queries, cands)
        print("  StringZilla agrees on the whole matrix: %s" % bool((ours == theirs).all()))
        t = alternate({"ours": lambda: qmm.levenshtein_matrix(queries, cands, workers=1),
                       "sz": lambda: sz(queries, cands)}, repeats)
        add("levenshtein_matrix %d x %d, 1 worker / StringZilla, 1 core (CPU)" % (n_queries, n_cands),
            t["ours"] / t["sz"], "<=", 0.5)
        print("    %.3f s against %.3f s, %.1f ns a cell" % (t["ours"], t["sz"],
                                                            t["ours"] / n_queries / n_cands * 1e9))
    else:
        print("  (no StringZilla: its ratio is skipped)")

    t = alternate({"one": lambda: qmm.levenshtein_matrix(queries, cands, workers=1),
                   "two": lambda: qmm.levenshtein_matrix(queries, cands, workers=2)},
                  repeats, time.perf_counter)
    add("levenshtein_matrix %d x %d, speed-up of workers=2 over workers=1 (wall)"
        % (n_queries, n_cands), t["one"] / t["two"], ">=", 1.8)

    assert qmm.levenshtein_top([QUERY], short, 10)[1][0].tolist() == \
        sorted(qm.levenshtein_batch(QUERY, short))[:10]
    t = alternate({"top": lambda: qmm.levenshtein_top([QUERY], short, 10, workers=1),
                   "batch": lambda: qm.levenshtein_batch(QUERY, short)}, repeats)
    add("levenshtein_top k=10, 1 query x %d words, 1 worker / levenshtein_batch (CPU)" % n_words,
        t["top"] / t["batch"], "<=", 1.1)
    t2 = alternate({"top": lambda: qmm.levenshtein_top([QUERY], short, 10),
                    "batch": lambda: qm.levenshtein_batch(QUERY, short)}, repeats, time.perf_counter)
    print("    with the default workers (%d), wall: %.3f s against %.3f s"
          % (os.cpu_count(), t2["top"], t2["batch"]))

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", DEDUP_CHILD, str(n_names)], env=env, check=True,
                         capture_output=True, text=True).stdout
    r = json.loads(out.strip().splitlines()[-1])
    print("  damerau_pairs deduplicating %d names within distance 2 (default workers): %.2f s wall,"
          " %d pairs, peak memory +%.1f MB (results %.1f MB; the names themselves %.0f MB)"
          % (n_names, r["seconds"], r["pairs"], r["added"] / 1e6, r["result_bytes"] / 1e6,
             r["names_hwm"] / 1e6))
    print("\n%d of %d goals met; at the end, %s" % (sum(r[4] for r in rows), len(rows), load()))


if __name__ == "__main__":
    main()
