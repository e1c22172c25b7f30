"""What the cluster adapters of the keyed self join share: hot keys split into
cells, the bucket each row is shuffled on, and the one light pass over the
input that finds what the join needs to know before it starts.

A key with many rows would put all its pairs on one task. A hot key with I
index rows and P probe rows is split two ways: its index rows are spread
over `a` slices and its probe rows over `b` slices, each by a fixed hash of
the row's id, and the key's a x b cells each take one slice of each. An
index row is copied into the b cells of its slice, a probe row into the a
cells of its own: each (index, probe) meeting of the key then happens in
exactly one cell, (slice of the index row, slice of the probe row), which is
what bucket_pairs() needs to emit each pair once, as long as each cell is
scored alone: a group holding two cells of one key would see the index rows
of one meet the probe rows of the other, and emit their pairs a second time
(score_cells). a = ceil(I / hot_rows) and
b = ceil(P / hot_rows), so no cell holds much more than hot_rows rows of
either role; the copies cost I * b + P * a rows. A key with few rows keeps
one bucket, the key itself.

Only the routing depends on the split: every adapter's task must agree on
the same `ways`, but whether they were counted exactly does not change the
pairs found. So the counts may come from a sample (survey_counts).
"""

from typing import Any, Dict, Tuple

import numpy as np

INDEX_ROW = 0
PROBE_ROW = 1

# A survey keys every SAMPLE_EVERY-th text of a partition (fewer when
# hot_rows is small, so that a key at the threshold is still seen some 64
# times): the counts need only tell the heavy keys apart, and keying all
# texts twice would cost a second full pass of key_rows.
SAMPLE_EVERY = 16


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


def key_counts(keys: Any, roles: Any) -> Tuple[Any, Any, Any]:
    """(keys, index rows, probe rows): each distinct key and its rows by role."""
    keys = np.asarray(keys, dtype=np.uint64)
    probe = np.asarray(roles) == PROBE_ROW
    distinct, inverse = np.unique(keys, return_inverse=True)
    probes = np.bincount(inverse, weights=probe, minlength=len(distinct)).astype(np.int64)
    total = np.bincount(inverse, minlength=len(distinct)).astype(np.int64)
    return distinct, total - probes, probes


