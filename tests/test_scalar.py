"""levenshtein_bp, damerau_bp and jaro_winkler_similarity against the oracles."""

import itertools

import pytest
from hypothesis import given, settings, strategies as st

import quillmatch
from helpers import SANITIZED, fold_ref, jaro_winkler_ref, levenshtein_dp, next_float_up, osa_dp

L = quillmatch.levenshtein_bp
D = quillmatch.damerau_bp
J = quillmatch.jaro_winkler_similarity

# The sanitizer build repeats these runs to find memory errors, not new inputs:
# a fifth of the examples reach the same code paths at a fifth of the cost.
EXAMPLES_SHARE = 5 if SANITIZED else 1

# Small alphabets, so that matches and transpositions are common.  Every letter
# here lower-cases the same way in every Python and Unicode version concerned.
ALPHABETS = [
    "abAB",
    "abcdefgh",
    "aA\u00e9\u00c9\u00dfx",                    # Latin-1
    "\u03b1\u0391\u03b2\u0392\u0436\u0416",     # Greek without sigma, Cyrillic
    "a\u00e9\u4e2d\U0001f600A",                 # up to above U+FFFF
    "kK\u212aiI\u0130\u00df\u1e9e",             # lengths change when folded
]
WORD_BOUNDARIES = [63, 64, 65, 127, 128, 129]


@st.composite
def text_pairs(draw, max_size, boundaries):
    chars = st.sampled_from(draw(st.sampled_from(ALPHABETS)))
    n = draw(st.one_of(st.integers(0, max_size), st.sampled_from(boundaries)))
    first = draw(st.lists(chars, min_size=n, max_size=n))
    if draw(st.booleans()):
        second = draw(st.lists(chars, max_size=max_size))
    else:  # a few random edits of the first text
        second = list(first)
        for op in draw(st.lists(st.sampled_from("idst"), max_size=6)):
            pos = draw(st.integers(0, len(second)))
            if op == "i":
                second.insert(pos, draw(chars))
            elif op == "d" and pos < len(second):
                del second[pos]
            elif op == "s" and pos < len(second):
                second[pos] = draw(chars)
            elif op == "t" and pos + 1 < len(second):
                second[pos], second[pos + 1] = second[pos + 1], second[pos]
    pair = ["".join(first), "".join(second)]
    return pair if draw(st.booleans()) else pair[::-1]


