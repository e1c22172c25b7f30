"""Two columns scored row by row: quillmatch_many's *_scores over two columns, beside the ways
a user has without it.

    python bench/bench_rows.py [--rows 1000000] [--repeats 3]

Run it with an interpreter that imports quillmatch, quillmatch_many, numpy and pyarrow (the
build's, or build/bench-venv-* made by bench/run_peers.sh); DuckDB is timed when it imports.
The names are bench/bench_join.py's Faker names (made and cached by it on first use). Row i
pairs a name drawn at random with, in half of the rows, a copy of it with one typo, and in the
other half another name drawn at random: the candidate pairs of a blocking step, whose strings
lie scattered in memory as a program's lists of them do.

Each line is a ratio of two times measured side by side in this process, best of --repeats
runs taken in turn (CPU time of the process for one thread, wall time for two), so that the
machine's drift cancels; below 1 the row-by-row call is the faster.
  1. One worker, two pyarrow columns: each measure's *_scores(a, b) against *_scores(query, b),
     one str against the same candidates, the query prepared once.
  2. Two lists of str: *_scores(list_a, list_b) against a Python loop over the core module's
     scalar function of the same measure; then the same with two workers, which score the rows
     while the calling thread takes the lists in (wall time).
  3. DuckDB's own levenshtein(a, b) and jaro_winkler_similarity(a, b) over the same Arrow
     table with two threads, against *_scores(a, b, workers=2).
  4. Two workers against one (wall time), alternated with each other only, in three times
     --repeats rounds. Wall times of two threads vary with what else the machine runs: give
     more --repeats for a steadier best. Last, the same for levenshtein_matrix of 200 names
     against 20 000, scoring alone with nothing to read: what two threads give on this machine
     at best, the ceiling of the other lines 4.
The results of every quillmatch call are checked against the scalar functions on a sample of
rows, outside the timing; a disagreement ends the run with status 1.
"""

import argparse
import os
import random
import sys
import time

import pyarrow as pa

import quillmatch
import quillmatch_many as qm

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_join import names  # noqa: E402
from join_data import typo  # noqa: E402
from peers import alternate, count, load  # noqa: E402

MEASURES = [("levenshtein", quillmatch.levenshtein_bp), ("damerau", quillmatch.damerau_bp),
            ("jaro_winkler", quillmatch.jaro_winkler_similarity)]
# What the issue of this engine asked for: (line, measure) -> (op, target).
GOALS = {
    ("rows / one str", "levenshtein"): ("<=", 2.0),
    ("rows / one str", "damerau"): ("<=", 2.0),
    ("rows / one str", "jaro_winkler"): ("<=", 2.5),
    ("lists / Python loop", "levenshtein"): ("<=", 0.1),
    ("lists / Python loop", "damerau"): ("<=", 0.1),
    ("lists / Python loop", "jaro_winkler"): ("<=", 0.1),
    ("2 workers / DuckDB 2 threads", "levenshtein"): ("<=", 0.05),
    ("2 workers / DuckDB 2 threads", "jaro_winkler"): ("<=", 0.2),
    ("2 workers / 1 worker", "levenshtein"): ("<=", 1 / 1.7),
    ("2 workers / 1 worker", "damerau"): ("<=", 1 / 1.7),
    ("2 workers / 1 worker", "jaro_winkler"): ("<=", 1 / 1.7),
}
DUCKDB = {"levenshtein": "levenshtein", "jaro_winkler": "jaro_winkler_similarity"}


def make_pairs(n, seed=7):
    pool = names(min(n, 1_000_000))
    rnd = random.Random(seed)
    a = [pool[rnd.randrange(len(pool))] for _ in range(n)]
    b = [typo(rnd, x) if i % 2 == 0 else pool[rnd.randrange(len(pool))] for i, x in enumerate(a)]
    return a, b


def check(measure, scalar, a, b, got, rnd):
    for i in rnd.sample(range(len(a)), min(len(a), 2000)):
        want = scalar(a[i], b[i])
        if got[i] != want:
            print("MISMATCH %s row %d: %r %r gave %r, the scalar function %r" % (measure, i, a[i], b[i], got[i], want))
            sys.exit(1)


