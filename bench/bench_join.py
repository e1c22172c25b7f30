"""Similarity joins and the search index of quillmatch_many, on names and on English words.

    python bench/bench_join.py [--quick] [--sizes 100000,1000000] [--json FILE]

Run it with an interpreter that imports quillmatch_many and numpy (the build's, or
build/bench-venv-* made by bench/run_peers.sh). The names are made by Faker
(bench/join_data.py) in an environment of their own, build/join-venv, which this script
creates on first use, and cached under build/join-data/: a million take a few minutes to
make. Four locales, seeded, mean length about 17 characters; a fifth of them are copies
of an earlier name with one typo (substitution, insertion or deletion, adjacent swap).
The words are Debian's wamerican list (installed with apt-get when missing and this runs
as root; skipped otherwise). Queries: 10 000 texts drawn from the list, a fifth with a typo.

Per data set and size:
  1. damerau_pairs cutoff 2, levenshtein_pairs cutoff 1, jaro_winkler_pairs cutoff 0.95,
     levenshtein_pairs normalized cutoff 0.9, damerau_pairs normalized cutoff 0.85,
     self-join: time and pairs found; the module's own plan ("auto") in a fresh
     interpreter, which also reports the peak memory the join added beyond the texts and
     the arrays it returned. Where the cross product is affordable (--cross-max texts),
     also each plan forced, "filtered" and "cross", in this process.
     Then damerau_clusters cutoff 2 the same way, against the damerau_pairs call: the
     ratio of their times and of their peaks (each call's peak beyond the texts, its
     result included); its labels are compared with clusters() over the pairs.
  2. levenshtein_top, k=5, cutoff 2: one query per call (median and p90 latency over a
     sample of queries), and all queries in one call.
  3. levenshtein_pairs cutoff 10 on the first 20 000 names, where no filter helps: the
     module's plan against the forced cross product, timed alternately.
  4. Index (measure levenshtein and damerau at cutoff 2, jaro_winkler at 0.95, damerau
     normalized at 0.85): build
     time; top(k=5) latency of one query, one worker, over every query; pairs of all the
     queries; and, for the largest names, bytes per indexed text at cutoff 1, 2 and 3,
     each measured in a fresh interpreter.
  5. With --short (or --short-only): short texts, the English words and a million distinct
     Faker surnames (bench/join_data.py surnames, repeats dropped: mean length 7.5, 28 %
     beyond ASCII):
     Index levenshtein cutoff 2 build time, bytes a text (fresh interpreter) and top(k=5)
     median latency of one query, one worker; the same for Index damerau cutoff 3;
     levenshtein_pairs cutoff 1 on all the texts; and damerau_pairs cutoff 2 on the first
     200 000 surnames as the list gives them, repeats and all (12.8 million pairs), time and
     ns a pair found. On the words,
     also Index damerau cutoff 2 top(k=1) beside symspellpy's lookup (bench/requirements.txt)
     of the closest words within distance 2, 2 000 queries with one typo. With --before DIR
     (the py/ folder of another build, as bench/compare_builds.py takes), each line runs with
     both builds, one after the other, their results compared, and the ratio is this build's
     time over the other's.
Plans are forced through quillmatch_many._with_plan(plan, function, *args, **kwargs);
without it every function runs as the module chooses, and the table says so. Whatever ran
under two plans is compared (outside the timing) to the bit: the same arrays, the same
dtypes. So are Index results with the module functions' on a sample of queries. A
disagreement is printed at once and makes the run exit with status 1.

Wall time (time.perf_counter; the joins use every core), best of --repeats runs for a job
whose first run took under 5 s, one run otherwise. Goals are judged at the sizes they name
(100 000 and 1 000 000 names); at other sizes their rows say "-".
"""

import argparse
import gc
import json
import os
import random
import re
import statistics
import subprocess
import sys
import time

import numpy as np
import quillmatch_many as qmm

from bench_batch import table
from compare_builds import load as load_build
from join_data import typo
from peers import alternate, count, load, optional

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DATA_DIR = os.path.join(ROOT, "build", "join-data")
DATA_VENV = os.path.join(ROOT, "build", "join-venv")
WORDS = "/usr/share/dict/words"  # Debian's wamerican
SEED = 20240601
REPEAT_BELOW = 5.0  # seconds: a job whose first run takes longer runs once
TOP_K = 5
QUERY_TYPO_SHARE = 0.2

