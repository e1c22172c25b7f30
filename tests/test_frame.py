"""Module surface, argument binding, argument conversion and error mapping."""

import ast
import pathlib
import re
import types
from fractions import Fraction

import numpy
import pytest

import quillmatch
import quillmatch_many
from helpers import assert_raises_with_note, next_float_up

L = quillmatch.levenshtein_bp
D = quillmatch.damerau_bp
J = quillmatch.jaro_winkler_similarity

SIGNATURES = [
    "levenshtein_bp(str_1, str_2, max_len=None, case_insensitive=None, score_cutoff=None)",
    "damerau_bp(str_1, str_2, max_len=None, case_insensitive=None, score_cutoff=None)",
    "jaro_winkler_similarity(str_1, str_2, p=None, max_len=None, case_insensitive=None, "
    "score_cutoff=None)",
    "levenshtein_batch(query, candidates, case_insensitive=None)",
    "damerau_batch(query, candidates, case_insensitive=None)",
    "jaro_winkler_batch(query, candidates, p=None, case_insensitive=None)",
    "_ingest_owned(candidates)", "_ingest_borrow(candidates)",
    "_ingest_borrow_and_deref(candidates)",
]
NAMES = [s.split("(")[0] for s in SIGNATURES]


def test_module_surface():
    assert type(quillmatch).__name__ == "module"
    assert quillmatch.__doc__ == ""
    assert quillmatch.__file__.endswith(".abi3.so")
    assert type(quillmatch.__all__) is list and quillmatch.__all__ == NAMES
    pyproject = (pathlib.Path(__file__).resolve().parents[1] / "pyproject.toml").read_text()
    version = re.search(r'^version = "(.+)"$', pyproject, re.M).group(1)
    assert quillmatch.__version__ == quillmatch_many.__version__ == version
    functions = {k for k, v in vars(quillmatch).items() if isinstance(v, types.BuiltinFunctionType)}
    assert functions == set(NAMES)


@pytest.mark.parametrize("signature", SIGNATURES)
def test_function_surface(signature):
    name, _, params = signature.partition("(")
    fn = getattr(quillmatch, name)
    assert (fn.__name__, fn.__module__, fn.__self__) == (name, "quillmatch", quillmatch)
    assert fn.__text_signature__ == "(" + params
    assert fn.__doc__ is None


def test_type_stub_matches_the_module():
    stub = pathlib.Path(__file__).resolve().parents[1] / "py" / "quillmatch-stubs" / "__init__.pyi"
    defs = [d for d in ast.parse(stub.read_text()).body if isinstance(d, ast.FunctionDef)]
    assert [d.name for d in defs] == NAMES
    for d in defs:
        params = [a.arg for a in d.args.args]
        required = len(params) - len(d.args.defaults)
        shown = params[:required] + [a + "=None" for a in params[required:]]
        assert getattr(quillmatch, d.name).__text_signature__ == "(" + ", ".join(shown) + ")"


TOO_MANY = "{}() takes from 2 to {} positional arguments but {} were given"
UNEXPECTED = "{}() got an unexpected keyword argument '{}'"
MULTIPLE = "levenshtein_bp() got multiple values for argument 'str_1'"
MISSING_1 = "{}() missing 1 required positional argument: '{}'"


@pytest.mark.parametrize("fn,args,kwargs,message", [
    (L, ("a", "b", 1, None, None, 6), {}, TOO_MANY.format("levenshtein_bp", 5, 6)),
    (L, ("a", "b", 1, None, None, 6), {"q": 1}, TOO_MANY.format("levenshtein_bp", 5, 6)),
    (J, ("a",) * 7, {}, TOO_MANY.format("jaro_winkler_similarity", 6, 7)),
    (quillmatch._ingest_owned, ([], 1), {},
     "_ingest_owned() takes 1 positional arguments but 2 were given"),
    (J, ("a", "b"), {"q": 1}, UNEXPECTED.format("jaro_winkler_similarity", "q")),
    (L, ("a", "b"), {"Max_len": 1}, UNEXPECTED.format("levenshtein_bp", "Max_len")),
    (L, ("a", "b"), {"zz": 1, "str_1": "x"}, UNEXPECTED.format("levenshtein_bp", "zz")),
    (L, (5,), {"q": 1}, UNEXPECTED.format("levenshtein_bp", "q")),  # binding before conversion
    (L, ("a", "b"), {"str_1": "x", "zz": 1}, MULTIPLE),
    (L, ("a", "b"), {"str_1": "x"}, MULTIPLE),
    (D, ("a",), {}, MISSING_1.format("damerau_bp", "str_2")),
    (D, (None,), {}, MISSING_1.format("damerau_bp", "str_2")),
    (L, (), {"str_2": "x"}, MISSING_1.format("levenshtein_bp", "str_1")),
    (J, (), {"p": 0.3},
     "jaro_winkler_similarity() missing 2 required positional arguments: 'str_1' and 'str_2'"),
])
def test_binding_errors_carry_no_note(fn, args, kwargs, message):
    assert_raises_with_note(TypeError, message, None, fn, *args, **kwargs)


