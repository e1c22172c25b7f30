"""The README's examples for columns and for the hosts' functions run against the real pandas,
polars and DuckDB."""

import pathlib
import re

import pytest

for package in ["pyarrow", "pandas", "polars", "duckdb"]:
    pytest.importorskip(package)

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"
SECTION = "## Columns from pandas, polars, pyarrow and DuckDB"


def examples(title=SECTION):
    text = README.read_text(encoding="utf-8")
    section = text[text.index(title):]
    section = section[:section.index("\n## ", len(title))]
    return re.findall(r"```python\n(.*?)```", section, re.S)


def test_the_column_examples_run_and_say_what_they_show():
    blocks = examples()
    assert len(blocks) == 5
    found = {}
    for block in blocks:
        namespace = {}
        exec(compile(block, str(README), "exec"), namespace)
        found.update(namespace)
    # What the comments in the examples state.
    assert found["best"].index.tolist() == [3, 0]
    assert found["edits"].tolist() == [1, 4, 0] and found["linked"].index.tolist() == [0, 2]
    assert found["similar"].tolist()[2] == 1.0
    assert found["unique"]["name"].to_list() == ["Jon Smith", "Jane Doe"]
    assert found["indices"][0].tolist() == [0, 2]
    assert found["dist"].mask.tolist() == [False, True, False] and found["nearest_row"] == 0
    assert found["column"].to_list() == [0, None, 1]
    assert found["df"]["dist"].isna().tolist() == [False, True, False]
    assert found["df"]["dist"].dropna().tolist() == [2.0, 3.0] and found["nearest"] == 2


def test_the_record_linkage_recipe_runs_and_says_what_it_shows():
    (block,) = examples("## Record linkage")
    found = {}
    exec(compile(block, str(README), "exec"), found)
    assert found["i"].tolist() == [0, 0, 1, 2] and found["j"].tolist() == [0, 4, 1, 2]
    assert found["match"].all()
    assert found["labels"].tolist() == [0, 1, 2, 3, 0, 1, 2, 7, 0]


def test_the_host_examples_run_and_say_what_they_show():
    blocks = examples("## Linkage in DuckDB, polars, pandas and splink")
    assert len(blocks) == 3
    found = {}
    for block in blocks:
        exec(compile(block, str(README), "exec"), found)
    rows = found["rows"]
    assert rows[0][2:4] == (3, 2) and rows[1][4] == 0.9611111111111111 and rows[2][2:] == (None, None, None)
    import polars as pl

    assert dict(found["schema"])["osa"] == pl.UInt32 and dict(found["schema"])["jw"] == pl.Float64
    assert found["close"]["a"].to_list() == ["Jon Smith"]
    df = found["df"]
    assert df["edits"].tolist()[::2] == [1, 0] and df["edits"].isna().tolist() == [False, True, False]
    assert df["jw"].isna().tolist() == [False, True, False] and df.index.tolist() == [10, 20, 30]