# (function or measure, cutoff, normalized)
PAIRS_JOBS = [("damerau_pairs", 2, False), ("levenshtein_pairs", 1, False), ("jaro_winkler_pairs", 0.95, False),
              ("levenshtein_pairs", 0.9, True), ("damerau_pairs", 0.85, True)]
# Each against the pairs job of the same measure and cutoff.
CLUSTERS_JOBS = [("damerau_clusters", "damerau_pairs", 2)]
INDEX_JOBS = [("levenshtein", 2, False), ("damerau", 2, False), ("jaro_winkler", 0.95, False),
              ("damerau", 0.85, True)]
INDEX_MEMORY = [("levenshtein", 1), ("levenshtein", 2), ("levenshtein", 3),
                ("damerau", 1), ("damerau", 2), ("damerau", 3)]
TOP_FN = {"levenshtein": "levenshtein_top", "damerau": "damerau_top", "jaro_winkler": "jaro_winkler_top"}
PAIRS_FN = {"levenshtein": "levenshtein_pairs", "damerau": "damerau_pairs",
            "jaro_winkler": "jaro_winkler_pairs"}

# The goals: (job, names) -> (what is judged, op, target, unit). Judged on names only.
GOALS = {
    ("damerau_pairs", 100_000): ("seconds", "<=", 0.3, "s"),
    ("levenshtein_pairs", 100_000): ("seconds", "<=", 0.2, "s"),
    ("jaro_winkler_pairs", 100_000): ("seconds", "<=", 2.0, "s"),
    ("levenshtein_pairs", 1_000_000): ("seconds", "<=", 3.0, "s"),
    ("damerau_pairs", 1_000_000): ("seconds", "<=", 15.0, "s"),
    ("jaro_winkler_pairs", 1_000_000): ("seconds", "<=", 60.0, "s"),
    ("pairs memory", 1_000_000): ("mem_mb", "<=", 300.0, "MB"),
    ("Index levenshtein 2 build", 1_000_000): ("seconds", "<=", 3.0, "s"),
    ("Index damerau 2 build", 1_000_000): ("seconds", "<=", 3.0, "s"),
    ("Index levenshtein 2 top", 1_000_000): ("median_us", "<=", 30.0, "us median"),
    ("Index damerau 2 top", 1_000_000): ("median_us", "<=", 50.0, "us median"),
    ("Index levenshtein 2 pairs", 1_000_000): ("seconds", "<=", 0.5, "s"),
    ("Index damerau 2 pairs", 1_000_000): ("seconds", "<=", 0.5, "s"),
    ("cutoff 10 auto / cross", 20_000): ("ratio", "<=", 1.10, "x"),
    ("clusters / pairs", 1_000_000): ("ratio", "<=", 1.10, "x"),
    ("clusters / pairs memory", 1_000_000): ("ratio", "<=", 1.0, "x"),
    ("levenshtein_pairs normalized", 1_000_000): ("seconds", "<=", 6.0, "s"),
    ("damerau_pairs normalized", 1_000_000): ("seconds", "<=", 20.0, "s"),
    ("Index damerau 0.85 normalized top", 1_000_000): ("median_us", "<=", 60.0, "us median"),
}


def normalized_kw(normalized):
    """The keyword of a normalized job; none otherwise, so that builds without it still run
    the other jobs."""
    return {"normalized": True} if normalized else {}


def job_label(name, cutoff, normalized):
    return "%s %g%s" % (name, cutoff, " normalized" if normalized else "")


# ---------------------------------------------------------------- data

def make_names(n, kind="names"):
    """Runs bench/join_data.py in build/join-venv (made here, with Faker) to write n names
    (kind "names") or surnames (kind "surnames")."""
    python = os.path.join(DATA_VENV, "bin", "python")
    if not os.path.exists(python):
        print("making %s with Faker for the names (once)" % os.path.relpath(DATA_VENV, ROOT), flush=True)
        subprocess.run([sys.executable, "-m", "venv", DATA_VENV], check=True)
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "-r", os.path.join(HERE, "requirements-join.txt")], check=True)
    path = os.path.join(DATA_DIR, "%s-seed%d-%d.txt" % (kind, SEED, n))
    print("making %s %s with Faker into %s (minutes for a million)"
          % (count(n), kind, os.path.relpath(path, ROOT)), flush=True)
    start = time.perf_counter()
    subprocess.run([python, os.path.join(HERE, "join_data.py"), str(n), str(SEED), path, kind], check=True)
    print("  made in %.0f s" % (time.perf_counter() - start), flush=True)
    return path