def test_all_parameters_bind_by_keyword():
    assert L(str_2="ab", str_1="a", score_cutoff=5, max_len=2, case_insensitive=False) == 1
    assert J(score_cutoff=None, p=0.0, str_1="MARTHA", str_2="MARHTA") == 0.9444444444444445


class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("unreadable")
        return type.__getattribute__(cls, name)


def raise_lookup(self):
    raise LookupError("bool failed")


def fake_numpy_bool(name, **body):
    return type(name, (), dict(body, __module__="numpy"))()


INNER = type("Inner", (int,), {"__qualname__": "Outer.Inner"})
TEXT = type("Text", (str,), {"__str__": lambda self: "something else"})

NOT_STR = "'{}' object is not an instance of 'str'"
NOT_BOOL = "'{}' object is not an instance of 'bool'"
NOT_INT = "'{}' object cannot be interpreted as an integer"
NEGATIVE, TOO_BIG = "can't convert negative int to unsigned", "int too big to convert"
SURROGATE = "'utf-8' codec can't encode character '\\u{}' in position {}: surrogates not allowed"
NO_REAL = "must be real number, not str"
NONE_STR = "'None' is not an instance of 'str'"
CI = "case_insensitive"


@pytest.mark.parametrize("fn,args,exc,message,param", [
    (L, (None, "a"), TypeError, NONE_STR, "str_1"),
    (L, ("a", 5), TypeError, NOT_STR.format("int"), "str_2"),
    (L, (b"a", "a"), TypeError, NOT_STR.format("bytes"), "str_1"),
    (L, (NoQualname("X", (), {})(), "a"), TypeError,
     NOT_STR.format("<failed to extract type name>"), "str_1"),
    (L, ("\ud800", "a"), UnicodeEncodeError, SURROGATE.format("d800", 0), "str_1"),
    (J, ("a", "x\udfff"), UnicodeEncodeError, SURROGATE.format("dfff", 1), "str_2"),
    (L, ("a", "a", -1), OverflowError, NEGATIVE, "max_len"),
    (D, ("a", "a", 2 ** 64), OverflowError, TOO_BIG, "max_len"),
    (L, ("a", "a", 3.0), TypeError, NOT_INT.format("float"), "max_len"),
    (D, ("a", "a", None, None, -1), OverflowError, NEGATIVE, "score_cutoff"),
    (L, ("a", "a", None, None, "0"), TypeError, NOT_INT.format("str"), "score_cutoff"),
    (L, ("A", "a", None, 1), TypeError, NOT_BOOL.format("int"), CI),
    (D, ("A", "a", None, INNER(1)), TypeError, NOT_BOOL.format("Outer.Inner"), CI),
    (J, ("A", "a", None, None, fake_numpy_bool("bool_", __bool__=lambda self: 1)), TypeError,
     NOT_BOOL.format("int"), CI),
    (L, ("A", "a", None, fake_numpy_bool("bool")), TypeError,
     "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion", CI),
    (L, ("A", "a", None, fake_numpy_bool("bool_", __bool__=raise_lookup)), LookupError,
     "bool failed", CI),
    (L, ("A", "a", None, type("bool_", (), {"__bool__": lambda self: True})()), TypeError,
     NOT_BOOL.format("bool_"), CI),
    (J, ("a", "a", "0.1"), TypeError, NO_REAL, "p"),
    (J, ("a", "a", None, None, None, "1"), TypeError, NO_REAL, "score_cutoff"),
    # Only the first bad argument, in parameter order, is reported.
    (L, (1, 2, -1, 1, -1), TypeError, NOT_STR.format("int"), "str_1"),
    (L, ("a", None, -1, 1), TypeError, NONE_STR, "str_2"),
    (J, ("a", "a", "x", -1), TypeError, NO_REAL, "p"),
    (J, ("a", "a", 0.3, -1), OverflowError, NEGATIVE, "max_len"),
    (D, ("a", "a", 1, 1, -1), TypeError, NOT_BOOL.format("int"), CI),
])
def test_conversion_errors_name_the_parameter(fn, args, exc, message, param):
    assert_raises_with_note(exc, message, param, fn, *args)


