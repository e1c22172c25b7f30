"""Two files of people linked with splink on DuckDB, its names compared by quillmatch's SQL functions.

    python examples/splink_link.py [--people 2000] [--seed 29]

Needs splink (no extras), Faker, DuckDB and pandas. Faker makes the people of the left file;
the right file holds a copy of most of them, spoilt as files are (a typo in a name, first name
and surname swapped, a surname in capitals, a birth date mistyped, a city missing), and new
people. quillmatch_many.duckdb.register(con) gives the DuckDB connection the functions
qm_damerau_ci, qm_jaro_winkler_ci and the others; splink's comparisons are written in SQL with
them (custom comparisons), trained, then predict and cluster, and the links found are checked
against the known true pairs.

MODEL_FUNCTIONS holds the two ways the same model can be written: with quillmatch's functions
("quillmatch") or with DuckDB's own ("duckdb"), folding case with lower() for them.
"""

import argparse
import random
from typing import Any, Dict, List, Set, Tuple

import duckdb
import pandas as pd
import splink.comparison_library as cl
from splink import Linker, SettingsCreator, block_on
from splink.backends.duckdb import DuckDBAPI

import quillmatch_many.duckdb

# The comparisons' similarity functions, as SQL templates over the two columns {l} and {r}.
MODEL_FUNCTIONS: Dict[str, Dict[str, str]] = {
    "quillmatch": {"damerau": "qm_damerau_ci({l}, {r})",
                   "jaro_winkler": "qm_jaro_winkler_ci({l}, {r})"},
    "duckdb": {"damerau": "damerau_levenshtein(lower({l}), lower({r}))",
               "jaro_winkler": "jaro_winkler_similarity(lower({l}), lower({r}))"},
}
FIELDS = ["first_name", "surname", "dob", "city"]
Truth = Set[Tuple[int, int]]


def typo(rnd: random.Random, text: str, letters: str = "abcdefghijklmnopqrstuvwxyz") -> str:
    """text with one substitution, insertion, deletion or swap of neighbours."""
    w = list(text)
    at = rnd.randrange(len(w))
    kind = rnd.randrange(4)
    if kind == 0:
        w[at] = rnd.choice(letters)
    elif kind == 1:
        w.insert(at, rnd.choice(letters))
    elif kind == 2 and len(w) > 1:
        del w[at]
    elif len(w) > 1:
        at = min(at, len(w) - 2)
        w[at], w[at + 1] = w[at + 1], w[at]
    return "".join(w)


