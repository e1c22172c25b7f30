"""The keyed self join (key_rows, bucket_pairs) against the one-machine pairs
functions, pair for pair: driven in-process over groups of rows, and on a
Dask cluster."""

import collections
import contextlib
import os
import random
import socket
import subprocess
import sys
import time

import numpy as np
import pytest

import quillmatch_many as qmm
from helpers import SANITIZED
from quillmatch_many import _keyed

ONE_MACHINE = {"levenshtein": qmm.levenshtein_pairs, "damerau": qmm.damerau_pairs}


def texts(seed, n=360):
    """Names with typos and transpositions, exact and case-only duplicates,
    texts shorter than any cutoff here, non-ASCII letters (one that folding
    lengthens), and a hot segment: many texts of one length sharing a prefix."""
    rng = random.Random(seed)
    letters = "abcdefghij\u00e9\u00df\u4e2d"
    base = ["".join(rng.choice(letters) for _ in range(rng.randint(4, 12))) for _ in range(n // 4)]
    out = list(base)
    for t in base:
        s = list(t)
        k = rng.randrange(len(s))
        op = rng.randrange(4)
        if op == 0:
            s[k] = rng.choice(letters)
        elif op == 1:
            del s[k]
        elif op == 2 and k + 1 < len(s):
            s[k], s[k + 1] = s[k + 1], s[k]
        else:
            s.insert(k, rng.choice(letters))
        out.append("".join(s))
    out += [t.upper() for t in rng.sample(base, 12)] + rng.sample(base, 12)
    out += ["", "a", "b", "ab", "ba", "abc", "\u0130", "\u0130b", "x" * 3]
    out += ["hotprefix" + "".join(rng.choice("ab") for _ in range(3)) for _ in range(n // 4)]
    rng.shuffle(out)
    return out


def expected(words, measure, d, case_insensitive):
    """A float cutoff is a normalized one."""
    i, j, s = ONE_MACHINE[measure](words, score_cutoff=d, case_insensitive=case_insensitive,
                                   normalized=isinstance(d, float))
    return sorted(zip(i.tolist(), j.tolist(), s.tolist()))


def keyed_in_process(words, measure, d, case_insensitive=False, key_bits=64, groups=1, hot_rows=None,
                     partitions=3):
    """The distributed plan as a plain loop: key rows per partition (ids given
    as positions in the whole list), hot keys split, rows grouped by bucket,
    bucket_pairs per group."""
    longest = max(len(w) for w in words) * 2
    options = dict(case_insensitive=case_insensitive, key_bits=key_bits, longest=longest,
                   normalized=isinstance(d, float))
    ids = np.arange(len(words), dtype=np.int64)
    parts = [qmm.key_rows(words[p::partitions], measure, d, ids[p::partitions], **options)
             for p in range(partitions)]
    keys, row_ids, roles = (np.concatenate(c) for c in zip(*parts))
    ways = {}
    if hot_rows is not None:
        ways = _keyed.hot_ways(*_keyed.key_counts(keys, roles), hot_rows)
    at, buckets, cells = _keyed.spread(keys, row_ids, roles, ways)
    found = []
    group_of = buckets % np.uint64(groups)
    for g in range(groups):
        held = group_of == g
        rows = at[held]
        left, right, score = _keyed.score_cells(keys[rows], row_ids[rows], roles[rows], cells[held],
                                                [words[k] for k in row_ids[rows]], measure, d,
                                                **options)
        found += zip(left.tolist(), right.tolist(), score.tolist())
    return found, ways


def check(found, want):
    duplicated = [p for p, c in collections.Counter((i, j) for i, j, _ in found).items() if c > 1]
    assert not duplicated, duplicated[:5]
    assert sorted(found) == want


# Each measure at cutoffs 0 to 3 (with folding at 1) and normalized cutoffs
# (floats), with full keys and keys of 3 bits (most rows collide), in one
# group and in many, with and without the hot keys split; then cutoffs under
# which nothing or little is cut.
CASES = [(m, d, ci, bits, groups, hot)
         for m in ("levenshtein", "damerau")
         for d, ci in ((0, False), (1, False), (1, True), (2, False), (3, False), (0.8, False), (0.85, True))
         for bits, groups, hot in ((64, 1, None), (64, 7, 20), (3, 1, None), (3, 5, 40))]
CASES += [("levenshtein", 12, False, 64, 3, 50), ("damerau", 6, True, 64, 3, 50),
          ("levenshtein", 0.5, False, 64, 3, 50), ("damerau", 0.0, False, 64, 3, 200), ("levenshtein", 1.0, True, 5, 2, 9),
          ("levenshtein", 2 ** 40, False, 64, 4, 200), ("damerau", 2 ** 64 - 1, False, 8, 4, 200)]


@pytest.mark.parametrize("measure,d,case_insensitive,key_bits,groups,hot_rows", CASES)
def test_in_process_groups_give_the_one_machine_pairs(measure, d, case_insensitive, key_bits, groups, hot_rows):
    words = texts(int(d * 10) % 7 + key_bits + groups, 120 if d > 3 or d in (0.0, 0.5) else 360)
    found, ways = keyed_in_process(words, measure, d, case_insensitive, key_bits, groups, hot_rows)
    check(found, expected(words, measure, d, case_insensitive))
    if hot_rows is not None and d in (1, 2, 3) and key_bits == 64:
        assert ways, "the shared prefix should make a hot key"
    if ways:
        # Split, no bucket holds much more than hot_rows rows of a key in either role.
        keys, ids, roles = qmm.key_rows(words, measure, d, case_insensitive=case_insensitive, key_bits=key_bits,
                                        longest=2 * max(map(len, words)), normalized=isinstance(d, float))
        at, buckets, _ = _keyed.spread(keys, ids, roles, ways)
        for role in (_keyed.INDEX_ROW, _keyed.PROBE_ROW):
            held = buckets[roles[at] == role]
            if len(held):
                assert np.unique(held, return_counts=True)[1].max() <= 2 * hot_rows


def test_split_keys_meet_each_index_and_probe_row_once():
    # Keys of few rows, keys split on one side only and on both, ways given
    # for keys that have no rows, and ids of any sign: every (index, probe)
    # pair of rows of a key shares exactly one bucket, and a row of a key that
    # is not split keeps its key as its bucket.
    rng = np.random.default_rng(5)
    for case in range(40):
        n = int(rng.integers(0, 400))
        keys = rng.integers(0, 6, n).astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15)
        roles = rng.integers(0, 2, n).astype(np.int8)
        ids = rng.integers(-2 ** 62, 2 ** 62, n)
        ways = {int(k): (int(rng.integers(1, 5)), int(rng.integers(1, 5)))
                for k in np.unique(keys)[:int(rng.integers(0, 4))].tolist() + [7]}
        rows, buckets, cells = _keyed.spread(keys, ids, roles, ways)
        assert np.array_equal(np.unique(rows), np.arange(n))
        at = collections.defaultdict(set)
        for r, b in zip(rows.tolist(), buckets.tolist()):
            assert b not in at[r], "a row is copied twice into one bucket"
            at[r].add(b)
        for r in range(n):
            a, b = ways.get(int(keys[r]), (1, 1))
            assert len(at[r]) == (b if roles[r] == _keyed.INDEX_ROW else a)
        for r, c in zip(rows.tolist(), cells.tolist()):
            assert (c == 0) == (ways.get(int(keys[r]), (1, 1)) == (1, 1))
            if c == 0:
                assert at[r] == {int(keys[r])}
        for i in np.flatnonzero(roles == _keyed.INDEX_ROW).tolist():
            for p in np.flatnonzero((roles == _keyed.PROBE_ROW) & (keys == keys[i])).tolist():
                assert len(at[i] & at[p]) == 1, (case, i, p)


def test_sampled_counts_find_the_heavy_keys():
    # One key heavy on the index side, one on the probe side, many light:
    # merged over partitions, the sampled estimates split the heavy two alone.
    rng = np.random.default_rng(9)
    parts = []
    for p in range(4):
        keys = np.concatenate([np.full(2800, 11), np.full(2500, 22), rng.integers(100, 10 ** 6, 5000)])
        roles = np.concatenate([np.zeros(2800), np.ones(2500), rng.integers(0, 2, 5000)]).astype(np.int8)
        order = rng.permutation(len(keys))
        keys, roles = keys[order].astype(np.uint64), roles[order]
        parts.append(_keyed.survey_counts(keys[::8], roles[::8], 8, 4000 / (2 * 4)))
    ways = _keyed.hot_ways(*_keyed.merge_counts(parts), 4000)
    assert ways == {11: (3, 1), 22: (1, 3)}
    assert _keyed.hot_ways(*_keyed.merge_counts([]), 4000) == {}


def test_rows_are_stable_and_each_text_keyed_alone():
    words = texts(3)
    keys, ids, roles = qmm.key_rows(words, "damerau", 2)
    assert (keys.dtype, ids.dtype, roles.dtype) == (np.uint64, np.int64, np.int8)
    # A text's rows do not depend on the others beside it, nor on the run.
    alone = [qmm.key_rows([w], "damerau", 2, [k]) for k, w in enumerate(words)]
    assert np.array_equal(keys, np.concatenate([a[0] for a in alone]))
    assert np.array_equal(ids, np.concatenate([a[1] for a in alone]))
    assert np.array_equal(roles, np.concatenate([a[2] for a in alone]))
    # Keys are a wire format, the same on every machine and in every release:
    # rows made by different workers must meet.
    assert qmm.key_rows(["martha"], "levenshtein", 1)[0][:2].tolist() == [89453837415691618, 9273358613715147477]
    # Under a cutoff above every length, each text is one band: an index row and a probe row.
    assert qmm.key_rows(["abc", "abcd"], "levenshtein", 2 ** 31)[2].tolist() == [0, 1, 0, 1]
    # A pyarrow column gives the rows a list gives.
    pa = pytest.importorskip("pyarrow")
    assert np.array_equal(qmm.key_rows(pa.array(words), "damerau", 2)[0], keys)


def test_arguments_are_checked():
    with pytest.raises(ValueError, match="measure"):
        qmm.key_rows(["a"], "jaro_winkler", 1)
    with pytest.raises(ValueError, match="key_bits"):
        qmm.key_rows(["a"], "levenshtein", 1, key_bits=0)
    with pytest.raises(ValueError, match="longer than longest"):
        qmm.key_rows(["abc", "abcd"], "levenshtein", 1, longest=3)
    with pytest.raises(ValueError, match="ids has 1 entries"):
        qmm.key_rows(["a", "b"], "levenshtein", 1, [0])
    with pytest.raises(TypeError, match="longest is required"):
        qmm.key_rows(["a"], "levenshtein", 0.9, normalized=True)
    with pytest.raises(ValueError, match="score_cutoff must lie in"):
        qmm.key_rows(["a"], "levenshtein", 1.5, longest=1, normalized=True)
    with pytest.raises(ValueError, match="rows have"):
        qmm.bucket_pairs(([1], [0], [0]), ["a", "b"], "levenshtein", 1)


# The cluster runs only move rows between the same native steps, which the
# tests above drive in-process; worker processes of a sanitized build would
# need its runtime preloaded.
hosts_run = pytest.mark.skipif(SANITIZED, reason="the in-process tests cover the native steps")


@hosts_run
def test_dask_cluster_gives_the_one_machine_pairs():
    distributed = pytest.importorskip("distributed")
    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    import quillmatch_many.dask as qdask

    words = texts(11)
    frame = pd.DataFrame({"name": words, "key": np.arange(len(words), dtype=np.int64) * 3 + 7})
    df = dd.from_pandas(frame, npartitions=4)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        for measure, d, ci, id_column, hot_rows, bits in (("levenshtein", 2, False, None, 30, 64),
                                                           ("damerau", 1, True, "key", None, 4),
                                                           ("damerau", 0.8, False, "key", 30, 64),
                                                           ("levenshtein", 1, False, None, 5, 64)):
            got = qdask.pairs(df, "name", measure, d, id_column, case_insensitive=ci, hot_rows=hot_rows,
                              npartitions=3, key_bits=bits, normalized=isinstance(d, float)).compute()
            found = list(zip(got["left"].tolist(), got["right"].tolist(), got["score"].tolist()))
            if id_column:
                found = [((i - 7) // 3, (j - 7) // 3, s) for i, j, s in found]
            check(found, expected(words, measure, d, ci))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextlib.contextmanager
def spark_standalone():
    """A standalone Spark master and one worker of two cores on 127.0.0.1 (the pip
    package has no start scripts: spark-class runs each), stopped on leaving."""
    import pyspark

    spark_class = os.path.join(os.path.dirname(pyspark.__file__), "bin", "spark-class")
    port = free_port()
    url = "spark://127.0.0.1:%d" % port
    env = dict(os.environ, SPARK_LOCAL_IP="127.0.0.1", SPARK_NO_DAEMONIZE="1")
    servers = [subprocess.Popen([spark_class, "org.apache.spark.deploy.master.Master", "--host", "127.0.0.1",
                                 "--port", str(port), "--webui-port", str(free_port())],
                                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
    try:
        # Java may take a while to start on a loaded machine: wait for the port
        # for as long as the master runs.
        while servers[0].poll() is None:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.2)
        assert servers[0].poll() is None, "the Spark master ended"
        servers.append(subprocess.Popen([spark_class, "org.apache.spark.deploy.worker.Worker", url,
                                         "--host", "127.0.0.1", "--cores", "2", "--memory", "2g",
                                         "--webui-port", str(free_port())],
                                        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        yield url
    finally:
        for server in reversed(servers):
            server.terminate()
            try:
                server.wait(timeout=60)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


@hosts_run
@pytest.mark.parametrize("cluster", ["local", "standalone"])
def test_spark_gives_the_one_machine_pairs(monkeypatch, cluster):
    pytest.importorskip("pyspark")
    monkeypatch.setenv("PYSPARK_PYTHON", sys.executable)
    from pyspark.sql import SparkSession

    import quillmatch_many.spark as qspark

    words = texts(13)
    with contextlib.ExitStack() as stack:
        master = "local[2]" if cluster == "local" else stack.enter_context(spark_standalone())
        spark = (SparkSession.builder.master(master).appName("quillmatch-keyed")
                 .config("spark.driver.host", "127.0.0.1").config("spark.driver.bindAddress", "127.0.0.1")
                 .config("spark.ui.enabled", "false").config("spark.sql.shuffle.partitions", "4")
                 .config("spark.executor.memory", "1g").getOrCreate())
        stack.callback(spark.stop)
        df = spark.createDataFrame([(k * 3 + 7, w) for k, w in enumerate(words)], "key long, name string")
        for measure, d, ci, id_column, hot_rows, bits in (("damerau", 2, False, "key", 30, 64),
                                                           ("levenshtein", 1, True, "key", None, 4),
                                                           ("levenshtein", 0.85, False, "key", 30, 64),
                                                           ("damerau", 1, False, None, 5, 64),
                                                           ("levenshtein", 2, False, None, 2000, 64)):
            got = qspark.pairs(df, "name", measure, d, id_column, case_insensitive=ci, hot_rows=hot_rows,
                               key_bits=bits, normalized=isinstance(d, float)).collect()
            found = [(r.left, r.right, r.score) for r in got]
            if id_column:
                found = [((i - 7) // 3, (j - 7) // 3, s) for i, j, s in found]
            check(found, expected(words, measure, d, ci))


def test_any_texts_cutoff_and_grouping_give_the_one_machine_pairs():
    hypothesis = pytest.importorskip("hypothesis")
    st = hypothesis.strategies

    @hypothesis.settings(max_examples=150)
    @hypothesis.given(words=st.lists(st.text("abAB\u0130\u00e9", max_size=10), min_size=2, max_size=40),
                      measure=st.sampled_from(["levenshtein", "damerau"]),
                      d=st.integers(0, 4) | st.sampled_from([0.0, 0.5, 0.7, 0.75, 0.9, 1.0]),
                      case_insensitive=st.booleans(), key_bits=st.integers(1, 64), groups=st.integers(1, 4),
                      hot_rows=st.sampled_from([None, 1, 5]))
    def run(words, measure, d, case_insensitive, key_bits, groups, hot_rows):
        found, _ = keyed_in_process(words, measure, d, case_insensitive, key_bits, groups, hot_rows, partitions=2)
        check(found, expected(words, measure, d, case_insensitive))

    run()
