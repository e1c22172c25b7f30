"""The keyed self join on Dask and on Spark against the one-machine pairs function, side by side.

    python bench/bench_distributed.py [--sizes 100000,300000] [--jobs levenshtein:1,damerau:2]
                                      [--engines one,dask,spark] [--names lists|faker|syllables]

Run it with an interpreter that imports quillmatch_many, numpy, pandas, pyarrow, psutil,
dask[distributed] (for --engines dask), pyspark 4 and Java 17 (for spark), and Faker
(for the names), e.g. the build's with PYTHONPATH=<build>/py.

Names (--names):
  lists      (the default) "Faker, a fifth with a typo", made fast enough for 10^7: a locale
             per name, uniformly among en_US, de_DE, es_ES, it_IT, nl_NL, sv_SE and sk_SK, and
             a first and a last name drawn uniformly from that locale's lists in Faker's
             person providers (sk_SK's surnames by the first name's gender), joined by a
             space, some 4.5 million combinations in all; then each name after
             the first is, with probability 1/5, replaced by a copy of an earlier name (any,
             uniformly) with one typo (join_data.typo: a substitution, an insertion or
             deletion, or an adjacent swap). Seeded, drawn in blocks of 2^20 with numpy, so
             the first n names of a longer list are the list of n. Ten million take about
             half a minute and are cached as text under build/join-data/.
  faker      bench_join.names(): Faker's own name() in four locales (minutes per million,
             cached there too).
  syllables  seeded syllable names with the same share of typos (no Faker needed).

The names are written once per size as Parquet files (columns id, name; --partitions files)
under build/dist-bench/, and both clusters read them from there, as a job would.

Per size and job (measure:cutoff; a cutoff with a point is a normalized one), for each engine:
  one    {measure}_pairs(names, score_cutoff=d) in this process (every core);
  dask   quillmatch_many.dask.pairs(...) read from the Parquet files and written to Parquet,
         on a LocalCluster of --workers processes of one thread each on 127.0.0.1;
  spark  quillmatch_many.spark.pairs(...) the same, on local[--cores] with
         spark.driver.memory=--spark-memory (in local mode the executor is the driver, so
         this bounds its heap and the shuffle spills beyond it), Python workers reused.
Both clusters start before the timing and are warmed by a small join. Reported: wall time
and its ratio to the one machine's; pairs found; the rows the shuffle moves per name
(hot-key copies counted; computed outside the timing, with exact key counts) and their
bytes per name: for Dask, as the adapter's rows hold them (key, id, role, cell and the
text's UTF-8), for Spark, the shuffle bytes written as its REST API reports them (all
stages of the job: packed, serialized and compressed, as they go to disk); and peak
memory per worker:
Dask's, the peak RSS of each worker process (a thread in each samples it every 50 ms);
Spark's, the peak RSS of the JVM and of the largest Python worker (a thread here samples
the driver's child processes every 50 ms), and the bytes its stages spilled to disk. The pairs are read back and compared with the
one machine's outside the timing; a disagreement exits with status 1. One run each: a 10^7
run takes minutes and the clusters' times vary more than repeats would settle.
"""

import argparse
import json
import logging
import os
import random
import shutil
import socket
import sys
import threading
import time
import urllib.request

import numpy as np

import quillmatch_many as qmm

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from join_data import typo  # noqa: E402

DATA_DIR = os.path.join(ROOT, "build", "join-data")
WORK_DIR = os.path.join(ROOT, "build", "dist-bench")
SEED = 20240601

SYLLABLES = ["an", "ber", "ca", "del", "e", "fer", "gu", "ha", "in", "jo", "ka", "li", "mar", "no", "o",
             "pe", "qui", "ro", "sa", "ta", "u", "ve", "wil", "xa", "yo", "zi", "son", "man", "ton", "ez"]
DEFAULT_JOBS = "levenshtein:1,levenshtein:2,damerau:2,damerau:0.85"
LIST_LOCALES = ["en_US", "de_DE", "es_ES", "it_IT", "nl_NL", "sv_SE", "sk_SK"]
BLOCK = 1 << 20
TYPO_SHARE = 0.2


