"""The exact self join of an edit distance on Spark (4.0 and later).

    import quillmatch_many.spark

    found = quillmatch_many.spark.pairs(df, "name", "levenshtein", 2, id_column="id")
    found.show()  # columns left, right, score

The plan of quillmatch_many.dask.pairs on Spark's Arrow UDFs: each partition
turns its texts into key rows (key_rows, through mapInArrow), keys with many
probe rows are split (quillmatch_many._keyed), the rows are grouped by their
bucket modulo `groups`, and each group's pairs are scored (bucket_pairs,
through groupBy(...).applyInArrow), each pair coming out of exactly one
group. Spark has no unsigned type: keys travel as the int64 of the same bits.
PySpark is imported only when `pairs` is called.
"""

from typing import Any, Dict, Literal, Optional

from quillmatch_many import _keyed, bucket_pairs, key_rows

__all__ = ["pairs"]


def pairs(df: Any, column: str, measure: Literal["levenshtein", "damerau"], score_cutoff: float,
          id_column: str, *, case_insensitive: bool = False, normalized: bool = False,
          hot_rows: Optional[int] = 20_000,
          groups: Optional[int] = None, key_bits: int = 64) -> Any:
    """Every pair of rows of the Spark DataFrame `df` whose texts in `column`
    lie within `score_cutoff` by `measure` ('levenshtein' or 'damerau').

    Returns a Spark DataFrame with columns left, right (the values of the
    integer `id_column`, left < right) and score (the distance; with
    normalized=True, score_cutoff and the scores are normalized similarities,
    as levenshtein_pairs' are). Ids must be
    distinct and the column free of nulls. A key with more than `hot_rows`
    probe rows is split into buckets of about that many (None: no key is
    split, and no pass counts them). `groups` is the number of groups scored
    (default: spark.sql.shuffle.partitions). key_bits is for tests: fewer
    bits make keys collide, the same pairs are found.
    """
    import numpy as np
    import pyarrow as pa
    from pyspark.sql import functions as F

    if measure not in ("levenshtein", "damerau"):
        raise ValueError(f"measure must be 'levenshtein' or 'damerau', not {measure!r}")
    spark = df.sparkSession
    groups = groups or int(spark.conf.get("spark.sql.shuffle.partitions"))
    longest = df.select(F.max(F.length(column))).first()[0] or 0
    # Folding lengthens a text by at most one code point per U+0130.
    longest = int(longest) * (2 if case_insensitive else 1)
    options: Dict[str, Any] = dict(case_insensitive=case_insensitive, key_bits=key_bits, longest=longest,
                                   normalized=normalized)
    schema = "key long, id long, role byte, text string"

    def rows_of(batches: Any) -> Any:
        for batch in batches:
            texts = batch.column(1)
            keys, at, roles = key_rows(texts, measure, score_cutoff, **options)
            ids = batch.column(0).to_numpy(zero_copy_only=False).astype(np.int64)
            yield pa.RecordBatch.from_arrays(
                [pa.array(keys.view(np.int64)), pa.array(ids[at]), pa.array(roles), texts.take(pa.array(at))],
                names=["key", "id", "role", "text"])

    rows = df.select(F.col(id_column).cast("long"), F.col(column)).mapInArrow(rows_of, schema)

    ways = {}
    if hot_rows is not None:
        hot = rows.where(F.col("role") == _keyed.PROBE_ROW).groupBy("key").count() \
                  .where(F.col("count") > hot_rows).collect()
        keys = np.array([r["key"] for r in hot], dtype=np.int64).view(np.uint64)
        ways = _keyed.hot_ways(keys, [r["count"] for r in hot], hot_rows)

    def spread_of(batches: Any) -> Any:
        for batch in batches:
            keys = batch.column(0).to_numpy().view(np.uint64)
            at, buckets = _keyed.spread(keys, batch.column(1).to_numpy(), batch.column(2).to_numpy(), ways)
            taken = batch.take(pa.array(at))
            yield taken.append_column("group", pa.array((buckets % np.uint64(groups)).astype(np.int32)))

    spread = rows.mapInArrow(spread_of, schema + ", group int")

    def pairs_of(table: Any) -> Any:
        left, right, score = bucket_pairs(
            (table.column("key").to_numpy(), table.column("id").to_numpy(), table.column("role").to_numpy()),
            table.column("text").combine_chunks(), measure, score_cutoff, **options)
        return pa.table({"left": left, "right": right, "score": score if normalized else score.astype(np.int64)})

    return spread.groupBy("group").applyInArrow(
        pairs_of, "left long, right long, score " + ("double" if normalized else "long"))
