"""Two builds of quillmatch_many side by side in one process: before and after a change.

    python bench/compare_builds.py BEFORE_DIR AFTER_DIR [--repeats N]

Each directory is the py/ folder of a build (holding quillmatch_many/_quillmatch_many.abi3.so,
or quillmatch_many.abi3.so from before the package), e.g. of two CMake build trees
(one of them configured from a `git worktree` of the older commit). Every case is timed with
both builds alternately and the best time of each kept; the last column is after/before.
Columns come from pyarrow and polars when they are installed (bench/requirements.txt).
"""

import argparse
import importlib.util
import os
import random
import sys
import time

from peers import alternate, optional, words

QUERY = "kvarnstelj"


def load(directory):
    """The extension of a build's py/ folder: the package's private part, or, built before
    quillmatch_many was a package, the module itself."""
    name = "_quillmatch_many"
    path = os.path.join(directory, "quillmatch_many", name + ".abi3.so")
    if not os.path.exists(path):
        name = "quillmatch_many"
        path = os.path.join(directory, name + ".abi3.so")
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def cases(rnd):
    """(label, clock, call(module)) for the paths a change to the engines or readers moves."""
    short = words(rnd, 1_000_000, 5, 20)
    queries, candidates = words(rnd, 200, 5, 20), words(rnd, 10_000, 5, 20)
    cpu, wall = time.process_time, time.perf_counter
    out = [
        ("scores, list of str, 1 worker (CPU)", cpu,
         lambda m: m.levenshtein_scores(QUERY, short, workers=1)),
        ("levenshtein matrix 200 x 10 000 lists, 1 worker (CPU)", cpu,
         lambda m: m.levenshtein_matrix(queries, candidates, workers=1)),
        ("damerau matrix 200 x 10 000 lists, 1 worker (CPU)", cpu,
         lambda m: m.damerau_matrix(queries, candidates, workers=1)),
        ("jaro_winkler matrix 200 x 10 000 lists, 1 worker (CPU)", cpu,
         lambda m: m.jaro_winkler_matrix(queries, candidates, workers=1)),
        ("top k=10, 1 query x 1M list, 1 worker (CPU)", cpu,
         lambda m: m.levenshtein_top([QUERY], short, 10, workers=1)),
    ]
    pa, pl = optional("pyarrow"), optional("polars")
    if pa:
        column = pa.array(short)
        names = words(rnd, 1000, 5, 20)
        coded = pa.array([names[rnd.randrange(1000)] for _ in range(len(short))]).dictionary_encode()
        out += [
            ("scores, pyarrow utf8, 1 worker (CPU)", cpu,
             lambda m: m.levenshtein_scores(QUERY, column, workers=1)),
            ("scores, pyarrow utf8, 2 workers (wall)", wall,
             lambda m: m.levenshtein_scores(QUERY, column, workers=2)),
            ("scores, pyarrow dictionary, 1 worker (CPU)", cpu,
             lambda m: m.levenshtein_scores(QUERY, coded, workers=1)),
            ("top k=10, 20 queries x pyarrow dictionary, 1 worker (CPU)", cpu,
             lambda m: m.levenshtein_top(queries[:20], coded, 10, workers=1)),
            ("pairs within 3, 20 queries x pyarrow dictionary, 1 worker (CPU)", cpu,
             lambda m: m.levenshtein_pairs(queries[:20], coded, score_cutoff=3, workers=1)),
        ]
    if pl:
        series = pl.Series("w", short)
        out.append(("scores, polars utf8_view, 1 worker (CPU)", cpu,
                    lambda m: m.levenshtein_scores(QUERY, series, workers=1)))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--repeats", type=int, default=9)
    args = parser.parse_args()
    builds = {"before": load(args.before), "after": load(args.after)}
    # A build older than the choice at import has no simd: the AVX2 engines.
    print("Python %s, best of %d alternated repetitions; back ends: before %s, after %s" % (
        sys.version.split()[0], args.repeats, getattr(builds["before"], "simd", "avx2"),
        getattr(builds["after"], "simd", "avx2")))
    print("%-64s %11s %11s %8s" % ("", "before", "after", "ratio"))
    for label, clock, call in cases(random.Random(20240602)):
        t = alternate({name: (lambda m=m: call(m)) for name, m in builds.items()}, args.repeats, clock)
        print("%-64s %8.2f ms %8.2f ms %8.2f" % (label, t["before"] * 1e3, t["after"] * 1e3,
                                                  t["after"] / t["before"]), flush=True)


if __name__ == "__main__":
    main()
