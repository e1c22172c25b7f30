"""quillmatch_many over Arrow columns in one run: ratios side by side, each timed alternately
with its yardstick.

    bench/run_peers.sh sets up build/bench-venv-* (pyarrow, polars, pandas and DuckDB come
    from bench/requirements.txt); then, in it:
    python bench/bench_arrow.py [--quick]

  1. levenshtein_scores of one query against a pyarrow utf8 array of a million short words,
     with the default workers (every core) against list(map(len, words)) and
     quillmatch.levenshtein_batch on the list of the same words, wall time; and with one
     worker, CPU time, which is what the engines and the reading cost.
  2. The same over a polars Series (utf8_view) and a pandas 3 `str` Series (large_utf8),
     against the pyarrow array; CPU time. A DuckDB relation over a table (which scans it on
     each use) is printed beside them.
  3. Two threads, each scoring its own million-word Arrow column with one worker, against
     one thread scoring both; wall time. The same for hashing, which shows what a second
     thread gains on this machine at all.
  4. A dictionary column (a pyarrow dictionary array, a polars Categorical) of a million rows
     over 1 000 distinct names against the plain column of the same rows; CPU time, what
     polars' own export of the Categorical costs, and the Categorical handed over without it
     (its codes and categories as a pyarrow dictionary array).
  5. levenshtein_matrix and levenshtein_top over Arrow inputs against the same calls over
     lists, one worker; CPU time.
Best of the repetitions (three times as many for wall time); a busy machine moves the ratios by
tens of percent.
"""

import argparse
import hashlib
import random
import sys
import threading
import time

import quillmatch as qm
import quillmatch_many as qmm

from peers import alternate, load, optional, words

