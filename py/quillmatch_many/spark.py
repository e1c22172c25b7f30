"""The exact self join of an edit distance on Spark (4.0 and later).

    import quillmatch_many.spark

    found = quillmatch_many.spark.pairs(df, "name", "levenshtein", 2, id_column="id")
    found.show()  # columns left, right, score

The plan of quillmatch_many.dask.pairs on Spark's Arrow UDFs: one light pass
(a survey, through mapInArrow) finds the partitions' lengths (the ids,
without an id column), the longest text and the heavy keys from a sample;
then each partition turns its texts into key rows (key_rows) and splits the
hot keys (quillmatch_many._keyed) in one mapInArrow, the rows are shuffled
into `groups` partitions on their key and cell, and each partition's pairs
are scored (bucket_pairs, each cell of a split key alone, through another
mapInArrow), each pair coming out of exactly one partition. Spark has no unsigned type: keys travel as the int64 of
the same bits. PySpark is imported only when `pairs` is called.
"""

from typing import Any, Dict, Literal, Optional

from quillmatch_many import _keyed, key_rows

__all__ = ["pairs"]


def pairs(df: Any, column: str, measure: Literal["levenshtein", "damerau"], score_cutoff: float,
          id_column: Optional[str] = None, *, case_insensitive: bool = False, normalized: bool = False,
          hot_rows: Optional[int] = 20_000,
          groups: Optional[int] = None, key_bits: int = 64) -> Any:
    """Every pair of rows of the Spark DataFrame `df` whose texts in `column`
    lie within `score_cutoff` by `measure` ('levenshtein' or 'damerau').

    Returns a Spark DataFrame with columns left, right (left < right) and
    score (the distance; with normalized=True, score_cutoff and the scores
    are normalized similarities, as levenshtein_pairs' are). left and right
    are the values of the integer `id_column`, or without one the rows'
    positions in df's order, which must then be the same each time df is
    read (as a file source's is). Ids must be distinct and the column free of
    nulls. A key with more than `hot_rows` index or probe rows (estimated
    from a sample) is split into cells of about that many of each (None: no
    key is split, and no survey counts them). `groups` is the number of
    partitions the rows are shuffled into and scored in, each whole in one
    Python worker (default: spark.sql.shuffle.partitions). key_bits is for
    tests: fewer bits make keys collide, the same pairs are found.
    """
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc
    from pyspark import TaskContext
    from pyspark.sql import functions as F

    if measure not in ("levenshtein", "damerau"):
        raise ValueError(f"measure must be 'levenshtein' or 'damerau', not {measure!r}")
    spark = df.sparkSession
    groups = groups or int(spark.conf.get("spark.sql.shuffle.partitions"))
    ids = F.col(id_column).cast("long") if id_column is not None else F.lit(None).cast("long")
    df = df.select(ids.alias("id"), F.col(column).alias("text"))
    options: Dict[str, Any] = dict(case_insensitive=case_insensitive, key_bits=key_bits, normalized=normalized)
    # Folding lengthens a text by at most one code point per U+0130.
    fold = 2 if case_insensitive else 1
    every = _keyed.sample_every(hot_rows) if hot_rows is not None else 0

    offsets: Dict[int, int] = {}
    longest = None
    ways: Dict[int, Any] = {}
    if id_column is None or normalized or every:
        parts = df.rdd.getNumPartitions()

        def survey(batches: Any) -> Any:
            # One row of the partition's length and longest text (key null),
            # then one for each heavy key of its sample.
            rows = longest = 0
            sampled = []
            for batch in batches:
                rows += batch.num_rows
                longest = max(longest, pc.max(batch.column(0)).as_py() or 0)
                if every:
                    sampled.append(batch.column(1).drop_null())
            keys = np.array([], np.uint64)
            index = probe = np.array([], np.int64)
            if every:
                sample = pa.concat_arrays(sampled) if sampled else pa.array([], pa.string())
                found, _, roles = key_rows(sample, measure, score_cutoff, longest=longest * fold, **options)
                keys, index, probe = _keyed.survey_counts(found, roles, every, hot_rows / (2 * parts))
            yield pa.RecordBatch.from_arrays(
                [pa.array(np.full(len(keys) + 1, TaskContext.get().partitionId(), np.int32)),
                 pa.array([rows] + [0] * len(keys), pa.int64()), pa.array([longest] + [0] * len(keys), pa.int64()),
                 pa.array([None] + keys.view(np.int64).tolist(), pa.int64()),
                 pa.array(np.concatenate([[0], index]).astype(np.int64)),
                 pa.array(np.concatenate([[0], probe]).astype(np.int64))],
                names=["part", "rows", "longest", "key", "index", "probe"])

        # Spark measures the lengths, and sends Python only the sample's texts
        # (one in `every` of each partition, by position).
        if not every:
            sample = F.lit(None).cast("string")
        elif every == 1:
            sample = F.col("text")
        else:
            sample = F.when(F.monotonically_increasing_id() % every == 0, F.col("text"))
        found = df.select(F.length("text").alias("length"), sample.alias("text")) \
                  .mapInArrow(survey, "part int, rows long, longest long, key long, index long, probe long") \
                  .toArrow()
        heads = found.filter(pc.is_null(found.column("key")))
        sizes = dict(zip(heads.column("part").to_pylist(), heads.column("rows").to_pylist()))
        start = 0
        for p in sorted(sizes):
            offsets[p] = start
            start += sizes[p]
        longest = max(heads.column("longest").to_pylist(), default=0) * fold
        if every:
            heavy = found.filter(pc.is_valid(found.column("key")))
            ways = _keyed.hot_ways(*_keyed.merge_counts(
                [(heavy.column("key").to_numpy().view(np.uint64), heavy.column("index").to_numpy(),
                  heavy.column("probe").to_numpy())]), hot_rows)
    options["longest"] = longest
    by_position = id_column is None

    # Spark's hash partitioning puts a row in pmod(hash(p), groups): the
    # smallest p of each partition, so that rows can be sent to the one
    # chosen for them rather than to wherever their value hashes.
    route = spark.range(64 * groups).select(F.col("id").cast("int").alias("p")) \
                 .select("p", F.expr("pmod(hash(p), %d)" % groups).alias("to")) \
                 .groupBy("to").agg(F.min("p").alias("p")).toArrow()
    send = np.zeros(groups, np.int32)
    send[route.column("to").to_numpy()] = route.column("p").to_numpy()
    rows_schema = pa.schema([("key", pa.uint64()), ("id", pa.int64()), ("role", pa.int8()), ("cell", pa.int32()),
                             ("text", pa.string())])

    def rows_of(batches: Any) -> Any:
        # A batch's rows leave in one record per partition they go to, the
        # rows packed as an Arrow message: Spark then moves a few large
        # values instead of converting and shuffling every row (six to
        # fifteen a text) field by field.
        position = offsets.get(TaskContext.get().partitionId(), 0) if by_position else 0
        for batch in batches:
            texts = batch.column(1)
            if by_position:
                ids = np.arange(position, position + len(texts), dtype=np.int64)
                position += len(texts)
            else:
                ids = batch.column(0).to_numpy(zero_copy_only=False).astype(np.int64)
            keys, at, roles = key_rows(texts, measure, score_cutoff, **options)
            at = np.asarray(at)
            rows, buckets, cells = _keyed.spread(keys, ids[at], roles, ways)
            to = (buckets % np.uint64(groups)).astype(np.int64)
            order = np.argsort(to, kind="stable")
            rows, to, cells = rows[order], to[order], cells[order]
            packed = pa.RecordBatch.from_arrays(
                [pa.array(keys[rows]), pa.array(ids[at[rows]]), pa.array(roles[rows]), pa.array(cells),
                 texts.take(pa.array(at[rows]))], schema=rows_schema)
            bounds = np.flatnonzero(np.diff(to)) + 1
            starts = np.concatenate([[0], bounds]).astype(np.int64)
            ends = np.concatenate([bounds, [len(to)]]).astype(np.int64)
            if len(to) == 0:
                continue
            messages = [packed.slice(a, b - a).serialize() for a, b in zip(starts.tolist(), ends.tolist())]
            offsets_ = np.concatenate([[0], np.cumsum([m.size for m in messages])]).astype(np.int32)
            values = pa.Array.from_buffers(pa.binary(), len(messages),
                                           [None, pa.py_buffer(offsets_), pa.py_buffer(b"".join(messages))])
            yield pa.RecordBatch.from_arrays([pa.array(send[to[starts]]), values], names=["p", "rows"])

    spread = df.mapInArrow(rows_of, "p int, rows binary")

    def pairs_of(batches: Any) -> Any:
        # The whole partition at once: its keys' rows are all in it, and
        # bucket_pairs scores any number of keys in one call.
        packed = [pa.ipc.read_record_batch(value.as_buffer(), rows_schema)
                  for batch in batches for value in batch.column(1)]
        if not packed:
            return
        table = pa.Table.from_batches(packed, schema=rows_schema).combine_chunks()
        left, right, score = _keyed.score_cells(
            table.column("key").to_numpy(), table.column("id").to_numpy(),
            table.column("role").to_numpy(), table.column("cell").to_numpy(), table.column("text").chunk(0),
            measure, score_cutoff, **options)
        yield pa.RecordBatch.from_arrays(
            [pa.array(left), pa.array(right), pa.array(score if normalized else score.astype(np.int64))],
            names=["left", "right", "score"])

    return spread.repartition(groups, "p").mapInArrow(
        pairs_of, "left long, right long, score " + ("double" if normalized else "long"))
