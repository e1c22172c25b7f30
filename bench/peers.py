"""quillmatch against the libraries users would pick instead, in one run.

    bench/run_peers.sh [--quick]        (sets up its own environment, then runs this)
    python bench/peers.py [--quick] [--plot FILE]

Prints the Python version, whether each peer agrees with quillmatch on a sample of
pairs, a table of time ratios (quillmatch against each peer and against the floors), the absolute times
of quillmatch and its peers, and draws those absolute times into a PNG.

Every ratio is measured inside this one process against its yardstick, the two
timed alternately (A, B, A, B, ...) and the best time of each kept, since
absolute times on a shared machine drift by tens of percent between runs. Times
are the process's CPU time, except the thread speed-ups' (wall time).
A peer that is not installed is skipped with a note; with pyarrow installed, the
short words are also scored as a column (quillmatch_many.levenshtein_scores).
Data is seeded random lowercase ASCII: short words of 5 to 20 letters, 13-letter
words, and texts of 1 000 letters. StringZilla's engine is given one CPU core, as quillmatch uses one.
"""

import argparse
import gc
import importlib
import itertools
import os
import random
import sys
import threading
import time

import quillmatch as qm

from bench_batch import per_call, table

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 20240601
QUERY = "kvarnstelj"  # a 10-letter query for the candidate sets

SIZES = {  # full, quick
    "words": (1_000_000, 100_000),       # short words scored against QUERY
    "pairs": (20_000, 5_000),            # pairs of 13-letter words, per call
    "long_pairs": (200, 40),             # pairs of 1 000-letter texts, per call
    "peer_words": (100_000, 10_000),     # the words a peer's Python loop scans
    "peer_long_pairs": (20, 6),          # 1 000-letter pairs for the peers' loops
    "thread_texts": (10_000, 10_000),    # per thread (10 000 or more: the batch frees the lock)
    "big_texts": (1_999, 400),           # texts scored against a 1 000-letter query
    "repeats": (7, 3),
}


def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        print("note: %s is not installed (%s); skipped" % (name, exc))
        return None


# ---------------------------------------------------------------- data

# Bytes 0..233 map evenly onto 26 letters; 234..255 are dropped, so each letter is equally likely.
_LETTERS = bytes(range(ord("a"), ord("a") + 26)) * 9 + bytes(22)
_DROP = bytes(range(234, 256))


def letters(rnd, n):
    out = b""
    while len(out) < n:
        k = (n - len(out)) * 10 // 9 + 64
        out += rnd.getrandbits(8 * k).to_bytes(k, "little").translate(_LETTERS, _DROP)
    return out[:n].decode("ascii")


def words(rnd, n, lo, hi):
    """n random lowercase words of lo..hi letters (hi - lo + 1 must divide 256)."""
    span = hi - lo + 1
    assert 256 % span == 0
    lens = [lo + b % span for b in rnd.getrandbits(8 * n).to_bytes(n, "little")]
    blob = letters(rnd, sum(lens))
    return [blob[end - k:end] for end, k in zip(itertools.accumulate(lens), lens)]


def mutate(rnd, w):
    """w after one to three random edits: substitution, insertion, deletion or adjacent swap."""
    w = list(w)
    for _ in range(rnd.randint(1, 3)):
        at = rnd.randrange(len(w))
        op = rnd.randrange(4)
        if op == 0:
            w[at] = rnd.choice("abcdefghijklmnopqrstuvwxyz")
        elif op == 1:
            w.insert(at, rnd.choice("abcdefghijklmnopqrstuvwxyz"))
        elif op == 2 and len(w) > 1:
            del w[at]
        elif at + 1 < len(w):
            w[at], w[at + 1] = w[at + 1], w[at]
    return "".join(w)


def load():
    """The machine's load, which disturbs the thread speed-ups (other processes take the cores),
    and the vector back end the modules chose on this processor."""
    return "%d cores, load average %.1f over the last minute; %s back end" % (
        os.cpu_count(), os.getloadavg()[0], qm.simd)


def count(n):
    return "{:,}".format(n).replace(",", " ")


def pairs_of(seq):
    return list(zip(seq[0::2], seq[1::2]))


# ---------------------------------------------------------------- timing