SEED = 20240602
QUERY = "kvarnstelj"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller data, fewer repetitions")
    args = parser.parse_args()
    quick = args.quick
    repeats = 2 if quick else 7
    # Wall time takes more: the second core of a shared machine comes and goes.
    wall_repeats = 3 * repeats
    n_words, n_queries, n_cands = (100_000, 50, 2_000) if quick else (1_000_000, 200, 10_000)
    pa = optional("pyarrow")
    if not pa:
        sys.exit("bench_arrow.py needs pyarrow (bench/requirements.txt)")
    pl, pd, duckdb = optional("polars"), optional("pandas"), optional("duckdb")
    print("Python %s, quillmatch_many over Arrow columns, %s run, best of %d alternated "
          "repetitions (%d for wall time); %s" % (sys.version.split()[0], "quick" if quick else "full",
                                                   repeats, wall_repeats, load()))
    rnd = random.Random(SEED)
    short = words(rnd, n_words, 5, 20)
    column = pa.array(short)
    rows = []

    def add(what, value, op, goal):
        met = value <= goal if op == "<=" else value >= goal
        rows.append(met)
        print("  %-84s %6.2f  (goal %s %g)%s" % (what, value, op, goal, "" if met else "  NOT MET"),
              flush=True)

    expected = qmm.levenshtein_scores(QUERY, short)
    assert (qmm.levenshtein_scores(QUERY, column) == expected).all()

    def scores(col):
        return lambda: qmm.levenshtein_scores(QUERY, col, workers=1)

    yardsticks = {"len": lambda: list(map(len, short)),
                  "batch": lambda: qm.levenshtein_batch(QUERY, short)}
    t = alternate({"arrow": lambda: qmm.levenshtein_scores(QUERY, column), **yardsticks},
                  wall_repeats, time.perf_counter)
    add("levenshtein_scores, pyarrow utf8 of %d words / list(map(len, words)) (wall)" % n_words,
        t["arrow"] / t["len"], "<=", 0.5)
    add("levenshtein_scores, pyarrow utf8 / levenshtein_batch on the list (wall)",
        t["arrow"] / t["batch"], "<=", 0.3)
    t = alternate({"arrow": scores(column), **yardsticks}, repeats)
    print("    one worker, CPU: %.1f ns a word from Arrow (%.2f of list(map(len)), %.2f of "
          "levenshtein_batch at %.1f ns)" % (t["arrow"] / n_words * 1e9, t["arrow"] / t["len"],
                                              t["arrow"] / t["batch"], t["batch"] / n_words * 1e9))

    producers = {}
    if pl:
        producers["polars Series (utf8_view)"] = pl.Series("w", short)
    if pd:
        series = pd.Series(short, dtype="str")
        if hasattr(series, "__arrow_c_stream__"):
            producers["pandas str Series (large_utf8)"] = series
    for label, col in producers.items():
        assert (qmm.levenshtein_scores(QUERY, col) == expected).all(), label
        t = alternate({"col": scores(col), "arrow": scores(column)}, repeats)
        add("levenshtein_scores, %s / pyarrow utf8 (CPU)" % label, t["col"] / t["arrow"], "<=", 1.2)
    if duckdb:
        # A relation over a table: each use scans it, in large_utf8 batches.
        con = duckdb.connect()
        con.execute("create table words as select unnest($1) as w", [short])
        relation = con.sql("select w from words")
        assert (qmm.levenshtein_scores(QUERY, relation) == expected).all()
        t = alternate({"duck": lambda: qmm.levenshtein_scores(QUERY, relation, workers=1),
                       "arrow": scores(column)}, repeats)
        print("  levenshtein_scores, DuckDB relation over a table (its scan run inside) "
              "/ pyarrow utf8 (CPU): %.2f" % (t["duck"] / t["arrow"]))

    other = pa.array(words(rnd, n_words, 5, 20))

    def both_in_one():
        scores(column)()
        scores(other)()

    def both_in_two():
        threads = [threading.Thread(target=scores(c)) for c in (column, other)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    # What two threads gain on this machine at all: hashing, which releases the lock and
    # touches no shared state, in the same shape.
    block = bytes(rnd.getrandbits(8) for _ in range(1 << 16)) * 128

    def hash_in_one():
        hashlib.sha256(block).digest()
        hashlib.sha256(block).digest()

    def hash_in_two():
        threads = [threading.Thread(target=lambda: hashlib.sha256(block).digest()) for _ in range(2)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()

    t = alternate({"one": both_in_one, "two": both_in_two, "hash one": hash_in_one,
                   "hash two": hash_in_two}, wall_repeats, time.perf_counter)
    add("two columns of %d words: one thread scoring both / two threads, one each (wall)" % n_words,
        t["one"] / t["two"], ">=", 1.8)
    print("    the same for sha256 of 8 MiB, this machine's own gain from a second thread: %.2f"
          % (t["hash one"] / t["hash two"]))

    names = words(rnd, 1000, 5, 20)
    repeated = [names[rnd.randrange(1000)] for _ in range(n_words)]
    plain = pa.array(repeated)
    want = qmm.levenshtein_scores(QUERY, repeated)
    coded = {"pyarrow dictionary<int32, string>": plain.dictionary_encode()}
    if pl:
        coded["polars Categorical"] = pl.Series("w", repeated, dtype=pl.Categorical)
    for label, col in coded.items():
        assert (qmm.levenshtein_scores(QUERY, col) == want).all(), label
        t = alternate({"cat": scores(col), "plain": scores(plain)}, repeats)
        add("levenshtein_scores, %s of %d rows over 1 000 names / the plain column (CPU)"
            % (label, n_words), t["cat"] / t["plain"], "<=", 0.1)
    if pl:
        # What polars' own export of the Categorical costs, the stream drained by pyarrow.
        frame = pl.DataFrame({"w": coded["polars Categorical"]})
        t = alternate({"export": lambda: pa.RecordBatchReader.from_stream(frame).read_all(),
                       "plain": scores(plain)}, repeats)
        print("    polars' export of the Categorical alone / the plain column (CPU): %.2f"
              % (t["export"] / t["plain"]))
        # The README's way round that export: the Categorical's codes and categories handed
        # over as a pyarrow dictionary array (the module checks every code itself).
        cat = coded["polars Categorical"]

        def codes_and_categories():
            return pa.DictionaryArray.from_arrays(cat.to_physical().to_arrow(),
                                                  cat.dtype.categories.to_series().to_arrow(),
                                                  safe=False)

        assert (qmm.levenshtein_scores(QUERY, codes_and_categories()) == want).all()
        t = alternate({"cat": lambda: scores(codes_and_categories())(), "plain": scores(plain)},
                      repeats)
        print("    the Categorical as its codes and categories in a pyarrow dictionary array, "
              "made in the call / the plain column (CPU): %.2f" % (t["cat"] / t["plain"]))

    queries, cands = words(rnd, n_queries, 5, 20), words(rnd, n_cands, 5, 20)
    qa, ca = pa.array(queries), pa.array(cands)
    t = alternate({"arrow": lambda: qmm.levenshtein_matrix(qa, ca, workers=1),
                   "list": lambda: qmm.levenshtein_matrix(queries, cands, workers=1)}, repeats)
    add("levenshtein_matrix %d x %d, Arrow / lists (CPU)" % (n_queries, n_cands),
        t["arrow"] / t["list"], "<=", 0.9)
    t = alternate({"arrow": lambda: qmm.levenshtein_top([QUERY], column, 10, workers=1),
                   "list": lambda: qmm.levenshtein_top([QUERY], short, 10, workers=1)}, repeats)
    add("levenshtein_top k=10, 1 query x %d words, Arrow / list (CPU)" % n_words,
        t["arrow"] / t["list"], "<=", 0.9)
    print("\n%d of %d goals met; at the end, %s" % (sum(rows), len(rows), load()))


if __name__ == "__main__":
    main()
