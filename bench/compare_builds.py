"""Two builds of quillmatch_many side by side in one process: before and after a change.

    python bench/compare_builds.py BEFORE_DIR AFTER_DIR [--repeats N] [--joins]

Each directory is the py/ folder of a build (holding quillmatch_many/_quillmatch_many.abi3.so,
or quillmatch_many.abi3.so from before the package), e.g. of two CMake build trees
(one of them configured from a `git worktree` of the older commit). Every case is timed with
both builds alternately, in mirrored rounds (before, after, after, before, ...), and the best
time of each kept. The columns: after/before of the best times; the median of the rounds' own
after/before ratios, each of two runs next to each other, which cancels the machine's drift;
and the interval around that median that holds the true median with about 95 % confidence (by
the ranks of the sorted ratios, free of any assumed distribution). Giving the same build twice
shows the noise: an A/A run. With --processes N the comparison runs in N fresh processes,
whose paired medians differ by more than one process's interval, and the median of theirs is
reported.
Columns come from pyarrow and polars when they are installed (bench/requirements.txt).
With --joins, the filtered joins and the index instead, on generated two-word names of two
kinds: full names (about 18 characters) and a list that mixes in many short ones (about 14),
where a change to the plans of short texts shows. With --core, the core module quillmatch
(quillmatch.abi3.so beside the package) on the calls bench/peers.py times against the peers:
a call per pair, short and long, and the batch of one query against a list.
"""

import argparse
import importlib.util
import math
import os
import random
import statistics
import subprocess
import sys
import time

from peers import alternate_rounds, call_loop, call_loop_folded, mutate, optional, pairs_of, words

QUERY = "kvarnstelj"
LATIN1_QUERY = "kv\u00e4rnst\u00e9lj"


def load(directory, core=False):
    """The extension of a build's py/ folder: the package's private part, or, built before
    quillmatch_many was a package, the module itself; with core, the core module."""
    name = "quillmatch" if core else "_quillmatch_many"
    path = os.path.join(directory, "quillmatch_many", name + ".abi3.so")
    if core or not os.path.exists(path):
        name = "quillmatch" if core else "quillmatch_many"
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
    # A quarter of the words carry a Latin-1 letter, as European names do; against them an
    # ASCII query, the same folded, and a query with Latin-1 letters of its own.
    accented = [t[:-1] + "\u00e9" if i % 4 == 1 else t for i, t in enumerate(short)]
    for measure in ("levenshtein", "jaro_winkler"):
        for query, fold, what in ((QUERY, False, "ASCII query"), (QUERY, True, "ASCII query folded"),
                                  (LATIN1_QUERY, False, "Latin-1 query"), (LATIN1_QUERY, True, "Latin-1 query folded")):
            out.append(("%s scores, %s x 1M list, a quarter beyond ASCII (CPU)" % (measure, what), cpu,
                        lambda m, f=measure + "_scores", q=query, c=fold: getattr(m, f)(q, accented, case_insensitive=c,
                                                                                         workers=1)))
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
        left, right = row_pairs(rnd, short[:500_000])
        for measure in ("levenshtein", "jaro_winkler"):
            out.append(("%s row by row, 2 pyarrow utf8 columns, 1 worker (CPU)" % measure, cpu,
                        lambda m, measure=measure: getattr(m, measure + "_scores")(left, right, workers=1)))
    if pl:
        series = pl.Series("w", short)
        out.append(("scores, polars utf8_view, 1 worker (CPU)", cpu,
                    lambda m: m.levenshtein_scores(QUERY, series, workers=1)))
    return out


def row_pairs(rnd, texts):
    """Two pyarrow columns of the candidate pairs of a blocking step: row i pairs texts[i] with
    a copy edited once to three times, or in every other row with another text; a quarter of
    the left texts carry a Latin-1 letter."""
    import pyarrow as pa
    left = [t[:-1] + "\u00e9" if i % 4 == 1 else t for i, t in enumerate(texts)]
    right = [mutate(rnd, t) if i % 2 == 0 else texts[rnd.randrange(len(texts))] for i, t in enumerate(left)]
    return pa.array(left), pa.array(right)


def core_cases(rnd):
    """(label, clock, call(core module)) for the calls bench/peers.py sets against the peers."""
    cpu = time.process_time
    pairs13 = pairs_of(words(rnd, 40_000, 13, 13))
    mixed13 = [(a.capitalize(), b.upper()) for a, b in pairs13]
    long_pairs = [(a, mutate(rnd, a)) for a in words(rnd, 200, 1000, 1000)]
    short = words(rnd, 1_000_000, 5, 20)
    big_query, big = words(rnd, 1, 1000, 1000)[0], words(rnd, 2_000, 1000, 1000)
    out = []
    for name in ("levenshtein_bp", "damerau_bp", "jaro_winkler_similarity"):
        out += [
            ("%s, 20 000 pairs of 13 letters, per call" % name, cpu,
             lambda m, name=name: call_loop(getattr(m, name), pairs13)),
            ("%s, 200 pairs of 1 000 letters, per call" % name, cpu,
             lambda m, name=name: call_loop(getattr(m, name), long_pairs)),
        ]
    out.append(("levenshtein_bp case_insensitive, 20 000 mixed-case pairs", cpu,
                lambda m: call_loop_folded(m.levenshtein_bp, mixed13)))
    for name in ("levenshtein_batch", "damerau_batch", "jaro_winkler_batch"):
        out.append(("%s, query against 1M short words" % name, cpu,
                    lambda m, name=name: getattr(m, name)(QUERY, short)))
    out.append(("levenshtein_batch, 1 000-letter query against 2 000 such", cpu,
                lambda m: m.levenshtein_batch(big_query, big)))
    return out