def alternate_rounds(thunks, repeats, clock=time.process_time, mirrored=False):
    """Runs each thunk `repeats` times, round-robin (A, B, C, A, B, C, ...; with mirrored,
    every other round backwards: A, B, B, A, ...), garbage collection off; returns each
    thunk's times, one a round. A result is freed after its clock stops.

    The clock is the CPU time of this process (of all its threads, should a library use
    more than one): on a machine whose cores other processes share, wall time would charge
    a long run for the time slices taken from it while a short one may fit between them.
    Thread speed-ups need the wall clock."""
    times = {name: [] for name in thunks}
    for round_ in range(repeats):
        order = list(thunks.items())
        if mirrored and round_ % 2:
            order.reverse()
        for name, fn in order:
            gc.collect()
            gc.disable()
            try:
                start = clock()
                result = fn()
                times[name].append(clock() - start)
            finally:
                gc.enable()
            del result
    return times


def alternate(thunks, repeats, clock=time.process_time):
    """The best time of each thunk over alternate_rounds."""
    return {name: min(t) for name, t in alternate_rounds(thunks, repeats, clock).items()}


# Loops timed against each other share their shape and differ only in the call.
def call_loop(fn, pairs):
    for a, b in pairs:
        fn(a, b)


def call_loop_folded(fn, pairs):
    for a, b in pairs:
        fn(a, b, case_insensitive=True)


def first_loop(fn, pairs):
    for a, b in pairs:
        fn(a)


def scan_loop(fn, query, cands):
    return [fn(query, c) for c in cands]


def in_threads(jobs):
    threads = [threading.Thread(target=job) for job in jobs]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


# ---------------------------------------------------------------- peers

class Peers:
    """The peers' functions that are installed, as (label, fn(a, b)) per measure."""

    def __init__(self):
        polyleven = optional("polyleven")
        editdistance = optional("editdistance")
        jellyfish = optional("jellyfish")
        edlib = optional("edlib")
        pyx = optional("pyxdameraulevenshtein")
        sz = optional("stringzilla")
        szs = sz and optional("stringzillas")
        self.polyleven = polyleven and polyleven.levenshtein
        self.lev = [("polyleven.levenshtein", self.polyleven),
                    ("editdistance.eval", editdistance and editdistance.eval),
                    ("jellyfish.levenshtein_distance", jellyfish and jellyfish.levenshtein_distance),
                    ("edlib.align", edlib and (lambda a, b: edlib.align(a, b)["editDistance"]))]
        self.osa = [("pyxdameraulevenshtein.damerau_levenshtein_distance",
                     pyx and pyx.damerau_levenshtein_distance),
                    ("jellyfish.damerau_levenshtein_distance",
                     jellyfish and jellyfish.damerau_levenshtein_distance)]
        self.jw = [("jellyfish.jaro_winkler_similarity", jellyfish and jellyfish.jaro_winkler_similarity)]
        self.lev, self.osa, self.jw = ([(n, f) for n, f in group if f] for group in (self.lev, self.osa, self.jw))
        self.sz_batch = None
        if szs:
            one_core = szs.DeviceScope(cpu_cores=1)
            engine = szs.LevenshteinDistances()
            Strs = sz.Strs
            # The input is built from the Python list inside the call, hence inside the timing.
            try:  # StringZilla 5 scores every query against every candidate: a 1 x n matrix here
                engine(Strs(["ab"]), Strs(["a", "b"]), device=one_core)
                self.sz_batch = lambda query, cands: engine(Strs([query]), Strs(cands), device=one_core)[0]
                how = "one query against the candidates, a 1 x n matrix"
            except ValueError:  # StringZilla 4 scores a[i] against b[i]
                self.sz_batch = lambda query, cands: engine(Strs([query] * len(cands)), Strs(cands),
                                                            device=one_core)
                how = "the query repeated n times against the candidates, pair by pair"
            self.sz_pair = lambda a, b: int(self.sz_batch(a, [b])[0])
            print("note: StringZilla %s: LevenshteinDistances on one core, %s" % (sz.__version__, how))
            self.lev.append(("stringzillas.LevenshteinDistances, a pair a call", self.sz_pair))

    def all(self):
        return self.lev + self.osa + self.jw