def names(n, kind="names"):
    """The first n names (or surnames) of the shortest cached list that has n (the lists
    share prefixes)."""
    os.makedirs(DATA_DIR, exist_ok=True)
    sizes = []
    for f in os.listdir(DATA_DIR):
        m = re.fullmatch(kind + r"-seed(\d+)-(\d+)\.txt", f)
        if m and int(m.group(1)) == SEED and int(m.group(2)) >= n:
            sizes.append(int(m.group(2)))
    path = (os.path.join(DATA_DIR, "%s-seed%d-%d.txt" % (kind, SEED, min(sizes))) if sizes
            else make_names(n, kind))
    with open(path, encoding="utf-8", newline="") as f:
        out = f.read().split("\n")[:n]  # not splitlines(): a name may hold U+2028 and the like
    assert len(out) == n and out[-1], path
    return out


def word_list():
    """The wamerican words of ASCII letters only (no apostrophes: 74 585 words in Debian 12's
    list), or None (with a note) when they are not there and cannot be had."""
    if not os.path.exists(WORDS) and hasattr(os, "geteuid") and os.geteuid() == 0:
        print("installing Debian's wamerican for %s" % WORDS, flush=True)
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        for cmd in (["apt-get", "update", "-qq"], ["apt-get", "install", "-y", "-qq", "wamerican"]):
            if subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL).returncode:
                break
    if not os.path.exists(WORDS):
        print("note: %s is missing (Debian's wamerican); the word list is skipped" % WORDS)
        return None
    with open(WORDS, encoding="utf-8") as f:
        return [w for w in f.read().split("\n") if w and w.isascii() and w.isalpha()]


def distinct_surnames(n):
    """The first n distinct surnames: the surname list repeats its 9 000 names (a third of
    its texts have no typo), and about two of its texts give one distinct text at a million."""
    size = n
    while True:
        texts = list(dict.fromkeys(names(size, "surnames")))
        if len(texts) >= n:
            return texts[:n]
        size = int(size * 1.1 * n / len(texts)) + 1000


def dataset(label, n):
    if label in ("names", "surnames"):
        return names(n, label)
    if label == "distinct surnames":
        return distinct_surnames(n)
    words = word_list()
    if n < len(words):  # a seeded sample, in the list's order
        words = [words[i] for i in sorted(random.Random(SEED).sample(range(len(words)), n))]
    return words


def make_queries(texts, n):
    rnd = random.Random(SEED + 1)
    return [typo(rnd, t) if rnd.random() < QUERY_TYPO_SHARE else t for t in rnd.choices(texts, k=n)]


# ---------------------------------------------------------------- measuring

def status_bytes(key):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) << 10 for line in f if line.startswith(key + ":"))