def two_word_names(rnd, n, shortest_word):
    """n names of two words of shortest_word to 5 syllables, a third followed by a copy with
    one letter changed."""
    syllables = ["an", "ber", "ca", "dor", "el", "fi", "gar", "ho", "is", "jo", "ka", "lu", "ma",
                 "ne", "os", "pe", "qui", "ro", "sa", "te", "ul", "vi", "wen", "xa", "yo", "ze",
                 "\u00e9", "\u00fc"]

    def word():
        return "".join(rnd.choice(syllables) for _ in range(rnd.randint(shortest_word, 5))).capitalize()

    out = []
    while len(out) < n:
        name = word() + " " + word()
        out.append(name)
        if rnd.random() < 0.3:
            k = rnd.randrange(len(name))
            out.append(name[:k] + rnd.choice("abcdefghij") + name[k + 1:])
    return out[:n]


def join_cases(rnd):
    """(label, clock, call(module)) for the joins and the index, one worker."""
    cpu = time.process_time
    out = []
    indexes = {}

    def index_top(names, measure, queries):
        def call(m):
            key = (id(m), id(names), measure)
            if key not in indexes:
                indexes[key] = m.Index(names, measure, 2)
            for q in queries:
                indexes[key].top([q], 5, workers=1)
        return call

    for kind, shortest_word in (("full names", 3), ("names and short ones", 2)):
        names = two_word_names(rnd, 200_000, shortest_word)
        queries = [n[:-1] + "x" for n in rnd.sample(names, 300)]
        out += [
            ("levenshtein_pairs d=2, %s" % kind, cpu,
             lambda m, names=names: m.levenshtein_pairs(names, score_cutoff=2, workers=1)),
            ("damerau_pairs d=2, %s" % kind, cpu,
             lambda m, names=names: m.damerau_pairs(names, score_cutoff=2, workers=1)),
            ("levenshtein_pairs d=1, %s" % kind, cpu,
             lambda m, names=names: m.levenshtein_pairs(names, score_cutoff=1, workers=1)),
            ("Index levenshtein 2, top 5 of 300 queries, %s" % kind, cpu,
             index_top(names, "levenshtein", queries)),
            ("Index damerau 2, top 5 of 300 queries, %s" % kind, cpu, index_top(names, "damerau", queries)),
        ]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--repeats", type=int, default=9)
    which = parser.add_mutually_exclusive_group()
    which.add_argument("--joins", action="store_true", help="the joins and the index instead")
    which.add_argument("--core", action="store_true", help="the core module's calls instead")
    parser.add_argument("--only", metavar="TEXT", help="the cases whose label contains TEXT")
    parser.add_argument("--processes", type=int, default=1,
                        help="run the comparison in this many fresh processes and report the median "
                             "of their paired medians")
    args = parser.parse_args()
    if args.processes > 1:
        return across_processes(args)
    builds = {"before": load(args.before, args.core), "after": load(args.after, args.core)}
    # A build older than the choice at import has no simd: the AVX2 engines.
    print("Python %s, %d alternated repetitions; back ends: before %s, after %s" % (
        sys.version.split()[0], args.repeats, getattr(builds["before"], "simd", "avx2"),
        getattr(builds["after"], "simd", "avx2")))
    print("%-64s %11s %11s %8s %8s  %s" % ("", "before", "after", "best", "paired", "95 % interval"))
    for label, clock, call in (join_cases if args.joins else core_cases if args.core else cases)(random.Random(20240602)):
        if args.only and args.only not in label:
            continue
        t = alternate_rounds({name: (lambda m=m: call(m)) for name, m in builds.items()}, args.repeats, clock,
                             mirrored=True)
        best = {name: min(times) for name, times in t.items()}
        ratios = sorted(a / b for a, b in zip(t["after"], t["before"]))
        lo, hi = median_interval(len(ratios))
        print("%-64s %8.2f ms %8.2f ms %8.2f %8.3f  [%.3f, %.3f]" % (
            label, best["before"] * 1e3, best["after"] * 1e3, best["after"] / best["before"],
            statistics.median(ratios), ratios[lo], ratios[hi]), flush=True)


def across_processes(args):
    """The comparison run in args.processes fresh processes, one after another. Where the two
    builds' code and the data land in memory is fixed for a process and moves a case's paired
    median by a few percent from one process to the next, more than its interval within one
    process shows; the median over processes is the steadier figure."""
    command = [sys.executable, os.path.abspath(__file__), args.before, args.after, "--repeats", str(args.repeats)]
    command += ["--joins"] if args.joins else ["--core"] if args.core else []
    command += ["--only", args.only] if args.only else []
    medians = {}
    for k in range(args.processes):
        lines = subprocess.run(command, check=True, capture_output=True, text=True).stdout.splitlines()
        if k == 0:
            print(lines[0] + ", %d processes" % args.processes)
            print("%-64s %8s  %s" % ("", "median", "paired medians of the processes"))
        for line in lines[2:]:
            medians.setdefault(line[:64].rstrip(), []).append(float(line[64:].split()[5]))
    for label, values in medians.items():
        print("%-64s %8.3f  %s" % (label, statistics.median(values), " ".join("%.3f" % v for v in values)))


def median_interval(n):
    """Ranks (0-based) of the sorted sample that bound its population's median with about 95 %
    confidence: the binomial(n, 1/2) order statistics n/2 -/+ 1.96 sqrt(n)/2, clamped."""
    half = 0.98 * math.sqrt(n)
    return max(0, int(math.floor(n / 2 - half))), min(n - 1, int(math.ceil(n / 2 + half)) - 1)


if __name__ == "__main__":
    main()