def agreement(peers, pairs):
    """Counts the pairs on which each peer returns exactly what quillmatch returns."""
    groups = [("levenshtein_bp", qm.levenshtein_bp, peers.lev),
              ("damerau_bp", qm.damerau_bp, peers.osa),
              ("jaro_winkler_similarity", qm.jaro_winkler_similarity, peers.jw)]
    rows = []
    for ours_name, ours, group in groups:
        expected = [ours(a, b) for a, b in pairs]
        for name, fn in group:
            got = [fn(a, b) for a, b in pairs]
            bad = [i for i, (x, y) in enumerate(zip(expected, got)) if x != y]
            if not bad:
                verdict = "agrees"
            else:
                a, b = pairs[bad[0]]
                lower = all(got[i] < expected[i] for i in bad)
                verdict = "%s, e.g. %s: quillmatch %r, peer %r" % (
                    "peer lower wherever they differ" if lower else "differs",
                    "%r %r" % (a, b) if len(a) < 40 else "a long pair", expected[bad[0]], got[bad[0]])
            rows.append([name, ours_name, "%d/%d" % (len(pairs) - len(bad), len(pairs)), verdict])
    table("agreement with quillmatch on %s pairs (short words, each with an edited copy or another word; "
          "%d pairs of 1 000 letters)" % (count(len(pairs)), sum(len(a) >= 100 for a, _ in pairs)),
          ["peer", "compared with", "same result", ""], rows)
    if any(name.startswith("jellyfish.damerau") for name, _ in peers.osa):
        print("(jellyfish's damerau_levenshtein_distance is the unrestricted distance, in which a swapped"
              "\n pair may be edited again; optimal string alignment, what damerau_bp computes, may not.)")


# ---------------------------------------------------------------- measurements

class Ratios:
    """Each figure a user compares: quillmatch's time over a peer's or over a floor (a call
    that does next to nothing on the same data): below 1, quillmatch is faster; a speed-up of
    threads is the other way round."""

    def __init__(self):
        self.rows = []

    def add(self, what, value):
        self.rows.append([what, "%.2f" % value])
        print("  %-74s %6.2f" % (what, value))


def bound(what, value):
    """A figure that bounds a ratio from below; printed beside them."""
    print("  %-74s %6.2f  (bound)" % (what, value))


