"""Match many queries against many candidates on a Dask cluster.

    pip install "quillmatch[dask]"
    python examples/dask_match.py

The candidates are split into partitions that stay on the workers: each
partition is loaded and grouped by blocking key once, on the worker that keeps
it, and the queries travel to it in blocks. Inside a partition, the queries and
the candidates that share a blocking key are scored by `top_matches`, and the
best matches of each query are then merged across partitions.

`top_matches` is the one function to change to score many queries against many
candidates some other way (a many-against-many function, say); everything
around it only moves texts and merges results.
"""
import heapq
import random
from collections import defaultdict
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

import dask.bag as db
from dask.delayed import delayed
from dask.distributed import Client, LocalCluster

import quillmatch as qm

Match = Tuple[int, int]  # (distance, candidate id): tuples order best first
BlockKeys = Callable[[str], Iterable[str]]
# One partition of candidates, grouped: blocking key -> (candidate ids, texts).
Index = Dict[str, Tuple[List[int], List[str]]]


def top_matches(queries: Sequence[str], candidates: Sequence[str], k: int) -> List[List[Match]]:
    """For each query, its k nearest candidates as (distance, position in candidates),
    nearest first, ties broken by position."""
    return [
        heapq.nsmallest(k, zip(qm.levenshtein_batch(query, candidates), range(len(candidates))))
        for query in queries
    ]


def no_blocking(text: str) -> Iterable[str]:
    """Every query meets every candidate."""
    return ("",)


def first_letter_and_length(text: str) -> Iterable[str]:
    """Keys that two texts share when they begin with the same letter (lower-cased) and
    their lengths differ by at most 2, as they must for a distance of at most 2."""
    head = text[:1].lower()
    return {head + "|" + str(len(text) // 3), head + "|" + str((len(text) + 2) // 3)}


def build_index(pairs: Iterable[Tuple[int, str]], block_keys: BlockKeys) -> List[Index]:
    """Group one partition of (id, text) candidates by blocking key: the partition
    becomes a list of one Index. (A partition is a list: a generator cannot be kept.)"""
    index: Index = {}
    for cid, text in pairs:
        for key in set(block_keys(text)):
            ids, texts = index.setdefault(key, ([], []))
            ids.append(cid)
            texts.append(text)
    return [index]


def score_partition(
    indexes: Iterable[Index], queries: List[Tuple[int, str]], block_keys: BlockKeys, k: int,
    max_distance: Optional[int],
) -> List[Tuple[int, List[Match]]]:
    """The k best matches of each query within one candidate partition."""
    out: List[Tuple[int, List[Match]]] = []
    for index in indexes:
        by_key: Dict[str, List[Tuple[int, str]]] = defaultdict(list)
        for qid, text in queries:
            for key in set(block_keys(text)):
                if key in index:
                    by_key[key].append((qid, text))
        for key, group in by_key.items():
            ids, texts = index[key]
            found = top_matches([text for _, text in group], texts, k)
            for (qid, _), best in zip(group, found):
                out.append((qid, [(d, ids[pos]) for d, pos in best
                                   if max_distance is None or d <= max_distance]))
    return out


def merge(k: int) -> Callable[[List[Match], List[Match]], List[Match]]:
    """Keep the k best of two lists; a candidate met under two keys counts once."""
    def keep_best(a: List[Match], b: List[Match]) -> List[Match]:
        return heapq.nsmallest(k, set(a) | set(b))
    return keep_best


def match(
    queries: Sequence[str], candidates: Sequence[str], *, k: int = 1,
    max_distance: Optional[int] = None, block_keys: BlockKeys = no_blocking,
    candidate_partitions: int = 8, query_block: int = 10_000,
) -> Dict[int, List[Match]]:
    """For each query position with at least one match, its k best (distance, candidate
    position) pairs among the candidates sharing a blocking key, best first. Runs on
    the current Dask scheduler (the cluster of the Client last made).

    The candidates are sent from here; for candidates on disk, make the bag of
    (id, text) pairs on the workers instead (db.read_text(...).map(...), or a
    dataframe's to_bag()) and go on from its map_partitions(build_index, ...)."""
    index = (db.from_sequence(list(enumerate(candidates)), npartitions=candidate_partitions)
             .map_partitions(build_index, block_keys)
             .persist())  # loaded and grouped once, then kept on the workers
    keep_best = merge(k)
    parts = []
    for start in range(0, len(queries), query_block):
        # One task holds the block; each worker fetches it once for all its partitions.
        block = delayed(list(enumerate(queries[start:start + query_block], start)),
                        traverse=False)
        parts.append(index.map_partitions(score_partition, block, block_keys, k, max_distance))
    merged = db.concat(parts).foldby(lambda item: item[0], lambda acc, item: keep_best(acc, item[1]),
                                     [], keep_best, [])
    return {qid: best for qid, best in merged.compute() if best}


def main() -> None:
    rng = random.Random(7)
    names = ["".join(rng.choice("abcdefgh") for _ in range(rng.randint(4, 10)))
             for _ in range(20_000)]
    queries = [name[:2] + name[3:] for name in rng.sample(names, 2_000)]  # one letter dropped
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True) as cluster, \
            Client(cluster):
        found = match(queries, names, k=3, max_distance=2,
                      block_keys=first_letter_and_length, candidate_partitions=4)
    for qid in sorted(found)[:5]:
        print(repr(queries[qid]), [(d, names[cid]) for d, cid in found[qid]])
    print(len(found), "of", len(queries), "queries matched")


if __name__ == "__main__":
    main()