# ---------------------------------------------------------------- names

def syllable_names(n, seed=7):
    rnd = random.Random(seed)
    out = []
    for k in range(n):
        if k and rnd.random() < TYPO_SHARE:
            out.append(typo(rnd, out[rnd.randrange(k)]))
            continue
        first = "".join(rnd.choice(SYLLABLES) for _ in range(rnd.randint(1, 3))).capitalize()
        last = "".join(rnd.choice(SYLLABLES) for _ in range(rnd.randint(2, 4))).capitalize()
        out.append(first + " " + last)
    return out


def _name_lists():
    """[(first names, their probabilities, last names, theirs)], one entry per locale, or
    per locale and gender where the locale's surnames have genders; with the share of
    names each entry gets."""
    import importlib

    def table(values):
        # Uniformly, also where Faker weights a list (en_US, sv_SE): with a
        # thousand surnames a locale, Faker's weights make a tenth of ten
        # million names exact copies of a few hundred, and the pairs found
        # would measure the lists' size more than the join.
        return np.array(list(values), dtype=object), None

    out = []
    for locale in LIST_LOCALES:
        provider = importlib.import_module("faker.providers.person." + locale).Provider
        genders = ("_male", "_female") if hasattr(provider, "last_names_male") else ("",)
        for g in genders:
            out.append((table(getattr(provider, "first_names" + g)), table(getattr(provider, "last_names" + g)),
                        1.0 / len(LIST_LOCALES) / len(genders)))
    return out


def list_names(n, seed=SEED):
    """The names of --names lists (see the module's docstring)."""
    lists = _name_lists()
    share = np.array([s for _, _, s in lists])
    blocks = []
    rnd = random.Random(seed)
    made = 0
    while made < n:
        rng = np.random.default_rng([seed, len(blocks)])
        which = rng.choice(len(lists), size=BLOCK, p=share / share.sum())
        block = np.empty(BLOCK, dtype=object)
        for k, ((firsts, pf), (lasts, pl), _) in enumerate(lists):
            at = np.flatnonzero(which == k)
            block[at] = (firsts[rng.choice(len(firsts), size=len(at), p=pf)] + " "
                         + lasts[rng.choice(len(lasts), size=len(at), p=pl)])
        copy = rng.random(BLOCK) < TYPO_SHARE
        source = rng.random(BLOCK)
        blocks.append(block)
        whole = blocks  # earlier names may be in any block so far
        for at in np.flatnonzero(copy).tolist():
            k = made + at
            if k == 0:
                continue
            src = int(source[at] * k)
            b, o = divmod(src, BLOCK)
            block[at] = typo(rnd, whole[b][o])
        made += BLOCK
    return np.concatenate(blocks)[:n].tolist()


