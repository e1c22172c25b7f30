"""The Dask recipe of examples/dask_match.py on a local cluster of two worker
processes, every match checked against the scalar function."""

import heapq
import pathlib
import random
import sys

import pytest

import quillmatch as qm
from helpers import SANITIZED

if SANITIZED:
    pytest.skip("the recipe only moves texts; the plain run covers it", allow_module_level=True)
distributed = pytest.importorskip("distributed")
pytest.importorskip("dask.bag")

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import dask_match  # noqa: E402

K = 3


def texts(rng, n, letters="abcAB\u00e9\u4e2d"):
    return ["".join(rng.choice(letters) for _ in range(rng.randint(0, 9))) for _ in range(n)]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def expected(query, candidates, admit):
    """The K nearest admitted candidates as (distance, position), by brute force."""
    scored = ((qm.levenshtein_bp(query, c), i) for i, c in enumerate(candidates))
    return heapq.nsmallest(K, ((d, i) for d, i in scored if admit(d, candidates[i])))


@pytest.mark.parametrize("blocked", [False, True])
def test_every_match_is_the_scalar_best(client, blocked):
    rng = random.Random(5 + blocked)
    candidates = texts(rng, 700)
    queries = texts(rng, 230) + candidates[:20]
    if blocked:
        # Blocking on the first letter and the length loses no pair within
        # distance 2 that shares the first letter (lower-cased).
        found = dask_match.match(queries, candidates, k=K, max_distance=2,
                                 block_keys=dask_match.first_letter_and_length,
                                 candidate_partitions=3, query_block=60)

        def admit(d, c):
            return d <= 2 and c[:1].lower() == q[:1].lower()
    else:
        found = dask_match.match(queries, candidates, k=K, candidate_partitions=3, query_block=60)

        def admit(d, c):
            return True
    assert set(found) <= set(range(len(queries)))
    unmatched = 0
    for i, q in enumerate(queries):
        want = expected(q, candidates, admit)
        assert found.get(i, []) == want, (q, found.get(i), want)
        unmatched += not want
    assert unmatched < len(queries) // 2  # the data exercises the matches, not only misses
