"""The exact self join of an edit distance on a Dask cluster.

    import quillmatch_many.dask

    found = quillmatch_many.dask.pairs(df, "name", "levenshtein", 2, id_column="id")
    found.compute()  # columns left, right, score

`pairs` finds every pair of rows whose texts lie within a fixed distance, as
levenshtein_pairs / damerau_pairs find them on one machine, in one shuffle:
each partition turns its texts into key rows (key_rows), the rows are
shuffled on their key, and each partition after the shuffle scores the pairs
that meet in it (bucket_pairs), each pair coming out of exactly one. Keys
with many probe rows are split first (quillmatch_many._keyed). Dask is
imported only when `pairs` is called; the package itself does not need it.
"""

from typing import Any, Dict, Literal, Optional

from quillmatch_many import _keyed
from quillmatch_many import bucket_pairs, key_rows

__all__ = ["pairs"]


def pairs(df: Any, column: str, measure: Literal["levenshtein", "damerau"], score_cutoff: float,
          id_column: Optional[str] = None, *, case_insensitive: bool = False, normalized: bool = False,
          hot_rows: Optional[int] = 20_000,
          npartitions: Optional[int] = None, key_bits: int = 64) -> Any:
    """Every pair of rows of the Dask DataFrame `df` whose texts in `column`
    lie within `score_cutoff` by `measure` ('levenshtein' or 'damerau').

    Returns a lazy Dask DataFrame with columns left, right (int64 ids, left <
    right) and score (the distance): the values of `id_column`, or the rows'
    positions in `df` without one. With normalized=True, score_cutoff and the
    scores are normalized similarities, as levenshtein_pairs' are. Ids must be distinct and the column free of
    nulls. A key with more than `hot_rows` probe rows is split into buckets of
    about that many (None: no key is split, and no pass counts them).
    `npartitions` is that of the shuffle (default: df's). key_bits is for
    tests: fewer bits make keys collide, the same pairs are found.
    """
    import dask
    import numpy as np
    import pandas as pd

    if measure not in ("levenshtein", "damerau"):
        raise ValueError(f"measure must be 'levenshtein' or 'damerau', not {measure!r}")
    sizes, longest = dask.compute(df.map_partitions(len), df[column].str.len().max())
    sizes = list(sizes)
    offsets = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
    # Folding lengthens a text by at most one code point per U+0130.
    longest = 0 if pd.isna(longest) else int(longest) * (2 if case_insensitive else 1)
    options: Dict[str, Any] = dict(case_insensitive=case_insensitive, key_bits=key_bits, longest=longest,
                                   normalized=normalized)

    def rows_of(part: Any, partition_info: Any = None) -> Any:
        texts = part[column].to_numpy(dtype=object)
        if id_column is None:
            ids = offsets[partition_info["number"]] + np.arange(len(part), dtype=np.int64)
        else:
            ids = part[id_column].to_numpy(dtype=np.int64)
        keys, at, roles = key_rows(texts, measure, score_cutoff, **options)
        return pd.DataFrame({"key": keys, "id": ids[at], "role": roles, "text": texts[at]})

    rows_meta = pd.DataFrame({"key": np.array([], np.uint64), "id": np.array([], np.int64),
                              "role": np.array([], np.int8), "text": np.array([], object)})
    rows = df.map_partitions(rows_of, meta=rows_meta)

    ways = {}
    if hot_rows is not None:
        counts = rows[rows.role == _keyed.PROBE_ROW].key.value_counts()
        counts = counts[counts > hot_rows].compute()
        ways = _keyed.hot_ways(counts.index.to_numpy(), counts.to_numpy(), hot_rows)

    def spread_of(part: Any) -> Any:
        at, buckets = _keyed.spread(part["key"].to_numpy(), part["id"].to_numpy(), part["role"].to_numpy(), ways)
        return part.iloc[at].reset_index(drop=True).assign(bucket=buckets)

    spread = rows.map_partitions(spread_of, meta=rows_meta.assign(bucket=np.array([], np.uint64)))
    shuffled = spread.shuffle(on="bucket", npartitions=npartitions or df.npartitions)

    def pairs_of(part: Any) -> Any:
        left, right, score = bucket_pairs(
            (part["key"].to_numpy(), part["id"].to_numpy(), part["role"].to_numpy()),
            part["text"].to_numpy(dtype=object), measure, score_cutoff, **options)
        return pd.DataFrame({"left": left, "right": right, "score": score})

    found_meta = pd.DataFrame({"left": np.array([], np.int64), "right": np.array([], np.int64),
                               "score": np.array([], np.float64 if normalized else np.uint64)})
    return shuffled.map_partitions(pairs_of, meta=found_meta)