def line(what, measure, best, over, under, results):
    ratio = best[over] / best[under]
    goal = GOALS.get((what, measure))
    verdict = ""
    if goal is not None:
        op, target = goal
        verdict = "goal %s %.3g: %s" % (op, target, "met" if ratio <= target else "NOT MET")
    results.append((what, measure, ratio))
    print("  %-30s %-13s %8.3f   (%.3f s / %.3f s)  %s"
          % (what, measure, ratio, best[over], best[under], verdict), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=3)
    args = ap.parse_args()
    a, b = make_pairs(args.rows)
    col_a, col_b = pa.array(a, pa.string()), pa.array(b, pa.string())
    # The one query: the first ASCII name of a usual length (a query beyond ASCII takes the
    # kernel for every candidate, which would flatter the row-by-row call).
    query = next(x for x in a if x.isascii() and 15 <= len(x) <= 19)
    print("%s row pairs of Faker names (mean %.1f characters); %s"
          % (count(len(a)), sum(map(len, a)) / len(a), load()), flush=True)
    rnd = random.Random(1)
    results = []
    try:
        import duckdb
    except ImportError:
        duckdb = None
        print("  (DuckDB is not installed: its lines are left out)")
    for measure, scalar in MEASURES:
        fn = getattr(qm, measure + "_scores")
        check(measure, scalar, a, b, fn(a, b).tolist(), rnd)
        check(measure, scalar, a, b, fn(col_a, col_b).tolist(), rnd)

        best = alternate({"rows": lambda: fn(col_a, col_b, workers=1),
                          "one": lambda: fn(query, col_b, workers=1)}, args.repeats)
        line("rows / one str", measure, best, "rows", "one", results)

        loop = lambda: [scalar(x, y) for x, y in zip(a, b)]  # noqa: E731
        best = alternate({"lists": lambda: fn(a, b, workers=1), "loop": loop}, max(1, args.repeats - 1))
        line("lists / Python loop", measure, best, "lists", "loop", results)
        # Two workers score the rows while the calling thread takes the lists in: wall time.
        best = alternate({"lists": lambda: fn(a, b, workers=2), "loop": loop}, max(1, args.repeats - 1),
                         clock=time.perf_counter)
        line("lists, 2 workers / loop", measure, best, "lists", "loop", results)

        two = lambda: fn(col_a, col_b, workers=2)  # noqa: E731
        if duckdb is not None and measure in DUCKDB:
            con = duckdb.connect()
            con.execute("SET threads = 2")
            table = pa.table({"a": col_a, "b": col_b})
            con.register("t", table)
            sql = "SELECT %s(a, b) AS s FROM t" % DUCKDB[measure]
            best = alternate({"2": two, "duckdb": lambda: con.sql(sql).to_arrow_table()}, args.repeats,
                             clock=time.perf_counter)
            line("2 workers / DuckDB 2 threads", measure, best, "2", "duckdb", results)
        # The scaling in rounds of its own: a third party in them (DuckDB's threads) would only
        # add its noise to the ratio of two wall times.
        # Three times the rounds: a call takes tens of milliseconds, and the wall time of two
        # threads moves with every other process far more than one thread's CPU time does.
        best = alternate({"1": lambda: fn(col_a, col_b, workers=1), "2": two}, 3 * args.repeats,
                         clock=time.perf_counter)
        line("2 workers / 1 worker", measure, best, "2", "1", results)
    # The machine's own ceiling for two threads: scoring alone, nothing read.
    queries, candidates = a[:200], pa.array(b[:20_000], pa.string())
    matrix = lambda w: lambda: qm.levenshtein_matrix(queries, candidates, workers=w)  # noqa: E731
    best = alternate({"1": matrix(1), "2": matrix(2)}, 3 * args.repeats, clock=time.perf_counter)
    line("2 workers / 1 worker, matrix", "levenshtein", best, "2", "1", results)
    met = [r for r in results if (r[0], r[1]) in GOALS]
    print("\n%d of %d goals met; at the end, %s"
          % (sum(r[2] <= GOALS[(r[0], r[1])][1] for r in met), len(met), load()))


if __name__ == "__main__":
    main()