@settings(max_examples=250 // EXAMPLES_SHARE, deadline=None)
@given(pair=text_pairs(200, WORD_BOUNDARIES), fold=st.booleans(),
       cutoff=st.one_of(st.none(), st.integers(0, 8), st.just(2 ** 64 - 1)))
def test_distances_match_textbook_dp(pair, fold, cutoff):
    a, b = pair
    fa, fb = (fold_ref(a), fold_ref(b)) if fold else (a, b)
    for fn, oracle in ((L, levenshtein_dp), (D, osa_dp)):
        d = oracle(fa, fb)
        expected = d if cutoff is None else min(d, cutoff + 1)
        result = fn(a, b, None, fold, cutoff)
        assert type(result) is int
        assert result == expected, fn.__name__


def test_damerau_exhaustive_small_alphabets():
    wrong = []
    for alphabet in ("ab", "\u00e9\U0001f600"):
        words = ["".join(w) for n in range(6) for w in itertools.product(alphabet, repeat=n)]
        for a in words:
            for b in words:
                if D(a, b) != osa_dp(a, b) or L(a, b) != levenshtein_dp(a, b):
                    wrong.append((a, b))
    assert wrong == []


ALPHA80 = "".join(chr(ord("a") + i % 26) for i in range(80))
STRADDLE = ALPHA80[:63] + ALPHA80[64] + ALPHA80[63] + ALPHA80[65:]  # swap positions 63, 64
WIDE80, WIDE_STRADDLE = "\u00e9" + ALPHA80[1:], "\u00e9" + STRADDLE[1:]
CUT = "score_cutoff"


@pytest.mark.parametrize("fn,a,b,kwargs,expected", [
    (L, "flaw", "lawn", {}, 2), (D, "flaw", "lawn", {}, 2), (L, "ab", "ba", {}, 2),
    (D, "ab", "ba", {}, 1), (D, "ca", "abc", {}, 3), (D, "abcd", "acbd", {}, 1),
    (D, "abcdef", "badcfe", {}, 3), (D, "abc", "bca", {}, 2), (L, "", "", {}, 0),
    (D, "", "abc", {}, 3), (L, "abc", "", {}, 3), (L, "", "abc", {CUT: 1}, 2),
    (L, "abc", "xyz", {CUT: 1}, 2), (D, "abc", "xyz", {CUT: 1}, 2),
    (D, "abc", "abcdef", {CUT: 2}, 3), (L, "a", "abcd", {CUT: 2}, 3),
    (L, "saturday", "sunday", {}, 3), (L, "saturday", "sunday", {CUT: 2}, 3),
    (L, "saturday", "sunday", {CUT: 3}, 3), (D, "saturday", "sunday", {CUT: 0}, 1),
    (D, "same", "same", {CUT: 0}, 0), (L, "ABC", "abc", {}, 3),
    (L, "ABC", "abc", {"case_insensitive": True}, 0),
    (D, "ABC", "abc", {"case_insensitive": None}, 3),
    (D, "AB", "ab", {"case_insensitive": True, CUT: 0}, 0),
    (L, "cafe", "caf\u00e9", {}, 1), (D, "caf\u00e9", "cafe", {}, 1),
    (L, "\u4e00\u4e01", "\u4e00\u4e01\u4e02", {}, 1), (L, "\u4e00\u4e01", "\u4e02\u4e03", {}, 2),
    (D, "a\U0001f600b", "ab\U0001f600", {}, 1), (L, "aaaa", "aa", {}, 2),
    (D, "a" * 70, "a" * 69 + "b", {}, 1), (L, "a" * 70, "a" * 69 + "b", {}, 1),
    (D, "a" * 65, "a", {}, 64), (L, "ab" * 100, "b", {}, 199),
    (D, ALPHA80, STRADDLE, {}, 1), (L, ALPHA80, STRADDLE, {}, 2),
    (D, WIDE80, WIDE_STRADDLE, {}, 1), (D, STRADDLE[:65], ALPHA80[:65], {}, 1),
])
def test_distance_examples(fn, a, b, kwargs, expected):
    result = fn(a, b, **kwargs)
    assert type(result) is int and result == expected


@pytest.mark.parametrize("a,b,distance", [
    # Final sigma: a cased letter before (skipping case-ignorables), none after.
    ("ΟΔΟΣ", "οδος", 0), ("ΟΔΟΣ", "οδοσ", 1), ("Σ", "σ", 0), ("'Σ", "'σ", 0),
    ("ΑΣ'", "ας'", 0), ("ΑΣ'Α", "ασ'α", 0), ("ΑΣ'Α", "ας'α", 1), ("ΑΣ Α", "ας α", 0),
    ("ΑΣΑ", "ασα", 0), ("ΑΣ.", "ας.", 0), ("Α\u0301Σ\u0301", "α\u0301ς\u0301", 0),
    # Full lower-case mapping, not case folding; ASCII neighbours of the letters stay.
    ("\u0130", "i\u0307", 0), ("\u0130", "i", 1), ("\u212a", "k", 0), ("\u1e9e", "\u00df", 0),
    ("\u00df", "SS", 2), ("@[\\]^_", "`{|}~\x7f", 6), ("AZ\u00c0\u00de", "az\u00e0\u00fe", 0),
])
def test_case_folding(a, b, distance):
    assert L(a, b, None, True) == distance
    assert D(a, b, case_insensitive=True) == distance
    assert (J(a, b, case_insensitive=True) == 1.0) == (distance == 0)


MARTHA = 0.9611111111111111
CI = {"case_insensitive": True}


@pytest.mark.parametrize("a,b,kwargs,expected", [
    ("MARTHA", "MARHTA", {}, MARTHA), ("MARTHA", "MARHTA", {"p": 0.25}, 0.9861111111111112),
    ("MARTHA", "MARHTA", {"p": 0.0}, 0.9444444444444445),
    ("DIXON", "DICKSONX", {}, 0.8133333333333332),
    ("DWAYNE", "DUANE", {}, 0.8400000000000001), ("CRATE", "TRACE", {}, 0.7333333333333334),
    ("aabcaa", "bca", {}, 0.7222222222222222), ("abcdef", "abcdeg", {}, 0.9333333333333333),
    ("abcdef", "abcdeg", {"p": 0.25}, 1.0), ("abcdx", "abcdy", {"p": 0.25}, 1.0),
    ("abc", "bac", {}, 0.5555555555555555), ("ab", "ba", {}, 0.0), ("a", "a", {}, 1.0),
    ("", "", {}, 1.0), ("", "", {CUT: 2.0}, 1.0), ("", "a", {}, 0.0), ("a", "", {CUT: -1.0}, 0.0),
    ("ABC", "abc", {}, 0.0), ("ABC", "abc", CI, 1.0), ("abc", "abd", {CUT: 0.99}, 0.0),
    ("MARTHA", "MARHTA", {CUT: MARTHA}, MARTHA),
    ("MARTHA", "MARHTA", {CUT: next_float_up(MARTHA)}, 0.0),
    ("MARTHA", "MARHTA", {CUT: float("nan")}, MARTHA),
])
def test_jaro_winkler_examples(a, b, kwargs, expected):
    result = J(a, b, **kwargs)
    assert type(result) is float
    assert result.hex() == expected.hex()


@settings(max_examples=300 // EXAMPLES_SHARE, deadline=None)
@given(pair=text_pairs(80, [16, 17, 64, 65]), fold=st.booleans(),
       p=st.sampled_from([None, 0.0, 0.1, 0.15, 0.25]),
       cutoff=st.one_of(st.none(), st.floats(0.0, 1.0)))
def test_jaro_winkler_matches_transcription(pair, fold, p, cutoff):
    a, b = pair
    fa, fb = (fold_ref(a), fold_ref(b)) if fold else (a, b)
    expected = jaro_winkler_ref(fa, fb, 0.1 if p is None else p)
    if cutoff is not None and cutoff > expected and (a or b):
        expected = 0.0
    for x, y in ((a, b), (b, a)):
        result = J(x, y, p, None, fold, cutoff)
        assert type(result) is float
        assert result.hex() == expected.hex()


class Str(str):
    pass


# Two str by position, with or without the case flag by keyword, take a shorter
# road than other calls; every way of passing the same values must agree, and
# a bad value must fail the same way on either road.
@pytest.mark.parametrize("fn", [L, D, J])
@pytest.mark.parametrize("a, b", [("Kitten", "sitTing"), ("", "a"), ("\u00c9t\u00e9", "\u00e9T\u00c9"),
                                  ("a" * 70, "A" * 69 + "b")])
def test_every_way_of_passing_agrees(fn, a, b):
    key = "".join(["case_", "insensitive"])  # not interned: the general road
    for fold in (False, True):
        want = fn(a, b, case_insensitive=fold)
        ways = [fn(Str(a), b, case_insensitive=fold), fn(a, Str(b), **{key: fold}),
                fn(*[a, b], **{"case_insensitive": fold}), fn(str_1=a, str_2=b, case_insensitive=fold)]
        if fn is J:
            ways.append(fn(a, b, None, None, fold))
        else:
            ways.append(fn(a, b, None, fold))
        if not fold:
            ways.append(fn(a, b))
        assert all(w == want and type(w) is type(want) for w in ways), (a, b, fold, want, ways)


@pytest.mark.parametrize("fn", [L, D, J])
def test_errors_are_the_same_on_the_short_road(fn):
    for args, kwargs in [(("\ud800", "a"), {}), (("a", "\udfff"), {"case_insensitive": True}),
                         (("a", "b"), {"case_insensitive": 1})]:
        with pytest.raises((UnicodeEncodeError, TypeError)) as short:
            fn(*args, **kwargs)
        with pytest.raises(type(short.value)) as general:
            fn(*map(Str, args), **kwargs)
        assert str(short.value) == str(general.value)
        assert getattr(short.value, "__notes__", None) == getattr(general.value, "__notes__", None)
