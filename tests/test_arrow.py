"""quillmatch_many over Arrow columns: every function and option gives, for a column, exactly
what it gives for the column's own list of str (to_pylist()), over every layout the producers
export; nulls, bad buffers and other formats raise their exact errors."""

import sys

import pytest

import quillmatch_many as qmm

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

# Short and long (past a string view's 12 inline bytes), ASCII and not, with texts whose case
# folding changes their length, and repeats for the dictionaries.
WORDS = ["jon", "John", "JÖHN", "jöhn", "", "Σίσυφος", "straße", "İstanbul",
         "a name longer than twelve bytes", "John", "x" * 40, "jon", "ΣΑΣ"]
STRING_TYPES = [pa.string(), pa.large_string(), pa.string_view()]


def pyarrow_columns(words):
    """(label, column) pairs of pyarrow layouts holding `words`."""
    half = len(words) // 2
    for t in STRING_TYPES:
        yield f"{t}", pa.array(words, t)
        yield f"{t} slice", pa.array(["pad", *words, "pad"], t).slice(1, len(words))
        yield f"{t} chunks", pa.chunked_array([words[:half], [], words[half:]], t)
        yield f"{t} batch", pa.record_batch([pa.array(words, t)], names=["name"])
        yield f"{t} table", pa.table({"name": pa.chunked_array([words[:half], words[half:]], t)})
    for index in [pa.int8(), pa.uint16(), pa.int64()]:
        dictionary = pa.array(words).dictionary_encode()
        yield f"dictionary<{index}>", dictionary.cast(pa.dictionary(index, pa.string()))
    yield "dictionary chunks", pa.chunked_array(
        [pa.array(words[:half]).dictionary_encode(), pa.array(words[half:]).dictionary_encode()])
    yield "dictionary slice", pa.array(["pad", *words]).dictionary_encode().slice(1)


def producer_columns(words):
    """The columns of the other producers, where they are installed."""
    try:
        import polars as pl
    except ImportError:
        pl = None
    if pl is not None:
        yield "polars", pl.Series("name", words)
        yield "polars slice", pl.Series("name", ["pad", *words]).slice(1)
        categorical = pl.Series("name", words, dtype=pl.Categorical)
        if streams(categorical):
            yield "polars categorical", categorical
        yield "polars frame", pl.DataFrame({"name": words})
    try:
        import pandas as pd
    except ImportError:
        pd = None
    if pd is not None:
        yield "pandas str", pd.Series(words, dtype="string[pyarrow]")
        frame = pd.DataFrame({"name": pd.Series(words, dtype="string[pyarrow]")})
        if hasattr(frame, "__arrow_c_stream__"):  # pandas 2.2 and later
            yield "pandas frame", frame


def streams(column):
    """Whether the producer's own stream works: polars before 1.9 fails to export a
    Categorical Series, which the module reports as the stream's RuntimeError."""
    try:
        qmm.levenshtein_scores("", column)
    except RuntimeError:
        return False
    return True


def columns(words):
    yield from pyarrow_columns(words)
    yield from producer_columns(words)


def same(got, want):
    if isinstance(want, tuple):
        assert isinstance(got, tuple) and len(got) == len(want)
        for g, w in zip(got, want):
            same(g, w)
        return
    assert got.dtype == want.dtype and got.shape == want.shape
    assert np.array_equal(got, want)


# (function, the keyword arguments of one call) over every function and option.
def calls():
    for measure in ["levenshtein", "damerau", "jaro_winkler"]:
        jw = measure == "jaro_winkler"
        for case_insensitive in [None, True]:
            options = {"case_insensitive": case_insensitive, "workers": 2}
            if jw:
                options["p"] = 0.2
            cutoff = 0.7 if jw else 3
            yield getattr(qmm, f"{measure}_matrix"), options
            yield getattr(qmm, f"{measure}_top"), {**options, "k": 3, "score_cutoff": cutoff}
            yield getattr(qmm, f"{measure}_pairs"), {**options, "score_cutoff": cutoff}
            yield getattr(qmm, f"{measure}_scores"), options


CALLS = list(calls())
COLUMNS = list(columns(WORDS))


def listed(column):
    """The column's own list of str, as its producer gives it."""
    if isinstance(column, (pa.Table, pa.RecordBatch)):
        return column.column(0).to_pylist()
    if hasattr(column, "to_pylist"):
        return column.to_pylist()
    if hasattr(column, "to_series"):  # a polars DataFrame
        return column.to_series().to_list()
    if hasattr(column, "iloc") and column.ndim == 2:  # a pandas DataFrame
        return column.iloc[:, 0].tolist()
    return column.to_list() if hasattr(column, "to_list") else column.tolist()


