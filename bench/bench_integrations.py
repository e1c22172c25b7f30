"""quillmatch_many's DuckDB functions, polars namespace, pandas accessor and a splink model,
each against what it stands beside.

    python bench/bench_integrations.py [--rows 1000000] [--people 100000] [--repeats 3]
                                       [--skip duckdb,frames,splink]

Run it with an interpreter that imports quillmatch_many (the build's: PYTHONPATH=build/dev/py),
numpy, pyarrow, DuckDB, polars, pandas, splink and Faker (the test command's .venv has them).
The row pairs are bench/bench_rows.py's make_pairs: bench/bench_join.py's Faker names, half of
the rows a name and a copy of it with one typo, half two names drawn at random. The people are
examples/splink_link.py's, made by Faker.

Each line is a ratio of two wall times measured side by side in this process, best of
--repeats runs taken in turn, so that the machine's drift cancels; below 1 the first is the
faster.
  1. DuckDB, threads = 2, over a DuckDB table of --rows pairs: SELECT sum(f(a, b)) with the
     registered qm_levenshtein and qm_jaro_winkler against DuckDB's levenshtein and
     jaro_winkler_similarity (and, without a goal, qm_damerau against damerau_levenshtein, a
     different measure, and the case-insensitive forms against DuckDB's over lower()); then
     the registered function against *_scores(a, b, workers=2) on the same pairs as pyarrow
     columns (what going through DuckDB's Python functions costs), and an Arrow function that
     returns zeros against DuckDB's own (the least a registered function can take).
  2. polars (eager and lazy, pl.col("a").qm.<measure>(pl.col("b"))) and pandas
     (df["a"].qm.<measure>(df["b"]), pandas' default strings) against *_scores(a, b) on the
     same frame's columns.
  3. splink: predict() of the model of examples/splink_link.py trained once on two files of
     --people people, written with quillmatch's functions, against the same model (the same
     levels, thresholds and trained parameters) written with DuckDB's own over lower().
Every result is checked outside the timing: the registered functions against the scores
functions, the frames' columns against the eager call, the two models' comparison counts.
"""

import argparse
import json
import logging
import os
import re
import sys
import time

import numpy as np
import pyarrow as pa

import quillmatch_many as qmm

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))
from bench_rows import make_pairs  # noqa: E402
from peers import alternate, count, load  # noqa: E402

GOALS = {
    ("DuckDB", "levenshtein"): 0.05,
    ("DuckDB", "jaro_winkler"): 0.3,
    ("polars eager / scores", "levenshtein"): 1.2,
    ("polars eager / scores", "jaro_winkler"): 1.2,
    ("polars lazy / scores", "levenshtein"): 1.2,
    ("polars lazy / scores", "jaro_winkler"): 1.2,
    ("pandas / scores", "levenshtein"): 1.2,
    ("pandas / scores", "jaro_winkler"): 1.2,
    ("splink predict", "model"): 0.8,
}
# measure -> (registered function, DuckDB's own over the same columns)
DUCKDB = {
    "levenshtein": ("qm_levenshtein(a, b)", "levenshtein(a, b)"),
    "jaro_winkler": ("qm_jaro_winkler(a, b)", "jaro_winkler_similarity(a, b)"),
    "damerau": ("qm_damerau(a, b)", "damerau_levenshtein(a, b)"),
    "levenshtein_ci": ("qm_levenshtein_ci(a, b)", "levenshtein(lower(a), lower(b))"),
    "jaro_winkler_ci": ("qm_jaro_winkler_ci(a, b)", "jaro_winkler_similarity(lower(a), lower(b))"),
}
SCORES = {"levenshtein": qmm.levenshtein_scores, "jaro_winkler": qmm.jaro_winkler_scores,
          "damerau": qmm.damerau_scores}
results = []


def line(what, measure, best, over, under):
    ratio = best[over] / best[under]
    goal = GOALS.get((what, measure))
    verdict = "" if goal is None else "goal <= %.3g: %s" % (goal, "met" if ratio <= goal else "NOT MET")
    results.append((what, measure, ratio, goal))
    print("  %-26s %-16s %8.3f   (%.3f s / %.3f s)  %s" % (what, measure, ratio, best[over], best[under],
                                                           verdict), flush=True)


def fail(message):
    print("MISMATCH " + message)
    sys.exit(1)


def bench_duckdb(col_a, col_b, repeats):
    import duckdb

    import quillmatch_many.duckdb

    con = quillmatch_many.duckdb.register(duckdb.connect())
    con.execute("SET threads = 2")
    con.register("source", pa.table({"a": col_a, "b": col_b}))
    con.execute("CREATE TABLE pairs AS SELECT * FROM source")
    con.unregister("source")
    print("DuckDB %s, threads = 2, %s pairs in a DuckDB table" % (duckdb.__version__, count(len(col_a))))
    # What DuckDB's Python functions cost before any work: an Arrow function over the same two
    # columns that returns zeros. No registered function can take less.
    con.create_function("empty_function", lambda a, b: pa.array(np.zeros(len(a), np.int64)),
                        ["VARCHAR", "VARCHAR"], "BIGINT", type="arrow", null_handling="special")
    floor = "SELECT sum(empty_function(a, b)) FROM pairs"
    for measure, (ours, theirs) in DUCKDB.items():
        scores = SCORES[measure.replace("_ci", "")]
        ci = measure.endswith("_ci")
        got = con.sql("SELECT %s FROM pairs" % ours).to_arrow_table().column(0).to_numpy()
        want = np.asarray(scores(col_a, col_b, case_insensitive=ci))
        if not np.array_equal(got, want):
            fail("%s: the registered function disagrees with %s_scores" % (ours, measure))
        best = alternate({
            "ours": lambda: con.execute("SELECT sum(%s) FROM pairs" % ours).fetchall(),
            "theirs": lambda: con.execute("SELECT sum(%s) FROM pairs" % theirs).fetchall(),
            "scores": lambda: scores(col_a, col_b, case_insensitive=ci, workers=2),
            "empty": lambda: con.execute(floor).fetchall(),
        }, repeats, clock=time.perf_counter)
        line("DuckDB", measure, best, "ours", "theirs")
        line("DuckDB empty function", measure, best, "empty", "theirs")
        line("DuckDB qm_ / scores", measure, best, "ours", "scores")


