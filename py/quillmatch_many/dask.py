"""The exact self join of an edit distance on a Dask cluster.

    import quillmatch_many.dask

    found = quillmatch_many.dask.pairs(df, "name", "levenshtein", 2, id_column="id")
    found.compute()  # columns left, right, score

`pairs` finds every pair of rows whose texts lie within a fixed distance, as
levenshtein_pairs / damerau_pairs find them on one machine, in one shuffle:
each partition turns its texts into key rows (key_rows), hot keys split
(quillmatch_many._keyed), the rows are shuffled on their key and cell, and each
partition after the shuffle scores the pairs that meet in it (bucket_pairs,
each cell of a split key alone), each pair coming out of exactly one. Before that, one light pass over the
input (a survey) finds what the rows depend on, and only what they need:
the partitions' lengths (the ids, without an id column), the longest text
(a normalized cutoff), and the heavy keys, from a sample of each partition.
Texts stay Arrow strings from the input to bucket_pairs. Dask is imported
only when `pairs` is called; the package itself does not need it.
"""

from typing import Any, Dict, Literal, Optional

from quillmatch_many import _keyed
from quillmatch_many import key_rows

__all__ = ["pairs"]


def _strings(column: Any) -> Any:
    """A pandas column of texts as one pyarrow string array, without a copy
    when it is Arrow-backed already."""
    import pyarrow as pa

    if hasattr(column.array, "__arrow_array__"):
        texts = column.array.__arrow_array__()
    else:
        texts = pa.array(column.to_numpy(dtype=object), type=pa.string(), from_pandas=True)
    if isinstance(texts, pa.ChunkedArray):
        texts = texts.combine_chunks()
    return texts


def _text_column(texts: Any) -> Any:
    import pandas as pd

    return pd.arrays.ArrowStringArray(texts)


def pairs(df: Any, column: str, measure: Literal["levenshtein", "damerau"], score_cutoff: float,
          id_column: Optional[str] = None, *, case_insensitive: bool = False, normalized: bool = False,
          hot_rows: Optional[int] = 20_000,
          npartitions: Optional[int] = None, key_bits: int = 64) -> Any:
    """Every pair of rows of the Dask DataFrame `df` whose texts in `column`
    lie within `score_cutoff` by `measure` ('levenshtein' or 'damerau').

    Returns a lazy Dask DataFrame with columns left, right (int64 ids, left <
    right) and score (the distance): the values of `id_column`, or the rows'
    positions in `df` without one. With normalized=True, score_cutoff and the
    scores are normalized similarities, as levenshtein_pairs' are. Ids must be
    distinct and the column free of nulls. A key with more than `hot_rows`
    index or probe rows (estimated from a sample) is split into cells of about
    that many of each (None: no key is split, and no survey counts them).
    `npartitions` is that of the shuffle (default: df's). key_bits is for
    tests: fewer bits make keys collide, the same pairs are found.
    """
    import dask
    import numpy as np
    import pandas as pd
    import pyarrow as pa
    import pyarrow.compute as pc

    if measure not in ("levenshtein", "damerau"):
        raise ValueError(f"measure must be 'levenshtein' or 'damerau', not {measure!r}")
    df = df[[column] if id_column is None else [column, id_column]]
    parts = df.npartitions
    options: Dict[str, Any] = dict(case_insensitive=case_insensitive, key_bits=key_bits, normalized=normalized)
    # Folding lengthens a text by at most one code point per U+0130.
    fold = 2 if case_insensitive else 1
    every = _keyed.sample_every(hot_rows) if hot_rows is not None else 0

    def survey(part: Any) -> Any:
        texts = _strings(part[column])
        longest = pc.max(pc.utf8_length(texts)).as_py() or 0
        counts = None
        if every:
            sample = texts.take(pa.array(np.arange(0, len(texts), every)))
            # The partition's own longest bounds the sample's rows: they are
            # those of the join, less the probes of lengths beyond it.
            keys, _, roles = key_rows(sample, measure, score_cutoff, longest=longest * fold, **options)
            counts = _keyed.survey_counts(keys, roles, every, hot_rows / (2 * parts))
        return len(part), longest, counts

    offsets = np.zeros(parts, dtype=np.int64)
    longest = None
    ways: Dict[int, Any] = {}
    if id_column is None or normalized or every:
        surveys = dask.compute(*[dask.delayed(survey)(p) for p in df.to_delayed()])
        offsets = np.concatenate([[0], np.cumsum([s[0] for s in surveys])[:-1]]).astype(np.int64)
        longest = max([s[1] for s in surveys], default=0) * fold
        if every:
            ways = _keyed.hot_ways(*_keyed.merge_counts([s[2] for s in surveys]), hot_rows)
    # Without a survey, an integer cutoff probes partner lengths up to m + d
    # for a text of length m: a few more rows for the longest texts, the same pairs.
    options["longest"] = longest

    def rows_of(part: Any, partition_info: Any = None) -> Any:
        texts = _strings(part[column])
        if id_column is None:
            ids = offsets[partition_info["number"]] + np.arange(len(part), dtype=np.int64)
        else:
            ids = part[id_column].to_numpy(dtype=np.int64)
        keys, at, roles = key_rows(texts, measure, score_cutoff, **options)
        at = np.asarray(at)
        ids = ids[at]
        rows, _, cells = _keyed.spread(keys, ids, roles, ways)
        return pd.DataFrame({"key": keys[rows], "id": ids[rows], "role": roles[rows], "cell": cells,
                             "text": _text_column(texts.take(pa.array(at[rows])))})

    rows_meta = pd.DataFrame({"key": np.array([], np.uint64), "id": np.array([], np.int64),
                              "role": np.array([], np.int8), "cell": np.array([], np.int32),
                              "text": _text_column(pa.array([], pa.string()))})
    rows = df.map_partitions(rows_of, meta=rows_meta)
    # On (key, cell): a key's rows meet in one partition, each cell of a split
    # key on its own.
    shuffled = rows.shuffle(on=["key", "cell"], npartitions=npartitions or parts)

    def pairs_of(part: Any) -> Any:
        left, right, score = _keyed.score_cells(part["key"].to_numpy(), part["id"].to_numpy(), part["role"].to_numpy(),
                                                part["cell"].to_numpy(), _strings(part["text"]), measure,
                                                score_cutoff, **options)
        return pd.DataFrame({"left": left, "right": right, "score": score})

    found_meta = pd.DataFrame({"left": np.array([], np.int64), "right": np.array([], np.int64),
                               "score": np.array([], np.float64 if normalized else np.uint64)})
    return shuffled.map_partitions(pairs_of, meta=found_meta)