@pytest.mark.parametrize("label,column", COLUMNS, ids=[c[0] for c in COLUMNS])
def test_a_column_gives_what_its_list_gives(label, column):
    words = listed(column)
    assert words == WORDS
    for function, options in CALLS:
        name = function.__name__
        if name.endswith("_scores"):
            for query in ["jon", "", "İSTANBUL"]:
                same(function(query, column, **options), function(query, words, **options))
            others = words[::-1]
            same(function(column, others, **options), function(words, others, **options))
            same(function(others, column, **options), function(others, words, **options))
            same(function(column, column, **options), function(words, words, **options))
            continue
        same(function(column, words, **options), function(words, words, **options))
        same(function(words, column, **options), function(words, words, **options))
        if name.endswith(("_matrix", "_pairs")):  # the queries against themselves
            same(function(column, **options), function(words, **options))
    for clusters, cutoff in ((qmm.levenshtein_clusters, 3), (qmm.jaro_winkler_clusters, 0.7)):
        same(clusters(column, cutoff, case_insensitive=True), clusters(words, cutoff, case_insensitive=True))


def test_row_by_row_batches_cross_chunk_edges():
    # The rows are read a batch of 256 at a time, from chunks that end inside, at and just
    # past a batch's edges.
    words = [w + str(k % 7) for k, w in enumerate(WORDS * 60)]
    others = words[::-1]
    cuts = [0, 1, 2, 255, 256, 257, 300, 511, 512, 600, len(words)]
    for t in STRING_TYPES:
        column = pa.chunked_array([words[a:b] for a, b in zip(cuts, cuts[1:])], t)
        for function, options in CALLS:
            if function.__name__.endswith("_scores"):
                same(function(column, others, **options), function(words, others, **options))
                same(function(others, column, **options), function(others, words, **options))


def test_dictionary_columns_score_each_distinct_text_once_to_the_same_result():
    # Repeats enough that scoring the distinct texts and gathering them is the plan taken;
    # the long column takes top and pairs runs by columns (few queries, many candidates).
    words = WORDS * 3
    third = len(words) // 3
    for column in [pa.array(words).dictionary_encode(),
                   pa.chunked_array([pa.array(words[:third]).dictionary_encode(),
                                     pa.array(words[third:]).dictionary_encode()])]:
        for function, options in CALLS:
            if function.__name__.endswith("_matrix"):
                same(function(column, **options), function(words, **options))
                same(function(column, words, **options), function(words, words, **options))
            if not function.__name__.endswith("_scores"):
                same(function(words[:4], column, **options), function(words[:4], words, **options))
    many = WORDS * 200
    column = pa.array(many).dictionary_encode()
    for function, options in CALLS:
        if function.__name__.endswith("_top"):
            for k in [1, 5000]:
                without = {**options, "k": k, "score_cutoff": None}
                same(function(["jon", "ΣΑΣ"], column, **without), function(["jon", "ΣΑΣ"], many, **without))
        if function.__name__.endswith(("_top", "_pairs")):
            same(function(["jon"], column, **options), function(["jon"], many, **options))


def test_scores_are_the_scalar_measures():
    import quillmatch as qm
    scalar = {"levenshtein": qm.levenshtein_bp, "damerau": qm.damerau_bp,
              "jaro_winkler": qm.jaro_winkler_similarity}
    for measure, pair in scalar.items():
        for case_insensitive in [False, True]:
            options = {"case_insensitive": case_insensitive}
            if measure == "jaro_winkler":
                options["p"] = 0.15
            for query in ["jon", "", "İSTANBUL", "x" * 70]:
                got = getattr(qmm, f"{measure}_scores")(query, pa.array(WORDS), **options)
                assert got.ndim == 1
                assert got.tolist() == [pair(query, w, **options) for w in WORDS]


def test_duckdb_relations_stream_batches_of_a_one_column_struct():
    duckdb = pytest.importorskip("duckdb")
    many = [f"w{k % 1000}é" for k in range(140_000)]  # more rows than one DuckDB batch
    relation = duckdb.sql("select unnest($1) as w", params=[many])
    same(qmm.levenshtein_scores("w1é", relation), qmm.levenshtein_scores("w1é", many))
    relation = duckdb.sql("select unnest($1) as w", params=[WORDS])
    same(qmm.jaro_winkler_top(relation, WORDS, 2), qmm.jaro_winkler_top(WORDS, WORDS, 2))


def check_error(exception, message, call, argument="candidates"):
    with pytest.raises(exception) as info:
        call()
    assert str(info.value) == message
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == [f"while processing '{argument}'"]


def test_nulls_name_the_argument_and_the_first_null():
    null_columns = [pa.array(["a", "b", None, None], t) for t in STRING_TYPES]
    null_columns += [
        pa.chunked_array([["a", "b"], ["c", None]]),                   # in a later chunk: 3
        pa.array(["a", "b", "c", None]).dictionary_encode(),           # a null index
        pa.DictionaryArray.from_arrays(pa.array([0, 1, 1, 0]), pa.array([None, "b"])).slice(1),
        pa.table({"n": ["a", "b", "c", None]}),
    ]
    positions = [2, 2, 2, 3, 3, 2, 3]
    for column, at in zip(null_columns, positions):
        check_error(ValueError, f"'candidates' holds a null at position {at}",
                    lambda: qmm.levenshtein_top(["a"], column, 1))
        check_error(ValueError, f"'queries' holds a null at position {at}",
                    lambda: qmm.damerau_matrix(column, ["a"]), "queries")
    # The idiom: drop the nulls, keep the rows' positions to map scores back.
    names = pa.array(["jon", None, "john"])
    kept = pa.compute.indices_nonzero(names.is_valid())
    scores = qmm.levenshtein_scores("jon", names.filter(names.is_valid()))
    assert dict(zip(kept.to_pylist(), scores.tolist())) == {0: 0, 2: 1}