def reset_peak():
    """Starts VmHWM afresh at the current resident size, so that the peak after a call is
    the call's own, not that of loading its input. False where Linux does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def child(task):
    """One measurement in a fresh interpreter; prints one JSON line."""
    module = load_build(task["module"]) if task.get("module") else qmm
    texts = dataset(task["data"], task["n"])
    gc.collect()
    clean = reset_peak()
    base = status_bytes("VmRSS")
    out = {"clean_peak": clean}
    if task["kind"] in ("pairs", "clusters"):
        fn = getattr(qmm, task["job"])
        best = float("inf")
        for rep in range(task["repeats"]):
            start = time.perf_counter()
            result = fn(texts, score_cutoff=task["cutoff"], **normalized_kw(task.get("normalized")))
            seconds = time.perf_counter() - start
            if rep == 0:
                arrays = result if task["kind"] == "pairs" else (result,)
                nbytes = sum(a.nbytes for a in arrays)
                out.update(pairs=len(arrays[0]) if task["kind"] == "pairs" else len(np.unique(result)),
                           result_bytes=nbytes, added=status_bytes("VmHWM") - base - nbytes)
            best = min(best, seconds)
            del result
            if seconds > REPEAT_BELOW:
                break
        out["seconds"] = best
    else:
        start = time.perf_counter()
        index = module.Index(texts, task["measure"], task["cutoff"], **normalized_kw(task.get("normalized")))
        out["seconds"] = time.perf_counter() - start
        out.update(held=status_bytes("VmRSS") - base, peak=status_bytes("VmHWM") - base, size=len(index))
    print(json.dumps(out))


def in_child(task):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
                         env=env, check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def same(a, b):
    """Bit for bit: every array equal, with the same dtype and shape."""
    return len(a) == len(b) and all(x.dtype == y.dtype and x.shape == y.shape and np.array_equal(x, y)
                                    for x, y in zip(a, b))


LINE = "%-17s %9s  %-50s %-8s %8s %11s %17s %7s %6s  %-13s %-4s  %s"
HEADER = LINE % ("data", "N", "job", "plan", "seconds", "pairs", "us/query med/p90", "MB", "ratio",
                 "goal", "", "note")


def fmt(value, pattern="%.3f"):
    return "" if value is None else pattern % value


class Run:
    def __init__(self, args):
        self.repeats = args.repeats
        self.cross_max = 0 if args.no_cross else args.cross_max
        self.force = getattr(qmm, "_with_plan", None)
        self.rows = []
        self.goals = []
        self.disagreements = []
        self.measured = {}  # (data, n, job, cutoff) -> what the fresh interpreter reported

    # ---- calling and timing

    def call(self, plan, fn, *args, **kwargs):
        return fn(*args, **kwargs) if plan == "auto" else self.force(plan, fn, *args, **kwargs)

    def timed(self, plan, fn, *args, **kwargs):
        """(best seconds, the first run's result)."""
        best, first = float("inf"), None
        for rep in range(self.repeats):
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter()
                result = self.call(plan, fn, *args, **kwargs)
                seconds = time.perf_counter() - start
            finally:
                gc.enable()
            best = min(best, seconds)
            if rep == 0:
                first = result
            del result
            if seconds > REPEAT_BELOW:
                break
        return best, first

    def latencies(self, fn, calls):
        """Median and p90 of fn(*args) over calls, in microseconds."""
        times = []
        gc.collect()
        gc.disable()
        try:
            for args in calls:
                start = time.perf_counter()
                fn(*args)
                times.append(time.perf_counter() - start)
        finally:
            gc.enable()
        times.sort()
        return statistics.median(times) * 1e6, times[int(0.9 * (len(times) - 1))] * 1e6

    def plans(self, n):
        """The plans forced beside "auto" for n texts."""
        return ["filtered", "cross"] if self.force and n <= self.cross_max else []

    def check(self, what, results):
        """results: plan -> arrays; all must agree to the bit."""
        names = list(results)
        for other in names[1:]:
            if not same(results[names[0]], results[other]):
                msg = "DISAGREE: %s: %s and %s differ" % (what, names[0], other)
                print("  " + msg, flush=True)
                self.disagreements.append(msg)

    # ---- reporting

    def row(self, data, job, n, plan, seconds=None, pairs=None, median_us=None, p90_us=None,
            mem_mb=None, ratio=None, goal_key=None, note=""):
        r = dict(data=data, job=job, n=n, plan=plan, seconds=seconds, pairs=pairs, median_us=median_us,
                 p90_us=p90_us, mem_mb=mem_mb, ratio=ratio, goal="", verdict="", note=note)
        goal = GOALS.get((goal_key, n)) if data == "names" and goal_key else None
        if goal_key and any(k == goal_key for k, _ in GOALS) and data == "names":
            if goal:
                key, op, target, unit = goal
                value = r["goal_value"] = r[key]
                met = value <= target if op == "<=" else value >= target
                r["goal"] = "%s %g %s" % (op, target, unit)
                r["verdict"] = "PASS" if met else "FAIL"
                self.goals.append(r)
            else:
                r["verdict"] = "-"
        self.rows.append(r)
        print(self.line(r), flush=True)

    @staticmethod
    def line(r):
        return LINE % (r["data"], count(r["n"]), r["job"], r["plan"], fmt(r["seconds"]),
                       "" if r["pairs"] is None else count(r["pairs"]),
                       fmt(r["median_us"], "%.1f") + ("" if r["p90_us"] is None else " / %.1f" % r["p90_us"]),
                       fmt(r["mem_mb"], "%.1f"), fmt(r["ratio"], "%.3f"), r["goal"], r["verdict"], r["note"])

    # ---- jobs

    def pairs_jobs(self, data, texts):
        n = len(texts)
        for job, cutoff, normalized in PAIRS_JOBS:
            fn = getattr(qmm, job)
            kw = dict(score_cutoff=cutoff, **normalized_kw(normalized))
            what = "%s, cutoff %g%s" % (job, cutoff, ", normalized" if normalized else "")
            r = self.measured[data, n, job, cutoff] = in_child(dict(
                kind="pairs", data=data, n=n, job=job, cutoff=cutoff, normalized=normalized, repeats=self.repeats))
            mem = r["added"] / 1e6
            self.row(data, what, n, "auto", seconds=r["seconds"], pairs=r["pairs"],
                     goal_key=job + (" normalized" if normalized else ""), note="fresh interpreter")
            self.row(data, what + ": memory", n, "auto", mem_mb=mem,
                     goal_key="pairs memory",
                     note="peak beyond texts and result (%.1f MB)%s" % (
                         r["result_bytes"] / 1e6, "" if r["clean_peak"] else ", and loading's"))
            plans = self.plans(n)
            if not plans:
                continue
            results = {"auto": fn(texts, **kw)}
            for plan in plans:
                seconds, results[plan] = self.timed(plan, fn, texts, **kw)
                self.row(data, what, n, plan, seconds=seconds, pairs=len(results[plan][0]),
                         ratio=seconds / r["seconds"], note="ratio: this plan / auto")
            self.check("%s %s on %d texts" % (data, what, n), results)

    def clusters_jobs(self, data, texts):
        """Clusters merged while joining, against the pairs call they replace; the "pairs"
        column counts the groups."""
        n = len(texts)
        for job, pairs_job, cutoff in CLUSTERS_JOBS:
            fn, pairs_fn = getattr(qmm, job, None), getattr(qmm, pairs_job)
            if fn is None:
                print("note: quillmatch_many.%s is missing: its rows are skipped" % job)
                continue
            what = "%s, cutoff %g" % (job, cutoff)
            r = in_child(dict(kind="clusters", data=data, n=n, job=job, cutoff=cutoff, repeats=self.repeats))
            p = self.measured[data, n, pairs_job, cutoff]
            self.row(data, what, n, "auto", seconds=r["seconds"], pairs=r["pairs"], note="fresh interpreter; groups")
            self.row(data, what + " / pairs", n, "auto", ratio=r["seconds"] / p["seconds"],
                     goal_key="clusters / pairs", note="time of %s cutoff %g" % (pairs_job, cutoff))
            peak, pairs_peak = r["added"] + r["result_bytes"], p["added"] + p["result_bytes"]
            self.row(data, what + ": memory / pairs", n, "auto", mem_mb=peak / 1e6, ratio=peak / pairs_peak,
                     goal_key="clusters / pairs memory",
                     note="peak beyond texts, result included; the pairs call's %.1f MB" % (pairs_peak / 1e6))
            results = {"clusters of the pairs": (qmm.clusters(*pairs_fn(texts, score_cutoff=cutoff)[:2], n),),
                       "auto": (fn(texts, cutoff),)}
            for plan in self.plans(n):
                seconds, labels = self.timed(plan, fn, texts, cutoff)
                results[plan] = (labels,)
                self.row(data, what, n, plan, seconds=seconds, ratio=seconds / r["seconds"],
                         note="ratio: this plan / auto")
            self.check("%s %s on %d texts" % (data, what, n), results)

    def top_jobs(self, data, texts, queries, per_call):
        n = len(texts)
        fn = qmm.levenshtein_top
        what = "levenshtein_top k=%d cutoff 2, 1 query a call" % TOP_K
        sample = [[q] for q in queries[:per_call]]
        for plan in ["auto"] + self.plans(n):
            results = [self.call(plan, fn, q, texts, TOP_K, score_cutoff=2) for q in sample[:50]]
            results = tuple(np.concatenate([r[i] for r in results]) for i in range(3))
            if plan == "auto":
                reference = results
            else:
                self.check("%s %s on %d texts" % (data, what, n), {"auto": reference, plan: results})
            med, p90 = self.latencies(lambda q: self.call(plan, fn, q, texts, TOP_K, score_cutoff=2),
                                      [(q,) for q in sample])
            self.row(data, what, n, plan, median_us=med, p90_us=p90,
                     note="%d queries" % len(sample))

        what = "levenshtein_top k=%d cutoff 2, %s queries a call" % (TOP_K, count(len(queries)))
        results = {}
        for plan in ["auto"] + self.plans(n):
            seconds, results[plan] = self.timed(plan, fn, queries, texts, TOP_K, score_cutoff=2)
            self.row(data, what, n, plan, seconds=seconds, pairs=int(results[plan][2].sum()),
                     median_us=seconds / len(queries) * 1e6, note="us/query: the mean")
        self.check("%s %s on %d texts" % (data, what, n), results)

    def large_cutoff(self, texts, m):
        texts = texts[:m]
        fn = qmm.levenshtein_pairs
        what = "levenshtein_pairs, cutoff 10"
        if not self.force:
            seconds, result = self.timed("auto", fn, texts, score_cutoff=10)
            self.row("names", what, m, "auto", seconds=seconds, pairs=len(result[0]),
                     note="plans cannot be forced: no quillmatch_many._with_plan")
            return
        if self.cross_max < m:
            return
        results = {plan: self.call(plan, fn, texts, score_cutoff=10) for plan in ("auto", "cross")}
        pairs = len(results["auto"][0])
        self.check("names %s on %d texts" % (what, m), results)
        del results
        t = alternate({"auto": lambda: fn(texts, score_cutoff=10),
                       "cross": lambda: self.force("cross", fn, texts, score_cutoff=10)},
                      max(self.repeats, 3), time.perf_counter)
        self.row("names", what, m, "auto", seconds=t["auto"], pairs=pairs)
        self.row("names", what, m, "cross", seconds=t["cross"], pairs=pairs)
        self.row("names", what + ": auto / cross", m, "auto", ratio=t["auto"] / t["cross"],
                 goal_key="cutoff 10 auto / cross", note="alternated, best of %d" % max(self.repeats, 3))

    def index_jobs(self, data, texts, queries, sample):
        n = len(texts)
        for measure, cutoff, normalized in INDEX_JOBS:
            key = job_label("Index " + measure, cutoff, normalized)  # also the rows' label
            kw = normalized_kw(normalized)
            seconds, index = self.timed("auto", qmm.Index, texts, measure, cutoff, **kw)
            self.row(data, key + ": build", n, "index", seconds=seconds,
                     goal_key=key + " build")
            assert len(index) == n
            top_fn, pairs_fn = getattr(qmm, TOP_FN[measure]), getattr(qmm, PAIRS_FN[measure])
            self.check("%s %s.top on %d texts" % (data, key, n),
                       {"module function": top_fn(sample, texts, TOP_K, score_cutoff=cutoff, **kw),
                        "index": index.top(sample, TOP_K)})
            self.check("%s %s.pairs on %d texts" % (data, key, n),
                       {"module function": pairs_fn(sample, texts, score_cutoff=cutoff, **kw),
                        "index": index.pairs(sample)})
            med, p90 = self.latencies(lambda q: index.top(q, TOP_K, workers=1), [([q],) for q in queries])
            self.row(data, key + ": top k=%d, 1 query, 1 worker" % TOP_K, n, "index",
                     median_us=med, p90_us=p90, goal_key=key + " top", note="%s queries" % count(len(queries)))
            seconds, result = self.timed("auto", index.pairs, queries)
            self.row(data, key + ": pairs of %s queries" % count(len(queries)), n, "index",
                     seconds=seconds, pairs=len(result[0]), goal_key=key + " pairs")
            index = result = None  # freed before the next build

    def index_memory(self, data, n):
        for measure, cutoff in INDEX_MEMORY:
            r = in_child(dict(kind="index", data=data, n=n, measure=measure, cutoff=cutoff))
            self.row(data, "Index %s %g: memory" % (measure, cutoff), n, "index", seconds=r["seconds"],
                     mem_mb=r["held"] / 1e6,
                     note="%.0f bytes a text held, %.0f at the peak of the build (fresh interpreter)"
                          % (r["held"] / n, r["peak"] / n))
            self.rows[-1]["bytes_per_text"] = r["held"] / n
            self.rows[-1]["peak_bytes_per_text"] = r["peak"] / n


SHORT_SURNAMES = 1_000_000
SHORT_DAMERAU = 200_000
SHORT_QUERIES = 5_000


SYMSPELL_QUERIES = 2_000


def symspell_line(run, builds, words, quick):
    """The word-list lookup beside symspellpy (a pure-Python SymSpell, run as a black box):
    the closest words within OSA distance 2 of a query with one typo, its lookup against
    Index(words, "damerau", 2).top([q], 1), median of one query at a time, one worker."""
    symspellpy = optional("symspellpy")
    rnd = random.Random(SEED + 2)
    queries = [typo(rnd, w) for w in rnd.choices(words, k=SYMSPELL_QUERIES if not quick else 200)]
    medians = {}
    if symspellpy:
        sym = symspellpy.SymSpell(max_dictionary_edit_distance=2)
        for w in words:
            sym.create_dictionary_entry(w, 1)
        closest = symspellpy.Verbosity.CLOSEST
        medians["symspellpy"], p90 = run.latencies(
            lambda q: sym.lookup(q, closest, max_edit_distance=2), [(q,) for q in queries])
        run.row("words", "symspellpy lookup, CLOSEST, distance 2, 1 query", len(words), "peer",
                median_us=medians["symspellpy"], p90_us=p90, note="%s queries with one typo" % count(len(queries)))
    for name, _, module in builds:
        index = module.Index(words, "damerau", 2)
        med, p90 = run.latencies(lambda q: index.top([q], 1, workers=1), [(q,) for q in queries])
        ratio = med / medians["symspellpy"] if "symspellpy" in medians else None
        run.row("words", "Index damerau 2: top k=1, 1 query, 1 worker", len(words), "index", median_us=med,
                p90_us=p90, ratio=ratio, note="%s build; ratio: to symspellpy's lookup" % name)


def short_jobs(run, before_dir, quick):
    """The short-text lines (docstring, item 5): this build and, given, another one."""
    builds = [("this", None, qmm)]
    if before_dir:
        builds.append(("before", before_dir, load_build(before_dir)))
    sets = []
    words = word_list()
    if words:
        sets.append(("words", len(words) if not quick else 20_000))
    sets.append(("distinct surnames", SHORT_SURNAMES if not quick else 20_000))
    for data, n in sets:
        texts = dataset(data, n)
        queries = make_queries(texts, SHORT_QUERIES if not quick else 500)
        print("%s: %s texts, mean length %.1f, %.0f%% beyond ASCII; %s queries" % (
            data, count(n), sum(map(len, texts)) / n, 100 * sum(not t.isascii() for t in texts) / n,
            count(len(queries))), flush=True)

        def lines(label, n_texts, times, found, per_pair=False, where=data):
            """One row per build; with two, the ratio of this build's time to the other's."""
            for name, _, _ in builds:
                note = "%s build" % name
                if per_pair and found:
                    note += "; %.0f ns a pair found" % (times[name] / found * 1e9)
                ratio = times["this"] / times["before"] if name == "this" and "before" in times else None
                run.row(where, label, n_texts, "auto", seconds=times[name], pairs=found, ratio=ratio, note=note)

        # Index levenshtein 2: build, memory, one-query top latency.
        built, results = {}, {}  # results by build, and by (build, 3) for damerau 3
        for name, directory, module in builds:
            start = time.perf_counter()
            index = module.Index(texts, "levenshtein", 2)
            built[name] = time.perf_counter() - start
            results[name] = index.top(queries[:200], TOP_K)
            med, p90 = run.latencies(lambda q: index.top(q, TOP_K, workers=1), [([q],) for q in queries])
            r = in_child(dict(kind="index", data=data, n=n, measure="levenshtein", cutoff=2, module=directory))
            run.row(data, "Index levenshtein 2: top k=%d, 1 query, 1 worker" % TOP_K, n, "index",
                    median_us=med, p90_us=p90, note="%s build" % name)
            run.row(data, "Index levenshtein 2: build and memory", n, "index", seconds=built[name],
                    mem_mb=r["held"] / 1e6, note="%s build; %.0f bytes a text held, %.0f at the build's peak"
                    % (name, r["held"] / n, r["peak"] / n))
            index = module.Index(texts, "damerau", 3)
            results[name, 3] = index.top(queries[:200], TOP_K)
            med, p90 = run.latencies(lambda q: index.top(q, TOP_K, workers=1), [([q],) for q in queries])
            run.row(data, "Index damerau 3: top k=%d, 1 query, 1 worker" % TOP_K, n, "index",
                    median_us=med, p90_us=p90, note="%s build" % name)
            index = None
            r = in_child(dict(kind="index", data=data, n=n, measure="damerau", cutoff=3, module=directory))
            run.row(data, "Index damerau 3: build and memory", n, "index", seconds=r["seconds"],
                    mem_mb=r["held"] / 1e6, note="%s build; %.0f bytes a text held, %.0f at the build's peak"
                    % (name, r["held"] / n, r["peak"] / n))
        if data == "words":
            symspell_line(run, builds, texts, quick)
        run.check("%s Index levenshtein 2 top" % data, {b: results[b] for b, _, _ in builds})
        run.check("%s Index damerau 3 top" % data, {b: results[b, 3] for b, _, _ in builds})
        for label, fn_name, cutoff, m in (("levenshtein_pairs, cutoff 1", "levenshtein_pairs", 1, n),
                                          ("damerau_pairs, cutoff 2", "damerau_pairs", 2, min(n, SHORT_DAMERAU))):
            part, where = texts[:m], data
            if data == "distinct surnames" and fn_name == "damerau_pairs":
                # Dense output: the surname list as it comes, repeats and all.
                part, where = names(m, "surnames"), "surnames"
            times, results = {}, {}
            for rep_ in range(run.repeats):
                for name, _, module in builds:
                    gc.collect()
                    start = time.perf_counter()
                    result = getattr(module, fn_name)(part, score_cutoff=cutoff)
                    seconds = time.perf_counter() - start
                    times[name] = min(times.get(name, float("inf")), seconds)
                    if rep_ == 0:
                        results[name] = result
                    del result
                if min(times.values()) > REPEAT_BELOW:
                    break
            run.check("%s %s on %d texts" % (where, label, m), results)
            lines(label, m, times, len(results["this"][0]), per_pair=True, where=where)
            results = None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: 5 000 names and words, 1 000 queries, 2 000 names at cutoff 10")
    parser.add_argument("--sizes", default="100000,1000000", help="numbers of names, comma-separated")
    parser.add_argument("--repeats", type=int, default=3, help="runs of a job that takes under 5 s")
    parser.add_argument("--cross-max", type=int, default=100_000,
                        help="largest number of texts the cross product runs on (default 100 000)")
    parser.add_argument("--no-cross", action="store_true", help="never run the cross product")
    parser.add_argument("--no-words", action="store_true", help="skip the English word list")
    parser.add_argument("--short", action="store_true", help="also the short-text lines (item 5)")
    parser.add_argument("--short-only", action="store_true", help="only the short-text lines")
    parser.add_argument("--before", metavar="DIR",
                        help="with the short-text lines: another build's py/ folder, timed beside this one")
    parser.add_argument("--json", metavar="FILE", help="also write the rows and goals to FILE")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(json.loads(args.child))

    sizes = [5000] if args.quick else [int(s) for s in args.sizes.split(",")]
    n_queries, per_call, n_sample, cutoff10 = (1000, 100, 200, 2000) if args.quick else (10_000, 500, 500, 20_000)
    run = Run(args)
    print("Python %s, quillmatch_many joins, %s run; wall time, best of %d runs under %g s; %s"
          % (sys.version.split()[0], "quick" if args.quick else "full", args.repeats, REPEAT_BELOW, load()))
    if not run.force:
        print("note: quillmatch_many._with_plan is missing: plans cannot be forced; each job runs once"
              " as the module chooses (the cross product in this build), and no plans are compared")
    if not hasattr(qmm, "Index"):
        print("note: quillmatch_many.Index is missing: the index rows are skipped")

    sets = []
    if not args.short_only:
        names(max(sizes))  # the largest list first: the smaller ones are its prefixes
        sets = [("names", n) for n in sizes]
    if not args.no_words and not args.short_only:
        words = word_list()
        if words:
            sets.append(("words", min(len(words), sizes[0]) if args.quick else len(words)))
    print()
    print(HEADER)
    for data, n in sets:
        texts = dataset(data, n)
        queries = make_queries(texts, n_queries)
        print("%s: %s texts, mean length %.1f; %s queries" % (
            data, count(n), sum(map(len, texts)) / n, count(len(queries))), flush=True)
        run.pairs_jobs(data, texts)
        run.clusters_jobs(data, texts)
        run.top_jobs(data, texts, queries, per_call)
        if data == "names" and n == max(sizes) and n >= cutoff10:
            run.large_cutoff(texts, cutoff10)
        if hasattr(qmm, "Index"):
            run.index_jobs(data, texts, queries, queries[:n_sample])
            if data == "names" and n == max(sizes):
                run.index_memory(data, n)
    if args.short or args.short_only:
        short_jobs(run, args.before, args.quick)

    met = sum(r["verdict"] == "PASS" for r in run.goals)
    if run.goals:
        table("goals", ["job", "N", "value", "goal", ""],
              [[r["job"], count(r["n"]), "%.3f" % r["goal_value"], r["goal"], r["verdict"]] for r in run.goals])
    print("\n%s; %s; at the end, %s"
          % ("%d of %d goals met" % (met, len(run.goals)) if run.goals else "no goal applies at these sizes", "plans agreed wherever two ran" if not run.disagreements
             else "%d DISAGREEMENTS" % len(run.disagreements), load()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"python": sys.version.split()[0], "quick": args.quick, "sizes": sizes,
                       "plans_forced": bool(run.force), "rows": run.rows, "goals": run.goals,
                       "disagreements": run.disagreements}, f, indent=1)
    return 1 if run.disagreements else 0


if __name__ == "__main__":
    sys.exit(main())
