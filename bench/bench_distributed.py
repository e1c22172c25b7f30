"""The keyed self join on a Dask LocalCluster against the one-machine pairs function.

    python bench/bench_distributed.py [--sizes 100000,300000] [--workers 2] [--partitions 8]

Run it with an interpreter that imports quillmatch_many, numpy, pandas and dask[distributed]
(the build's, with PYTHONPATH=<build>/py). Names: syllables in a first and a last name,
seeded, a fifth of them copies of an earlier name with one typo (join_data.typo), so that
pairs within a cutoff exist; --faker takes bench_join.names() instead (Faker names, made and
cached on first use, minutes for a million).

Per size and job (levenshtein cutoff 1 and 2, damerau cutoff 2 and normalized 0.85): wall
time of {measure}_pairs(names, score_cutoff=d) in this process (every core), and of
quillmatch_many.dask.pairs(...).compute() on a LocalCluster of --workers processes of one
thread each on 127.0.0.1, started before the timing and warmed by a small join; their
ratio; the rows the shuffle moves per name and their bytes (key, id, role, bucket and the
text's UTF-8, as the rows frame holds them before pandas' overhead). The pairs of the two
runs are compared outside the timing; a disagreement exits with status 1. One run each:
the cluster's times vary more than the repeats would settle.
"""

import argparse
import logging
import os
import random
import sys
import time

import numpy as np

import quillmatch_many as qmm

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from join_data import typo  # noqa: E402

SYLLABLES = ["an", "ber", "ca", "del", "e", "fer", "gu", "ha", "in", "jo", "ka", "li", "mar", "no", "o",
             "pe", "qui", "ro", "sa", "ta", "u", "ve", "wil", "xa", "yo", "zi", "son", "man", "ton", "ez"]
# A float cutoff is a normalized one.
JOBS = [("levenshtein", 1), ("levenshtein", 2), ("damerau", 2), ("damerau", 0.85)]


def simple_names(n, seed=7):
    rnd = random.Random(seed)
    out = []
    for k in range(n):
        if k and rnd.random() < 0.2:
            out.append(typo(rnd, out[rnd.randrange(k)]))
            continue
        first = "".join(rnd.choice(SYLLABLES) for _ in range(rnd.randint(1, 3))).capitalize()
        last = "".join(rnd.choice(SYLLABLES) for _ in range(rnd.randint(2, 4))).capitalize()
        out.append(first + " " + last)
    return out


def shuffled_per_name(names, measure, d):
    """Rows per name and bytes per name that the shuffle moves (without hot-key copies)."""
    normalized = isinstance(d, float)
    keys, ids, roles = qmm.key_rows(names, measure, d, longest=max(map(len, names)) if normalized else None,
                                    normalized=normalized)
    text_bytes = np.array([len(t.encode("utf-8")) for t in names], dtype=np.int64)
    rows = len(keys) / len(names)
    return rows, (len(keys) * (8 + 8 + 1 + 8) + int(text_bytes[ids].sum())) / len(names)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", default="100000")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--faker", action="store_true")
    args = parser.parse_args()

    import warnings

    import dask.dataframe as dd
    import distributed
    import pandas as pd

    import quillmatch_many.dask as qdask

    # from_pandas puts the names in the task graph, which distributed warns of; the
    # sizes here are small enough for that.
    warnings.filterwarnings("ignore", message="Sending large graph")
    failed = False
    with distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster):
        warm = dd.from_pandas(pd.DataFrame({"name": simple_names(2000)}), npartitions=2)
        qdask.pairs(warm, "name", "levenshtein", 1).compute()
        print("| names | job | one machine s | Dask s | Dask / one | pairs | rows / name | bytes / name |")
        print("| ---: | --- | ---: | ---: | ---: | ---: | ---: | ---: |")
        for n in (int(s) for s in args.sizes.split(",")):
            if args.faker:
                from bench_join import names as faker_names
                names = faker_names(n)
            else:
                names = simple_names(n)
            df = dd.from_pandas(pd.DataFrame({"name": names}), npartitions=args.partitions)
            for measure, d in JOBS:
                one = getattr(qmm, measure + "_pairs")
                start = time.perf_counter()
                normalized = isinstance(d, float)
                i, j, s = one(names, score_cutoff=d, normalized=normalized)
                one_s = time.perf_counter() - start
                start = time.perf_counter()
                got = qdask.pairs(df, "name", measure, d, normalized=normalized).compute()
                dask_s = time.perf_counter() - start
                want = sorted(zip(i.tolist(), j.tolist(), s.tolist()))
                found = sorted(zip(got["left"].tolist(), got["right"].tolist(), got["score"].tolist()))
                if found != want:
                    print("DISAGREE: %s %s on %d names: %d pairs against %d" % (measure, d, n, len(found), len(want)),
                          flush=True)
                    failed = True
                rows, size = shuffled_per_name(names, measure, d)
                print("| %d | %s %s | %.2f | %.2f | %.1f | %d | %.1f | %.0f |"
                      % (n, measure, d, one_s, dask_s, dask_s / one_s, len(want), rows, size), flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