def hot_ways(keys: Any, index_counts: Any, probe_counts: Any, hot_rows: int) -> Dict[int, Tuple[int, int]]:
    """(a, b) per key with more than hot_rows index or probe rows: its index
    rows in a slices and its probe rows in b, each slice about hot_rows."""
    index_counts = np.asarray(index_counts, dtype=np.int64)
    probe_counts = np.asarray(probe_counts, dtype=np.int64)
    hot = (index_counts > hot_rows) | (probe_counts > hot_rows)
    a = np.maximum(1, -(-index_counts[hot] // hot_rows))
    b = np.maximum(1, -(-probe_counts[hot] // hot_rows))
    return {int(k): (int(i), int(p)) for k, i, p in zip(np.asarray(keys, dtype=np.uint64)[hot], a, b)}


def sample_every(hot_rows: int) -> int:
    return int(max(1, min(SAMPLE_EVERY, hot_rows // 64)))


def survey_counts(keys: Any, roles: Any, every: int, at_least: float) -> Tuple[Any, Any, Any]:
    """key_counts of a partition's sample of one text in `every`, scaled to the
    whole partition, keeping the keys with at least `at_least` rows of a role.
    Summed over the partitions they estimate each heavy key's rows: a key over
    the threshold in all has at least total / partitions rows in one, so
    at_least = hot_rows / (2 * partitions) loses none that is hot and spread
    evenly, and keeps what each partition sends back small."""
    distinct, index, probe = key_counts(keys, roles)
    index, probe = index * every, probe * every
    keep = (index >= at_least) | (probe >= at_least)
    return distinct[keep], index[keep], probe[keep]


def merge_counts(parts: Any) -> Tuple[Any, Any, Any]:
    """The sum of (keys, index rows, probe rows) triples by key."""
    parts = [p for p in parts if len(p[0])]
    if not parts:
        return np.array([], np.uint64), np.array([], np.int64), np.array([], np.int64)
    keys = np.concatenate([np.asarray(p[0], dtype=np.uint64) for p in parts])
    distinct, inverse = np.unique(keys, return_inverse=True)
    sums = []
    for role in (1, 2):
        counts = np.concatenate([np.asarray(p[role], dtype=np.int64) for p in parts])
        sums.append(np.bincount(inverse, weights=counts, minlength=len(distinct)).astype(np.int64))
    return distinct, sums[0], sums[1]


def spread(keys: Any, ids: Any, roles: Any, ways: Dict[int, Tuple[int, int]]) -> Tuple[Any, Any, Any]:
    """(rows, buckets, cells): the positions of the rows to shuffle, a row of
    a hot key once per cell it is copied into; the bucket of each; and its
    cell of the key, numbered from 1, or 0 for a key not split."""
    keys = np.asarray(keys, dtype=np.uint64)
    n = len(keys)
    if not ways or n == 0:
        return np.arange(n), keys, np.zeros(n, np.int32)
    hot_keys = np.fromiter(ways.keys(), dtype=np.uint64, count=len(ways))
    split = np.array(list(ways.values()), dtype=np.int64).reshape(-1, 2)
    order = np.argsort(hot_keys)
    hot_keys, split = hot_keys[order], split[order]
    at = np.minimum(np.searchsorted(hot_keys, keys), len(hot_keys) - 1)
    found = hot_keys[at] == keys
    a = np.where(found, split[at, 0], 1)
    b = np.where(found, split[at, 1], 1)
    hot = (a > 1) | (b > 1)
    if not hot.any():
        return np.arange(n), keys, np.zeros(n, np.int32)
    index = np.asarray(roles) == INDEX_ROW
    # An index row goes to every cell of its slice's row of cells, a probe row
    # to every cell of its slice's column.
    copies = np.where(index, b, a)
    rows = np.repeat(np.arange(n), copies)
    first = np.cumsum(copies) - copies
    copy = np.arange(len(rows)) - np.repeat(first, copies)
    slices = np.where(index, a, b)[rows]
    own = (_mix(np.asarray(ids, dtype=np.int64)[rows].view(np.uint64)) % slices.astype(np.uint64)).astype(np.int64)
    row_index = index[rows]
    cell_a = np.where(row_index, own, copy)
    cell_b = np.where(row_index, copy, own)
    buckets = keys[rows].copy()
    hot_rows_ = hot[rows]
    cells = np.where(hot_rows_, cell_a * b[rows] + cell_b + 1, 0)
    buckets[hot_rows_] = _mix(buckets[hot_rows_] ^ _mix(cells[hot_rows_].astype(np.uint64)))
    return rows, buckets, cells.astype(np.int32)


def cell_groups(keys: Any, cells: Any) -> Any:
    """The positions of the rows of each part to score alone: the rows of
    keys not split together, then each (key, cell) of a split key."""
    keys = np.asarray(keys, dtype=np.uint64)
    cells = np.asarray(cells)
    split = np.flatnonzero(cells != 0)
    if len(split) == 0:
        return [np.arange(len(keys))]
    out = [np.flatnonzero(cells == 0)]
    order = split[np.lexsort((cells[split], keys[split]))]
    k, c = keys[order], cells[order]
    starts = np.flatnonzero(np.concatenate([[True], (k[1:] != k[:-1]) | (c[1:] != c[:-1])]))
    out += np.split(order, starts[1:])
    return out


def score_cells(keys: Any, ids: Any, roles: Any, cells: Any, texts: Any, measure: str, score_cutoff: float,
                **options: Any) -> Tuple[Any, Any, Any]:
    """bucket_pairs() over a group of shuffled rows, each cell of a split key
    scored alone (texts: one a row, a pyarrow string array or a list)."""
    from quillmatch_many import bucket_pairs

    def take(at: Any) -> Any:
        if isinstance(texts, list):
            return [texts[k] for k in at.tolist()]
        import pyarrow as pa

        return texts.take(pa.array(at))

    keys, ids, roles = np.asarray(keys, dtype=np.uint64), np.asarray(ids, dtype=np.int64), np.asarray(roles)
    parts = cell_groups(keys, cells)
    if len(parts) == 1:
        return bucket_pairs((keys, ids, roles), texts, measure, score_cutoff, **options)
    found = [bucket_pairs((keys[at], ids[at], roles[at]), take(at), measure, score_cutoff, **options)
             for at in parts]
    return tuple(np.concatenate(column) for column in zip(*found))