def bench_frames(a, b, repeats):
    import pandas as pd
    import polars as pl

    import quillmatch_many.pandas  # noqa: F401
    import quillmatch_many.polars  # noqa: F401

    df = pl.DataFrame({"a": a, "b": b})
    lazy = df.lazy()
    pdf = pd.DataFrame({"a": a, "b": b})
    print("polars %s, pandas %s (columns of dtype %s), %s pairs"
          % (pl.__version__, pd.__version__, pdf["a"].dtype, count(len(a))))
    for measure in ("levenshtein", "jaro_winkler", "damerau"):
        scores = SCORES[measure]
        want = np.asarray(scores(df["a"], df["b"]))
        if not np.array_equal(df.select(getattr(pl.col("a").qm, measure)(pl.col("b")))["a"].to_numpy(), want):
            fail("polars %s disagrees with the scores" % measure)
        if not np.array_equal(getattr(pdf["a"].qm, measure)(pdf["b"]).to_numpy(), want):
            fail("pandas %s disagrees with the scores" % measure)
        best = alternate({
            "polars": lambda: df.select(getattr(pl.col("a").qm, measure)(pl.col("b"))),
            "lazy": lambda: lazy.select(getattr(pl.col("a").qm, measure)(pl.col("b"))).collect(),
            "scores polars": lambda: scores(df["a"], df["b"]),
            "pandas": lambda: getattr(pdf["a"].qm, measure)(pdf["b"]),
            "scores pandas": lambda: scores(pdf["a"], pdf["b"]),
        }, repeats, clock=time.perf_counter)
        line("polars eager / scores", measure, best, "polars", "scores polars")
        line("polars lazy / scores", measure, best, "lazy", "scores polars")
        line("pandas / scores", measure, best, "pandas", "scores pandas")


# quillmatch's functions in the model's SQL, and what stands for each among DuckDB's own.
BUILT_IN = [(re.compile(r"qm_damerau_ci\(([^,()]+), ([^,()]+)\)"), r"damerau_levenshtein(lower(\1), lower(\2))"),
            (re.compile(r"qm_jaro_winkler_ci\(([^,()]+), ([^,()]+)\)"),
             r"jaro_winkler_similarity(lower(\1), lower(\2))")]


def bench_splink(people, repeats):
    import splink
    import splink_link
    from splink import Linker
    from splink.backends.duckdb import DuckDBAPI

    logging.getLogger("splink").setLevel(logging.ERROR)  # its warnings of untrained levels
    start = time.perf_counter()
    left, right, truth = splink_link.people(people, seed=29)
    print("splink %s: two files of %s people made in %.0f s" % (splink.__version__, count(people),
                                                               time.perf_counter() - start), flush=True)
    con = splink_link.connect()
    con.execute("SET threads = 2")
    trained = splink_link.train(left, right, "quillmatch", con)
    model = trained.misc.save_model_to_json()
    built_in = json.loads(json.dumps(model))
    for comparison in built_in["comparisons"]:
        for level in comparison["comparison_levels"]:
            for pattern, replacement in BUILT_IN:
                level["sql_condition"] = pattern.sub(replacement, level["sql_condition"])
            if "qm_" in level["sql_condition"]:
                fail("no DuckDB function stands for " + level["sql_condition"])
    # Both models read the same two tables (the trained linker's are its own).
    api = DuckDBAPI(connection=con)
    tables = [api.register(left, table_name="bench_left"), api.register(right, table_name="bench_right")]
    linkers = {"ours": Linker(tables, model, log_level=None), "theirs": Linker(tables, built_in, log_level=None)}
    found = {}
    for name, linker in linkers.items():
        frame = linker.inference.predict(threshold_match_probability=0.9).as_pandas_dataframe()
        found[name] = splink_link.links(frame, 0.9)
        precision, recall = splink_link.precision_recall(found[name], truth)
        print("  %-6s %s links at 0.9: precision %.4f, recall %.4f" % (name, count(len(found[name])),
                                                                        precision, recall), flush=True)
    best = alternate({name: (lambda linker=linker: linker.inference.predict(threshold_match_probability=0.9))
                      for name, linker in linkers.items()}, repeats, clock=time.perf_counter)
    line("splink predict", "model", best, "ours", "theirs")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rows", type=int, default=1_000_000)
    ap.add_argument("--people", type=int, default=100_000)
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--skip", default="", help="comma-separated: duckdb, frames, splink")
    args = ap.parse_args()
    skip = set(filter(None, args.skip.split(",")))
    print(load(), flush=True)
    if not {"duckdb", "frames"} <= skip:
        a, b = make_pairs(args.rows)
        if "duckdb" not in skip:
            bench_duckdb(pa.array(a, pa.string()), pa.array(b, pa.string()), args.repeats)
        if "frames" not in skip:
            bench_frames(a, b, args.repeats)
    if "splink" not in skip:
        bench_splink(args.people, args.repeats)
    judged = [r for r in results if r[3] is not None]
    print("\n%d of %d goals met; at the end, %s" % (sum(r[2] <= r[3] for r in judged), len(judged), load()))


if __name__ == "__main__":
    main()