def test_bad_buffers_and_other_formats_are_refused():
    kept = []

    def strings(offsets, data, t=pa.string(), width="i4"):
        # pyarrow refuses bad offsets, so they are written into its buffer after it has looked.
        memory = np.zeros(len(offsets), dtype=width)
        kept.append(memory)
        array = pa.Array.from_buffers(t, len(offsets) - 1, [
            None, pa.py_buffer(memory), pa.py_buffer(data)])
        memory[:] = offsets
        return array
    cases = [
        (ValueError, "'candidates' holds invalid UTF-8 at position 1",
         strings([0, 2, 4], b"ok\xc3(")),
        (ValueError, "'candidates' holds invalid UTF-8 at position 1",   # a split code point
         strings([0, 1, 2, 4], b"a\xc3\xa9b", pa.large_string(), "i8")),
        (ValueError, "'candidates' holds invalid UTF-8 at position 0",   # a surrogate
         strings([0, 3], b"\xed\xa0\x80")),
        (ValueError, "'candidates' has Arrow offsets out of order at position 1",
         strings([0, 3, 1, 4], b"abcd")),
        (ValueError, "'candidates' has Arrow offsets out of order at position 0",
         strings([-1, 2], b"ab")),
        (TypeError, "'candidates' has Arrow format 'l', which is not text "
                    "(expected 'u', 'U', 'vu' or a dictionary of them)", pa.array([1, 2])),
        (TypeError, "'candidates' has Arrow format 'z', which is not text "
                    "(expected 'u', 'U', 'vu' or a dictionary of them)", pa.array([b"a"])),
        (TypeError, "'candidates' has Arrow format 'l', which is not text "   # the values'
                    "(expected 'u', 'U', 'vu' or a dictionary of them)",
         pa.array([1, 1]).dictionary_encode()),
        (TypeError, "'candidates' has 2 columns; pass one column of texts",
         pa.table({"a": ["x"], "b": ["y"]})),
    ]
    for exception, message, column in cases:
        check_error(exception, message, lambda: qmm.jaro_winkler_scores("a", column))
        check_error(exception, message, lambda: qmm.levenshtein_top(["a"], column, 1))


def test_a_long_column_is_read_in_parts_with_the_rows_and_first_fault_of_one_reader():
    # Long enough that several workers read it in parts; faults in one part or several.
    n = 150_000
    words = [WORDS[i % len(WORDS)] + str(i % 97) for i in range(n)]
    want = qmm.levenshtein_scores("John", words)
    for t, raw in [(pa.string(), pa.binary()), (pa.large_string(), pa.large_binary()),
                   (pa.string_view(), pa.binary_view())]:
        column = pa.array(words, t)
        for workers in (1, 2, 3):
            same(qmm.levenshtein_scores("John", column, workers=workers), want)
        for faults in ({140_000}, {70_000, 140_000}, {5, 149_999}):
            faulty = pa.array([b"\xff" if i in faults else w.encode() for i, w in enumerate(words)],
                              raw).view(t)
            for workers in (1, 3):
                check_error(ValueError, f"'candidates' holds invalid UTF-8 at position {min(faults)}",
                            lambda: qmm.levenshtein_scores("a", faulty, workers=workers))


def test_offsets_that_fall_anywhere_are_the_fault_before_any_invalid_text():
    # Offsets are checked part by part as the rows are read; a fall in a later part is still
    # the error over invalid UTF-8 in an earlier one, and a fall at a block's edge is found.
    n = 150_000
    for t, width in [(pa.string(), "i4"), (pa.large_string(), "i8")]:
        for fall, bad_text in [(140_000, 5), (4095, None), (4096, 70_000), (0, None), (n - 1, 3)]:
            data = bytearray(b"ab" * n)
            if bad_text is not None:
                data[2 * bad_text] = 0xFF
            offsets = np.arange(0, 2 * n + 1, 2, dtype=width)
            column = pa.Array.from_buffers(t, n, [None, pa.py_buffer(offsets), pa.py_buffer(bytes(data))])
            offsets[fall + 1] = offsets[fall] - 1   # after pyarrow has looked
            for workers in (1, 3):
                check_error(ValueError, f"'candidates' has Arrow offsets out of order at position {fall}",
                            lambda: qmm.levenshtein_scores("a", column, workers=workers))


def test_a_stream_is_released_once_and_a_used_one_refused():
    table = pa.table({"n": ["a", "b"]})
    capsule = table.__arrow_c_stream__()

    class Once:
        def __arrow_c_stream__(self, requested_schema=None):
            return capsule

    same(qmm.levenshtein_scores("a", Once()), qmm.levenshtein_scores("a", ["a", "b"]))
    check_error(TypeError, "the Arrow stream has already been released",
                lambda: qmm.levenshtein_scores("a", Once()))
