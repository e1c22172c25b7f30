"""examples/splink_link.py: two files of Faker people linked by splink on DuckDB with the
comparisons written on quillmatch's SQL functions, trained, predicted and clustered; the links
against the known true pairs, and the model's levels against quillmatch's own scores."""

import pathlib
import sys

import pytest
from helpers import SANITIZED

if SANITIZED:
    pytest.skip("the SQL functions' scores are checked in the plain run", allow_module_level=True)
for package in ["splink", "faker", "duckdb", "pandas", "pyarrow"]:
    pytest.importorskip(package)

import quillmatch_many as qmm  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
import splink_link  # noqa: E402

PEOPLE = 600
# DuckDB's string functions that the model's levels would otherwise call.
BUILT_INS = ["levenshtein(", "damerau_levenshtein(", "jaro_winkler_similarity(", "jaro_similarity(",
             "jaccard(", "hamming("]


@pytest.fixture(scope="module")
def linked():
    left, right, truth = splink_link.people(PEOPLE, seed=29)
    linker = splink_link.train(left, right, "quillmatch", splink_link.connect(), keep_levels=True)
    predictions = linker.inference.predict(threshold_match_probability=0.5)
    return left, right, truth, linker, predictions


def test_the_files_hold_what_the_truth_says():
    left, right, truth = splink_link.people(200, seed=3)
    assert len(left) == len(right) == 200 and len(truth) == 140
    assert len({i for i, _ in truth}) == len({j for _, j in truth}) == 140
    assert right["city"].isna().any() and right["dob"].isna().any()
    # Most copies keep the birth date; the rest of the right file are other people.
    same_dob = sum(left["dob"][i] == right["dob"][j] for i, j in truth)
    assert 100 <= same_dob < 140


def test_links_found_against_the_truth(linked):
    left, right, truth, linker, predictions = linked
    found = splink_link.links(predictions.as_pandas_dataframe(), 0.9)
    precision, recall = splink_link.precision_recall(found, truth)
    assert precision >= 0.95 and recall >= 0.9, (precision, recall)
    clusters = linker.clustering.cluster_pairwise_predictions_at_threshold(predictions, 0.9)
    frame = clusters.as_pandas_dataframe()
    cluster_of = {(row.source_dataset, row.unique_id): row.cluster_id for row in frame.itertuples()}
    left_name, right_name = sorted(frame["source_dataset"].unique())
    together = sum(cluster_of[(left_name, i)] == cluster_of[(right_name, j)] for i, j in truth)
    assert together >= 0.9 * len(truth)


def test_the_model_runs_on_quillmatchs_functions(linked):
    left, right, truth, linker, predictions = linked
    model = linker.misc.save_model_to_json()
    conditions = [level["sql_condition"] for comparison in model["comparisons"]
                  for level in comparison["comparison_levels"]]
    similar = [c for c in conditions if "qm_" in c]
    assert len(similar) == 8
    assert not [c for c in conditions for f in BUILT_INS if f in c.lower() and "qm_" + f not in c.lower()]
    # The levels splink gave each compared pair are those quillmatch's scores give.
    frame = predictions.as_pandas_dataframe()
    for column in ["first_name", "surname"]:
        a, b = frame[column + "_l"], frame[column + "_r"]
        damerau = qmm.damerau_scores(a, b, case_insensitive=True)
        jw = qmm.jaro_winkler_scores(a, b, case_insensitive=True)
        gamma = frame["gamma_" + column].tolist()
        other = "surname" if column == "first_name" else "first_name"
        for k in range(len(frame)):  # names are never null in these files
            exact = a[k] == b[k]
            swapped = a[k] == frame[other + "_r"][k] and frame[other + "_l"][k] == b[k]
            want = (5 if exact else 4 if swapped else 3 if damerau[k] <= 1 else 2 if jw[k] >= 0.92
                    else 1 if jw[k] >= 0.8 else 0)
            assert gamma[k] == want, (column, a[k], b[k], gamma[k], want)
