"""What the cluster adapters of the keyed self join share: hot keys split into
sub-buckets, and the bucket each row is shuffled on.

A key with many probe rows would put all its pairs on one task. Its probe
rows are spread over `ways` sub-buckets by a fixed hash of their id, and its
index rows are copied into every sub-bucket: each (index, probe) meeting of
the key then happens in exactly one sub-bucket, the probe row's, which is
what bucket_pairs() needs to emit each pair once. A key with few rows keeps
one bucket, the key itself.
"""

from typing import Any, Dict, Tuple

import numpy as np

INDEX_ROW = 0
PROBE_ROW = 1


def _mix(x: Any) -> Any:
    """splitmix64's finaliser over a uint64 array (wrapping arithmetic)."""
    x = np.asarray(x, dtype=np.uint64)
    with np.errstate(over="ignore"):
        x = x ^ (x >> np.uint64(30))
        x = x * np.uint64(0xBF58476D1CE4E5B9)
        x = x ^ (x >> np.uint64(27))
        x = x * np.uint64(0x94D049BB133111EB)
        x = x ^ (x >> np.uint64(31))
    return x


def hot_ways(keys: Any, probe_counts: Any, hot_rows: int) -> Dict[int, int]:
    """Sub-buckets per key whose probe rows exceed hot_rows: enough that each
    holds about hot_rows of them."""
    counts = np.asarray(probe_counts, dtype=np.int64)
    hot = counts > hot_rows
    ways = -(-counts[hot] // hot_rows)
    return {int(k): int(w) for k, w in zip(np.asarray(keys, dtype=np.uint64)[hot], ways)}


def spread(keys: Any, ids: Any, roles: Any, ways: Dict[int, int]) -> Tuple[Any, Any]:
    """(rows, buckets): the positions of the rows to shuffle, an index row of
    a hot key once per sub-bucket, and the bucket of each."""
    keys = np.asarray(keys, dtype=np.uint64)
    n = len(keys)
    if not ways or n == 0:
        return np.arange(n), keys
    hot_keys = np.fromiter(ways.keys(), dtype=np.uint64, count=len(ways))
    hot_ways_ = np.fromiter(ways.values(), dtype=np.int64, count=len(ways))
    order = np.argsort(hot_keys)
    hot_keys, hot_ways_ = hot_keys[order], hot_ways_[order]
    at = np.minimum(np.searchsorted(hot_keys, keys), len(hot_keys) - 1)
    hot = hot_keys[at] == keys
    w = np.where(hot, hot_ways_[at], 1)
    index = np.asarray(roles) == INDEX_ROW
    copies = np.where(index, w, 1)
    rows = np.repeat(np.arange(n), copies)
    # An index row's copies take sub-buckets 0 .. w - 1; a probe row the one
    # its id hashes to.
    first = np.cumsum(copies) - copies
    sub = np.arange(len(rows)) - np.repeat(first, copies)
    probe = ~index[rows]
    sub[probe] = (_mix(np.asarray(ids, dtype=np.int64)[rows][probe].view(np.uint64))
                  % w[rows][probe].astype(np.uint64)).astype(np.int64)
    buckets = keys[rows].copy()
    hot_rows_ = hot[rows]
    buckets[hot_rows_] = _mix(buckets[hot_rows_] ^ _mix(sub[hot_rows_].astype(np.uint64) + np.uint64(1)))
    return rows, buckets