def people(n: int, seed: int) -> Tuple[pd.DataFrame, pd.DataFrame, Truth]:
    """(left, right, truth): n people on the left, on the right a spoilt copy of seven in ten
    of them and new people, n rows in all; truth holds the (left id, right id) of each copy."""
    from faker import Faker

    Faker.seed(seed)
    fake = Faker(["en_US", "de_DE", "fr_FR"])
    rnd = random.Random(seed)

    def person() -> Dict[str, Any]:
        return {"first_name": fake.first_name(), "surname": fake.last_name(),
                "dob": fake.date_of_birth(minimum_age=18, maximum_age=90).isoformat(),
                "city": fake.city()}

    left = [person() for _ in range(n)]
    right: List[Dict[str, Any]] = []
    truth: Truth = set()
    for i in rnd.sample(range(n), n * 7 // 10):
        copy = dict(left[i])
        for field in ("first_name", "surname"):
            if rnd.random() < 0.3:
                copy[field] = typo(rnd, copy[field])
        if rnd.random() < 0.1:
            copy["first_name"], copy["surname"] = copy["surname"], copy["first_name"]
        if rnd.random() < 0.15:
            copy["surname"] = copy["surname"].upper()
        if rnd.random() < 0.1:
            copy["dob"] = typo(rnd, copy["dob"], "0123456789")
        for field in ("dob", "city"):
            if rnd.random() < 0.1:
                copy[field] = None
        truth.add((i, len(right)))
        right.append(copy)
    right += [person() for _ in range(n - len(right))]
    # The right file in an order of its own: row `at` of it is copy order[at].
    order = list(range(len(right)))
    rnd.shuffle(order)
    at = {j: k for k, j in enumerate(order)}
    right = [right[j] for j in order]
    truth = {(i, at[j]) for i, j in truth}
    return (pd.DataFrame(left).rename_axis("unique_id").reset_index(),
            pd.DataFrame(right).rename_axis("unique_id").reset_index(), truth)


def name_comparison(column: str, f: Dict[str, str], other: str = "") -> cl.CustomComparison:
    """A name: exact, exact with the other name part (swapped), one edit (OSA, case folded),
    Jaro-Winkler at 0.92 and 0.8, or else."""
    l, r = '"%s_l"' % column, '"%s_r"' % column
    levels: List[Any] = [
        {"sql_condition": "%s IS NULL OR %s IS NULL" % (l, r), "label_for_charts": "null",
         "is_null_level": True},
        {"sql_condition": "%s = %s" % (l, r), "label_for_charts": "exact"},
    ]
    if other:
        levels.append({"sql_condition": '%s = "%s_r" AND "%s_l" = %s' % (l, other, other, r),
                       "label_for_charts": "swapped with " + other})
    levels += [
        {"sql_condition": f["damerau"].format(l=l, r=r) + " <= 1", "label_for_charts": "one edit"},
        {"sql_condition": f["jaro_winkler"].format(l=l, r=r) + " >= 0.92", "label_for_charts": "JW >= 0.92"},
        {"sql_condition": f["jaro_winkler"].format(l=l, r=r) + " >= 0.8", "label_for_charts": "JW >= 0.8"},
        {"sql_condition": "ELSE", "label_for_charts": "else"},
    ]
    return cl.CustomComparison(comparison_levels=levels, output_column_name=column)


def field_comparison(column: str, similar: str) -> cl.CustomComparison:
    """Exact, similar (an SQL condition over {l} and {r}), or else."""
    l, r = '"%s_l"' % column, '"%s_r"' % column
    return cl.CustomComparison(comparison_levels=[
        {"sql_condition": "%s IS NULL OR %s IS NULL" % (l, r), "label_for_charts": "null",
         "is_null_level": True},
        {"sql_condition": "%s = %s" % (l, r), "label_for_charts": "exact"},
        {"sql_condition": similar.format(l=l, r=r), "label_for_charts": "similar"},
        {"sql_condition": "ELSE", "label_for_charts": "else"},
    ], output_column_name=column)


def settings(functions: str, keep_levels: bool = False) -> SettingsCreator:
    f = MODEL_FUNCTIONS[functions]
    return SettingsCreator(
        link_type="link_only",
        comparisons=[
            name_comparison("first_name", f, other="surname"),
            name_comparison("surname", f, other="first_name"),
            field_comparison("dob", f["damerau"] + " <= 1"),
            field_comparison("city", f["jaro_winkler"] + " >= 0.9"),
        ],
        blocking_rules_to_generate_predictions=[
            block_on("first_name"), block_on("surname"), block_on("dob"),
            block_on("substr(first_name, 1, 2)", "substr(surname, 1, 2)"),
        ],
        retain_intermediate_calculation_columns=keep_levels,
    )


def connect() -> duckdb.DuckDBPyConnection:
    """A DuckDB connection with quillmatch's functions registered."""
    con: duckdb.DuckDBPyConnection = quillmatch_many.duckdb.register(duckdb.connect())
    return con


def train(left: pd.DataFrame, right: pd.DataFrame, functions: str, con: duckdb.DuckDBPyConnection,
          keep_levels: bool = False, seed: int = 1) -> Linker:
    """The model of `functions` over the two files, trained: the match probability from the
    pairs agreeing on both names, u by random sampling, m by expectation maximisation in two
    sessions (blocked on the birth date, then on the surname)."""
    api = DuckDBAPI(connection=con)
    tables = [api.register(left, table_name="left_people"), api.register(right, table_name="right_people")]
    linker = Linker(tables, settings(functions, keep_levels), log_level=None)
    linker.training.estimate_probability_two_random_records_match(
        [block_on("first_name", "surname"), block_on("dob")], recall=0.7)
    linker.training.estimate_u_using_random_sampling(max_pairs=200_000, seed=seed)
    linker.training.estimate_parameters_using_expectation_maximisation(block_on("dob"))
    linker.training.estimate_parameters_using_expectation_maximisation(block_on("surname"))
    return linker


def links(predictions: pd.DataFrame, threshold: float) -> Truth:
    kept = predictions[predictions["match_probability"] >= threshold]
    return set(zip(kept["unique_id_l"].tolist(), kept["unique_id_r"].tolist()))


def precision_recall(found: Truth, truth: Truth) -> Tuple[float, float]:
    right = len(found & truth)
    return right / max(len(found), 1), right / max(len(truth), 1)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--people", type=int, default=2000)
    ap.add_argument("--seed", type=int, default=29)
    args = ap.parse_args()
    left, right, truth = people(args.people, args.seed)
    linker = train(left, right, "quillmatch", connect())
    predictions = linker.inference.predict(threshold_match_probability=0.5)
    found = links(predictions.as_pandas_dataframe(), 0.9)
    precision, recall = precision_recall(found, truth)
    print("%d true pairs; %d links at match probability 0.9: precision %.3f, recall %.3f"
          % (len(truth), len(found), precision, recall))
    clusters = linker.clustering.cluster_pairwise_predictions_at_threshold(predictions, 0.9)
    sizes = clusters.as_pandas_dataframe()["cluster_id"].value_counts()
    print("%d clusters, %d of them two records or more" % (len(sizes), int((sizes >= 2).sum())))


if __name__ == "__main__":
    main()