def run(args):
    quick = args.quick
    size = {k: v[1 if quick else 0] for k, v in SIZES.items()}
    repeats = size["repeats"]
    many = 5 * repeats  # for the loops of a few milliseconds, which a busy machine disturbs most
    rnd = random.Random(SEED)

    print("Python %s, quillmatch vs peers, %s run, best of %d alternated repetitions (%d for loops of"
          " a few milliseconds)" % (sys.version.split()[0], "quick" if quick else "full", repeats, many))
    print("times are this process's CPU time, but the thread speed-ups' wall time; %s" % load())
    peers = Peers()

    short = words(rnd, size["words"], 5, 20)
    pairs13 = pairs_of(words(rnd, 2 * size["pairs"], 13, 13))
    mixed13 = [(a.title(), b.upper()) for a, b in pairs13]
    tiny = [("a", "b")] * size["pairs"]
    long_pairs = pairs_of(words(rnd, 2 * size["long_pairs"], 1000, 1000))
    thread_texts = [words(rnd, size["thread_texts"], 1000, 1000) for _ in range(2)]
    big_query = letters(rnd, 1000)
    big_texts = thread_texts[0][:size["big_texts"]]

    sample = [(a, mutate(rnd, a)) for a in short[:1000]] + pairs_of(short[1000:3000])
    agreement(peers, sample + long_pairs[:10])

    ratios = Ratios()
    times = {"13-letter pairs, per call": {}, "1 000-letter pairs, per call": {},
             "%s short words against a 10-letter query, per candidate" % count(len(short)): {}}
    per13, perlong, percand = times.values()
    print("\nratios (each timed alternately with its yardstick)")

    floor = optional("call_floor")  # built by run_peers.sh from call_floor.c
    poly = peers.polyleven
    if poly:
        thunks = {"lev": lambda: call_loop(qm.levenshtein_bp, pairs13),
                  "osa": lambda: call_loop(qm.damerau_bp, pairs13),
                  "jw": lambda: call_loop(qm.jaro_winkler_similarity, pairs13),
                  "poly": lambda: call_loop(poly, pairs13)}
        if floor:
            thunks["floor"] = lambda: call_loop(floor.pair, pairs13)
        t = alternate(thunks, many)
        ratios.add("levenshtein_bp / polyleven.levenshtein, 13-letter words, per call",
                  t["lev"] / t["poly"])
        ratios.add("damerau_bp / polyleven.levenshtein, 13-letter words, per call",
                  t["osa"] / t["poly"])
        ratios.add("jaro_winkler_similarity / polyleven.levenshtein, 13-letter words",
                  t["jw"] / t["poly"])
        if floor:
            bound("the calling convention's floor / polyleven.levenshtein, 13-letter words",
                  t["floor"] / t["poly"])
            bound("levenshtein_bp over that floor, ns per call",
                  (t["lev"] - t["floor"]) / len(pairs13) * 1e9)
    else:
        print("  (no polyleven: the per-call ratios against it are skipped)")

    thunks = {"lev": lambda: call_loop(qm.levenshtein_bp, tiny),
              "len": lambda: first_loop(len, tiny)}
    if floor:
        thunks["floor"] = lambda: call_loop(floor.pair, tiny)
    t = alternate(thunks, many)
    ratios.add("levenshtein_bp('a', 'b') / len('a'), same loop", t["lev"] / t["len"])
    if floor:
        bound("the calling convention's floor ('a', 'b') / len('a')", t["floor"] / t["len"])

    thunks = {"folded": lambda: call_loop_folded(qm.levenshtein_bp, mixed13),
              "plain": lambda: call_loop(qm.levenshtein_bp, mixed13)}
    if floor:
        thunks["floor folded"] = lambda: call_loop_folded(floor.pair, mixed13)
        thunks["floor"] = lambda: call_loop(floor.pair, mixed13)
    t = alternate(thunks, many)
    ratios.add("levenshtein_bp case_insensitive=True / plain, mixed-case 13 letters",
              t["folded"] / t["plain"])
    if floor:
        bound("the keyword's cost at the floor, as a share of the plain call",
              (t["floor folded"] - t["floor"]) / t["plain"])

    t = alternate({"ingest": lambda: qm._ingest_borrow_and_deref(short),
                   "len": lambda: list(map(len, short))}, repeats)
    ratios.add("_ingest_borrow_and_deref / list(map(len, words)), short words",
              t["ingest"] / t["len"])
    percand["quillmatch._ingest_borrow_and_deref (takes in only)"] = t["ingest"] / len(short)

    batch = {"lev": lambda: qm.levenshtein_batch(QUERY, short),
             "osa": lambda: qm.damerau_batch(QUERY, short),
             "jw": lambda: qm.jaro_winkler_batch(QUERY, short),
             "len": lambda: list(map(len, short))}
    if peers.sz_batch:
        batch["sz"] = lambda: peers.sz_batch(QUERY, short)
    t = alternate(batch, repeats)
    ratios.add("levenshtein_batch / list(map(len, words)), short words",
              t["lev"] / t["len"])
    ratios.add("damerau_batch / levenshtein_batch, short words", t["osa"] / t["lev"])
    ratios.add("jaro_winkler_batch / list(map(len, words)), short words", t["jw"] / t["len"])
    if peers.sz_batch:
        ratios.add("levenshtein_batch / StringZilla engine, short words", t["lev"] / t["sz"])
    n = len(short)
    percand.update({"quillmatch.levenshtein_batch": t["lev"] / n, "quillmatch.damerau_batch": t["osa"] / n,
                    "quillmatch.jaro_winkler_batch": t["jw"] / n, "list(map(len, words)) (reference)": t["len"] / n})
    if peers.sz_batch:
        percand["stringzillas.LevenshteinDistances, 1 core"] = t["sz"] / n

    # The same words as a column: quillmatch_many reads a pyarrow array in place, no str per word.
    pa = optional("pyarrow")
    if pa:
        import quillmatch_many as qmm
        column = pa.array(short)
        t = alternate({"col": lambda: qmm.levenshtein_scores(QUERY, column, workers=1),
                       "lev": lambda: qm.levenshtein_batch(QUERY, short)}, repeats)
        ratios.add("levenshtein_scores of a pyarrow column, 1 worker / levenshtein_batch, short words",
                  t["col"] / t["lev"])
        percand["quillmatch_many.levenshtein_scores, pyarrow column, 1 worker"] = t["col"] / n

    halves = [short[:n // 2], short[n // 2:]]
    jobs = [lambda h=h: qm.levenshtein_batch(QUERY, h) for h in halves]
    wall = time.perf_counter
    t = alternate({"one": lambda: [job() for job in jobs], "two": lambda: in_threads(jobs)}, repeats, wall)
    ratios.add("speed-up of 2 threads, each levenshtein_batch of %s short words" % count(len(halves[0])),
              t["one"] / t["two"])
    jobs = [lambda h=h: qm.levenshtein_batch(QUERY, h) for h in thread_texts]
    t = alternate({"one": lambda: [job() for job in jobs], "two": lambda: in_threads(jobs)}, repeats, wall)
    ratios.add("speed-up of 2 threads, each levenshtein_batch of %s 1 000-letter texts"
              % count(len(thread_texts[0])), t["one"] / t["two"])

    t = alternate({"lev": lambda: call_loop(qm.levenshtein_bp, long_pairs),
                   "osa": lambda: call_loop(qm.damerau_bp, long_pairs),
                   "jw": lambda: call_loop(qm.jaro_winkler_similarity, long_pairs)}, repeats)
    ratios.add("jaro_winkler_similarity / levenshtein_bp, 1 000-letter pairs", t["jw"] / t["lev"])
    ratios.add("damerau_bp / levenshtein_bp, 1 000-letter pairs", t["osa"] / t["lev"])

    if peers.sz_batch:
        t = alternate({"lev": lambda: qm.levenshtein_batch(big_query, big_texts),
                       "sz": lambda: peers.sz_batch(big_query, big_texts)}, repeats)
        ratios.add("levenshtein_batch / StringZilla engine, 1 000-letter query, %s texts"
                  % count(len(big_texts)), t["lev"] / t["sz"])

    # Absolute times for the plot: quillmatch and every installed peer, same loop shape.
    print("\nabsolute times (peers' Python loops on a smaller sample where slow, scaled)")
    ours = [("quillmatch.levenshtein_bp", qm.levenshtein_bp), ("quillmatch.damerau_bp", qm.damerau_bp),
            ("quillmatch.jaro_winkler_similarity", qm.jaro_winkler_similarity)]
    for dest, pairs, peer_pairs, reps in ((per13, pairs13, pairs13, repeats),
                                          (perlong, long_pairs, long_pairs[:size["peer_long_pairs"]], 3)):
        thunks = {name: (lambda f=f: call_loop(f, pairs)) for name, f in ours}
        thunks.update({name: (lambda f=f: call_loop(f, peer_pairs)) for name, f in peers.all()})
        for name, seconds in alternate(thunks, reps).items():
            dest[name] = seconds / (len(pairs) if name.startswith("quillmatch") else len(peer_pairs))
    sample_words = short[:size["peer_words"]]
    thunks = {name + " loop": (lambda f=f: scan_loop(f, QUERY, sample_words))
              for name, f in peers.all() if not name.startswith("stringzillas")}
    for name, seconds in alternate(thunks, 3).items():
        percand[name] = seconds / len(sample_words)

    for title, d in times.items():
        table(title, ["function", "time"],
              [[name, per_call(s)] for name, s in sorted(d.items(), key=lambda kv: kv[1])])

    table("ratios of best times, alternately timed in this run",
          ["ratio", "measured"], ratios.rows)
    print("at the end, %s" % load())

    plot = args.plot if args.plot is not None else (
        os.path.join(HERE, "..", "build", "peers-quick.png") if quick else os.path.join(HERE, "peers.png"))
    if plot:
        draw(times, plot, "Python %s, CPU time, best of %d%s" % (
            sys.version.split()[0], repeats, ", quick run" if quick else ""))


def draw(times, path, subtitle):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("note: matplotlib is not installed; no plot")
        return
    fig, axes = plt.subplots(len(times), 1, figsize=(10, 3.2 + 0.45 * sum(map(len, times.values()))),
                             gridspec_kw={"height_ratios": [len(d) for d in times.values()]})
    for ax, (title, d) in zip(axes, times.items()):
        items = sorted(d.items(), key=lambda kv: -kv[1])
        names = [k for k, _ in items]
        values = [v * 1e9 for _, v in items]
        colors = ["tab:orange" if k.startswith("quillmatch") else "tab:gray" if "reference" in k else "tab:blue" for k in names]
        ax.barh(names, values, color=colors)
        ax.set_xscale("log")
        ax.set_title(title, fontsize=10)
        ax.set_xlabel("ns (log scale)")
        for y, v in enumerate(values):
            ax.text(v, y, " " + per_call(v / 1e9), va="center", fontsize=8)
        ax.set_xlim(right=max(values) * 8)
        ax.tick_params(axis="y", labelsize=8)
    fig.suptitle("quillmatch (orange), its peers (blue) and a reference (gray): time per call or per"
                 " candidate\n" + subtitle,
                 fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.97))
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=90)
    print("plot written to %s" % os.path.relpath(path))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="smaller data and fewer repetitions, for a smoke run")
    parser.add_argument("--plot", default=None,
                        help="PNG to write (default bench/peers.png, or build/peers-quick.png with --quick; "
                             "empty for none)")
    run(parser.parse_args())


if __name__ == "__main__":
    main()
