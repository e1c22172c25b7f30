"""quillmatch_many as a package: the extension inside it is reached by the names it always had,
pickles made when the extension was the module itself still load, and importing it imports
none of the hosts its submodules serve."""

import os
import pickle
import pydoc
import subprocess
import sys

import pytest

import quillmatch_many as qmm

# Pickled by the build in which quillmatch_many was the extension module itself (protocols 2, 4
# and 5): an Index is its type, named quillmatch_many.Index, and the arguments that built it.
OLD_PICKLES = [
    (b"\x80\x02cquillmatch_many\nIndex\nq\x00((X\t\x00\x00\x00Jon Smithq\x01X\n\x00\x00\x00John Smith"
     b"q\x02X\x08\x00\x00\x00Jane Doeq\x03X\x07\x00\x00\x00M\xc3\xbcllerq\x04tq\x05X\x07\x00\x00\x00"
     b"damerauq\x06K\x02\x88NN\x89tq\x07Rq\x08.",
     "Index(<4 texts>, 'damerau', score_cutoff=2, case_insensitive=True)",
     ["Jon Smyth", "MULLER"]),
    (b"\x80\x04\x95V\x00\x00\x00\x00\x00\x00\x00\x8c\x0fquillmatch_many\x94\x8c\x05Index\x94\x93\x94("
     b"\x8c\tJon Smith\x94\x8c\x08Jane Doe\x94\x86\x94\x8c\x0blevenshtein\x94G?\xe9\x99\x99\x99\x99"
     b"\x99\x9a\x89NN\x88t\x94R\x94.",
     "Index(<2 texts>, 'levenshtein', score_cutoff=0.8, case_insensitive=False, normalized=True)",
     ["Jon Smyth", "Jane Do"]),
    (b"\x80\x05\x95Z\x00\x00\x00\x00\x00\x00\x00\x8c\x0fquillmatch_many\x94\x8c\x05Index\x94\x93\x94("
     b"\x8c\x06MARTHA\x94\x8c\x06DWAYNE\x94\x86\x94\x8c\x0cjaro_winkler\x94G?\xec\xcc\xcc\xcc\xcc\xcc"
     b"\xcd\x89G?\xc9\x99\x99\x99\x99\x99\x9aN\x89t\x94R\x94.",
     "Index(<2 texts>, 'jaro_winkler', score_cutoff=0.9, case_insensitive=False, p=0.2)",
     ["MARHTA", "DUANE"]),
]
# A function pickles by reference, as the module it names and its name.
OLD_FUNCTION_PICKLE = (b"\x80\x04\x95*\x00\x00\x00\x00\x00\x00\x00\x8c\x0fquillmatch_many\x94\x8c\x12"
                       b"levenshtein_scores\x94\x93\x94.")


@pytest.mark.parametrize("data, text, queries", OLD_PICKLES)
def test_an_old_index_pickle_loads_and_searches_as_a_new_index(data, text, queries):
    old = pickle.loads(data)
    assert type(old) is qmm.Index and repr(old) == text
    new = pickle.loads(pickle.dumps(old))
    for a, b in zip(old.top(queries, 2), new.top(queries, 2)):
        assert a.tolist() == b.tolist()


def test_the_public_names_stay_where_they_were():
    assert qmm.__all__ == [
        "levenshtein_matrix", "damerau_matrix", "jaro_winkler_matrix", "levenshtein_top", "damerau_top",
        "jaro_winkler_top", "levenshtein_pairs", "damerau_pairs", "jaro_winkler_pairs",
        "levenshtein_scores", "damerau_scores", "jaro_winkler_scores", "clusters",
        "levenshtein_clusters", "damerau_clusters", "jaro_winkler_clusters", "key_rows", "bucket_pairs",
        "Index"]
    namespace = {}
    exec("from quillmatch_many import *", namespace)
    assert sorted(n for n in namespace if n != "__builtins__") == sorted(qmm.__all__)
    for name in qmm.__all__ + ["_with_plan"]:
        assert getattr(qmm, name).__module__ == "quillmatch_many", name
    assert pickle.loads(OLD_FUNCTION_PICKLE) is qmm.levenshtein_scores
    assert pickle.dumps(qmm.levenshtein_scores, protocol=4) == OLD_FUNCTION_PICKLE
    assert isinstance(qmm.__version__, str)
    # help() shows every function with its docstring, under the package's name.
    text = pydoc.render_doc(qmm, renderer=pydoc.plaintext)
    for name in qmm.__all__:
        first_line = getattr(qmm, name).__doc__.strip().splitlines()[0]
        assert first_line in text, name


def test_importing_the_package_imports_no_host():
    code = ("import sys, quillmatch_many, quillmatch_many._columns, quillmatch_many.dask; "
            "print(sorted({'duckdb', 'polars', 'pandas', 'pyarrow', 'dask'} & set(sys.modules)))")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True, env=env)
    assert out.stdout.strip() == "[]"