def cached_names(n, kind):
    """The first n names of the shortest cached list of this kind that has n (the lists
    share prefixes), made and cached when there is none."""
    if kind == "faker":
        from bench_join import names
        return names(n)
    if kind == "syllables":
        return syllable_names(n)
    os.makedirs(DATA_DIR, exist_ok=True)
    prefix = "lists-seed%d-" % SEED
    sizes = [int(f[len(prefix):-4]) for f in os.listdir(DATA_DIR) if f.startswith(prefix) and f.endswith(".txt")]
    sizes = [s for s in sizes if s >= n]
    if sizes:
        with open(os.path.join(DATA_DIR, "%s%d.txt" % (prefix, min(sizes))), encoding="utf-8", newline="") as f:
            out = f.read().split("\n")[:n]
    else:
        start = time.perf_counter()
        out = list_names(n)
        path = os.path.join(DATA_DIR, "%s%d.txt" % (prefix, n))
        with open(path + ".tmp", "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(out) + "\n")
        os.replace(path + ".tmp", path)
        print("made %d names from Faker's lists in %.0f s" % (n, time.perf_counter() - start), flush=True)
    assert len(out) == n and out[-1]
    return out


def write_parquet(names, kind, partitions):
    """The names as `partitions` Parquet files (id, name) in a folder of their own."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    path = os.path.join(WORK_DIR, "input-%s-%d-%d" % (kind, len(names), partitions))
    if os.path.exists(os.path.join(path, "_done")):
        return path
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    bounds = np.linspace(0, len(names), partitions + 1).astype(np.int64)
    for p in range(partitions):
        lo, hi = int(bounds[p]), int(bounds[p + 1])
        pq.write_table(pa.table({"id": pa.array(np.arange(lo, hi, dtype=np.int64)),
                                 "name": pa.array(names[lo:hi], pa.string())}),
                       os.path.join(path, "part-%05d.parquet" % p))
    open(os.path.join(path, "_done"), "w").close()
    return path


# ---------------------------------------------------------------- measuring

def same_pairs(got, want):
    """Whether two (left, right, score) triples of arrays hold the same pairs."""
    def canonical(triple):
        left, right, score = (np.asarray(a) for a in triple)
        order = np.lexsort((right, left))
        return left[order].astype(np.int64), right[order].astype(np.int64), score[order].astype(np.float64)

    return all(np.array_equal(a, b) for a, b in zip(canonical(got), canonical(want)))


def read_pairs(path):
    import pyarrow.parquet as pq

    table = pq.read_table(path)
    return tuple(table.column(c).to_numpy() for c in ("left", "right", "score"))


def logical_shuffle(names, measure, d, hot_rows):
    """Rows per name the adapters shuffle, and their bytes as the Dask adapter's rows hold
    them (key, id, role, cell, the text's UTF-8), hot-key copies included, with the keys
    counted exactly."""
    from quillmatch_many import _keyed

    normalized = isinstance(d, float)
    keys, ids, roles = qmm.key_rows(names, measure, d, longest=max(map(len, names)), normalized=normalized)
    ways = {}
    if hot_rows is not None:
        ways = _keyed.hot_ways(*_keyed.key_counts(keys, roles), hot_rows)
    at, _, _ = _keyed.spread(keys, ids, roles, ways)
    text_bytes = np.fromiter((len(t.encode("utf-8")) for t in names), dtype=np.int64, count=len(names))
    rows = len(at)
    return rows / len(names), (rows * (8 + 8 + 1 + 4) + int(text_bytes[ids[at]].sum())) / len(names)


class ChildSampler:
    """Peak RSS of this process's children while it runs: the JVM's, and each other
    process's (Spark's Python workers), sampled every 50 ms."""

    def __init__(self):
        import psutil

        self.psutil = psutil
        self.me = psutil.Process()
        self.peaks = {}
        self.names = {}
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            for child in self.me.children(recursive=True):
                try:
                    rss = child.memory_info().rss
                    if child.pid not in self.names:
                        self.names[child.pid] = child.name()
                except self.psutil.Error:
                    continue
                self.peaks[child.pid] = max(self.peaks.get(child.pid, 0), rss)
            self.stop.wait(0.05)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()

    def report(self):
        jvm = max((v for p, v in self.peaks.items() if self.names.get(p) == "java"), default=0)
        python = [v for p, v in self.peaks.items() if self.names.get(p) != "java"]
        return "JVM %s, Python %s (largest of %d)" % (mb(jvm), mb(max(python, default=0)), len(python))


def mb(n):
    return "%.0f MB" % (n / 2 ** 20)


def _worker_sampler_start():
    """Run in each Dask worker: (re)starts the sampling of its own peak RSS."""
    import psutil

    state = getattr(sys, "_quillmatch_bench_peak", None)
    if state is None:
        state = sys._quillmatch_bench_peak = {"peak": 0}
        me = psutil.Process()

        def loop():
            while True:
                state["peak"] = max(state["peak"], me.memory_info().rss)
                time.sleep(0.05)

        threading.Thread(target=loop, daemon=True).start()
    state["peak"] = psutil.Process().memory_info().rss


def _worker_sampler_peak():
    return sys._quillmatch_bench_peak["peak"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def spark_shuffle(ui, app, group):
    """(records, bytes) of shuffle written by the stages of the jobs in `group`, and the
    bytes they spilled to disk, as the REST API of the driver's UI reports them once every
    such job has ended."""
    def get(path):
        with urllib.request.urlopen("%s/api/v1/applications/%s/%s" % (ui, app, path), timeout=30) as r:
            return json.loads(r.read())

    for _ in range(100):
        jobs = [j for j in get("jobs") if j.get("jobGroup") == group]
        if jobs and all(j["status"] in ("SUCCEEDED", "FAILED") for j in jobs):
            break
        time.sleep(0.2)
    wanted = {s for j in jobs for s in j["stageIds"]}
    records = size = spilled = 0
    for stage in get("stages"):
        if stage["stageId"] in wanted and stage["status"] == "COMPLETE":
            records += stage["shuffleWriteRecords"]
            size += stage["shuffleWriteBytes"]
            spilled += stage["diskBytesSpilled"]
    return records, size, spilled


# ---------------------------------------------------------------- engines

class DaskEngine:
    name = "Dask"

    def __init__(self, workers):
        import warnings

        import distributed

        warnings.filterwarnings("ignore", message="Sending large graph")
        self.cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                host="127.0.0.1", dashboard_address=None,
                                                silence_logs=logging.ERROR)
        self.client = distributed.Client(self.cluster)

    def close(self):
        self.client.close()
        self.cluster.close()

    def run(self, path, out, measure, d, shuffle_partitions, hot_rows):
        import dask.dataframe as dd

        import quillmatch_many.dask as qdask

        self.client.run(_worker_sampler_start)
        start = time.perf_counter()
        df = dd.read_parquet(path)
        found = qdask.pairs(df, "name", measure, d, "id", normalized=isinstance(d, float), hot_rows=hot_rows,
                            npartitions=shuffle_partitions)
        found.to_parquet(out, write_index=False)
        seconds = time.perf_counter() - start
        peaks = self.client.run(_worker_sampler_peak)
        return seconds, " / ".join(mb(peaks[w]) for w in sorted(peaks)), None


class SparkEngine:
    name = "Spark"

    def __init__(self, cores, memory, shuffle_partitions):
        os.environ["PYSPARK_PYTHON"] = sys.executable
        os.environ.setdefault("SPARK_LOCAL_IP", "127.0.0.1")
        from pyspark.sql import SparkSession

        port = free_port()
        local_dir = os.path.join(WORK_DIR, "spark-local")
        os.makedirs(local_dir, exist_ok=True)
        self.spark = (SparkSession.builder.master("local[%d]" % cores).appName("quillmatch-bench")
                      .config("spark.driver.memory", memory)
                      .config("spark.driver.host", "127.0.0.1").config("spark.driver.bindAddress", "127.0.0.1")
                      .config("spark.ui.enabled", "true").config("spark.ui.port", str(port))
                      .config("spark.local.dir", local_dir)
                      .config("spark.sql.shuffle.partitions", str(shuffle_partitions))
                      .config("spark.sql.adaptive.enabled", "false")
                      .config("spark.ui.showConsoleProgress", "false")
                      .getOrCreate())
        self.spark.sparkContext.setLogLevel("ERROR")
        self.ui = "http://127.0.0.1:%d" % port
        self.app = self.spark.sparkContext.applicationId
        self.runs = 0

    def close(self):
        self.spark.stop()

    def run(self, path, out, measure, d, shuffle_partitions, hot_rows):
        import quillmatch_many.spark as qspark

        self.runs += 1
        group = "bench-%d" % self.runs
        self.spark.sparkContext.setJobGroup(group, group)
        self.spark.conf.set("spark.sql.shuffle.partitions", str(shuffle_partitions))
        with ChildSampler() as sampler:
            start = time.perf_counter()
            df = self.spark.read.parquet(path)
            found = qspark.pairs(df, "name", measure, d, "id", normalized=isinstance(d, float), hot_rows=hot_rows)
            found.write.mode("overwrite").parquet(out)
            seconds = time.perf_counter() - start
        return seconds, sampler.report(), spark_shuffle(self.ui, self.app, group)


def parse_jobs(text):
    jobs = []
    for job in text.split(","):
        measure, d = job.split(":")
        jobs.append((measure, float(d) if "." in d else int(d)))
    return jobs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000")
    parser.add_argument("--jobs", default=DEFAULT_JOBS, help="measure:cutoff, comma-separated (default %(default)s)")
    parser.add_argument("--engines", default="one,dask,spark")
    parser.add_argument("--names", default="lists", choices=["lists", "faker", "syllables"])
    parser.add_argument("--workers", type=int, default=2, help="Dask workers, and Spark's local[cores]")
    parser.add_argument("--partitions", type=int, default=0,
                        help="input files, and the shuffle's partitions (default: one per 250 000 names, 8 or more)")
    parser.add_argument("--spark-memory", default="2g")
    parser.add_argument("--hot-rows", type=int, default=20_000)
    args = parser.parse_args()
    engines = args.engines.split(",")
    jobs = parse_jobs(args.jobs)
    os.makedirs(WORK_DIR, exist_ok=True)
    import warnings

    warnings.filterwarnings("ignore", message="PySpark does not yet fully support pandas")

    clusters = []
    if "dask" in engines:
        clusters.append(DaskEngine(args.workers))
    if "spark" in engines:
        clusters.append(SparkEngine(args.workers, args.spark_memory, 8))
    failed = False
    try:
        warm = write_parquet(syllable_names(2000), "warm", 2)
        for engine in clusters:
            engine.run(warm, os.path.join(WORK_DIR, "pairs-warm"), "levenshtein", 1, 2, args.hot_rows)
        print("| names | job | engine | s | / one | pairs | rows / name | bytes / name | peak memory per worker |")
        print("| ---: | --- | --- | ---: | ---: | ---: | ---: | ---: | --- |", flush=True)
        for n in (int(s) for s in args.sizes.split(",")):
            names = cached_names(n, args.names)
            partitions = args.partitions or max(8, n // 250_000)
            path = write_parquet(names, args.names, partitions)
            for measure, d in jobs:
                normalized = isinstance(d, float)
                label = "%s %s" % (measure, d)
                want = None
                one_s = None
                if "one" in engines:
                    start = time.perf_counter()
                    want = getattr(qmm, measure + "_pairs")(names, score_cutoff=d, normalized=normalized)
                    one_s = time.perf_counter() - start
                    print("| %d | %s | one machine | %.2f | 1 | %d | | | |" % (n, label, one_s, len(want[0])),
                          flush=True)
                for engine in clusters:
                    out = os.path.join(WORK_DIR, "pairs-%s" % engine.name.lower())
                    shutil.rmtree(out, ignore_errors=True)
                    seconds, memory, shuffle = engine.run(path, out, measure, d, partitions, args.hot_rows)
                    got = read_pairs(out)
                    if want is not None and not same_pairs(got, want):
                        print("DISAGREE: %s %s on %d names: %s found %d pairs against %d"
                              % (measure, d, n, engine.name, len(got[0]), len(want[0])), flush=True)
                        failed = True
                    rows, size = logical_shuffle(names, measure, d, args.hot_rows)
                    if shuffle is not None:
                        size = shuffle[1] / n
                        memory += ", spilled %s" % mb(shuffle[2])
                    ratio = "%.2f" % (seconds / one_s) if one_s else "-"
                    print("| %d | %s | %s | %.2f | %s | %d | %.1f | %.0f | %s |"
                          % (n, label, engine.name, seconds, ratio, len(got[0]), rows, size, memory), flush=True)
                    shutil.rmtree(out, ignore_errors=True)
    finally:
        for engine in clusters:
            engine.close()
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