@pytest.mark.parametrize("call,expected", [
    (lambda: L(TEXT("ab"), TEXT("ba")), 2), (lambda: D(TEXT("ab"), "ba"), 1),
    (lambda: L("a", "b", True), 1), (lambda: L("", "", False), 0),
    (lambda: L("ab", "ba", 2 ** 64 - 1, None, 2 ** 64 - 1), 2),
    (lambda: L("ab", "a", numpy.uint64(2), None, numpy.uint64(0)), 1),
    (lambda: L("AB", "ab", None, numpy.bool_(True)), 0),
    (lambda: L("AB", "ab", None, numpy.bool_(False)), 2),
    (lambda: L("AB", "ab", None, fake_numpy_bool("bool_", __bool__=lambda self: True)), 0),
    # __bool__ is bound to the object the way attribute access binds it.
    (lambda: L("AB", "ab", None, fake_numpy_bool("bool_", __bool__=staticmethod(lambda: True))), 0),
    (lambda: J("MARTHA", "MARHTA", 0), 0.9444444444444445),
    (lambda: J("MARTHA", "MARHTA", -0.0), 0.9444444444444445),
    (lambda: (J("MARTHA", "MARHTA", 0.25), J("MARTHA", "MARHTA", Fraction(1, 4))),
     (0.9861111111111112,) * 2),
    (lambda: J("abc", "abc", None, None, None, 1), 1.0),
])
def test_accepted_conversions(call, expected):
    assert call() == expected


@pytest.mark.parametrize("fn", [L, D, J])
def test_none_is_the_same_as_absent(fn):
    args = ("ABcd", "abdc")
    optional = re.findall(r"(\w+)=None", fn.__text_signature__)
    expected = fn(*args)
    assert fn(*args, *([None] * len(optional))) == expected
    for name in optional:
        assert fn(*args, **{name: None}) == expected


def too_long(which, length, limit):
    return 'InputTooLong {{ which: "{}", len: {}, limit: {} }}'.format(which, length, limit)


@pytest.mark.parametrize("fn,args,expected", [
    (L, ("abcdef", "abc", 3), too_long("str_1", 6, 3)),
    (L, ("abc", "abcd", 3), too_long("str_2", 4, 3)), (L, ("abc", "abcd", 4), 1),
    (L, ("abcd", "abcde", 3), too_long("str_1", 4, 3)),
    (D, ("x", "abc", 2), too_long("str_2", 3, 2)), (D, ("x", "abc", 3), 3),
    (J, ("abc", "abcd", None, 3), too_long("str_2", 4, 3)),
    (J, ("abcdef", "abcdefg", None, 5), too_long("str_1", 6, 5)),
    (L, ("a", "", 0), too_long("str_1", 1, 0)), (L, ("", "", 0), 0),
    (L, ("\u0130", "a", 1, True), too_long("str_1", 2, 1)), (D, ("\u0130", "a", 1), 1),
    (D, ("a", "\u0130", 1, True), too_long("str_2", 2, 1)),
    (J, ("\u0130", "a", None, 1, True), too_long("str_1", 2, 1)),
    (L, ("u\u0308", "", 1), too_long("str_1", 2, 1)), (L, ("\u00fc", "u", 1), 1),
    (L, ("\u00fc\U0001f44d", "x", 1), too_long("str_1", 2, 1)),
    (J, ("\u00fc\U0001f44d", "\U0001f44d\u00fc", None, 2), 0.0),
    (D, ("\u4e00\u4e01\u4e02", "\u4e00", 2), too_long("str_1", 3, 2)),
    (D, ("\u4e00\u4e01\u4e02", "\u4e00", 3), 2),
    (J, ("abcdef", "abc", 0.3, 1), "InvalidPrefixScale { value: 0.3 }"),  # p before max_len
])
def test_max_len_counts_code_points(fn, args, expected):
    if isinstance(expected, str):
        assert_raises_with_note(ValueError, expected, None, fn, *args)
    else:
        assert fn(*args) == expected


@pytest.mark.parametrize("p,text", [
    (0.3, "0.3"), (next_float_up(0.25), "0.25000000000000006"), (-0.1, "-0.1"), (-1.0, "-1.0"),
    (float("nan"), "NaN"), (-float("nan"), "NaN"), (float("inf"), "inf"), (-float("inf"), "-inf"),
    (1e20, "1e20"), (1e16, "1e16"), (-2.5e-5, "-2.5e-5"), (-1e-7, "-1e-7"), (-1e-4, "-0.0001"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (0.30000000000000004, "0.30000000000000004"),
    (9999999999999998.0, "9999999999999998.0"), (123.456, "123.456"),
])
def test_invalid_prefix_scale_float_text(p, text):
    message = "InvalidPrefixScale {{ value: {} }}".format(text)
    assert_raises_with_note(ValueError, message, None, J, "a", "a", p)
