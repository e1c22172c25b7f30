"""Shared test helpers: exception assertions and slow, literal textbook oracles."""

import os
import struct

import pytest

HAS_NOTES = hasattr(BaseException, "add_note")
# The module under test is built with AddressSanitizer: several times slower, and its
# address space reserved.
SANITIZED = bool(os.environ.get("QUILLMATCH_EXPECT_SANITIZED"))


def assert_raises_with_note(exc_type, message, param, fn, *args, **kwargs):
    """Exact type and message; the note names param (None: no note). No notes before 3.11."""
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    exc = info.value
    assert type(exc) is exc_type, type(exc)
    assert str(exc) == message, "{!r} != {!r}".format(str(exc), message)
    if param is None or not HAS_NOTES:
        assert getattr(exc, "__notes__", None) is None, exc.__notes__
    else:
        assert getattr(exc, "__notes__", None) == ["while processing '{}'".format(param)]
    return exc


def next_float_up(x):
    """The next 64-bit float above a positive finite x (math.nextafter is 3.9+)."""
    (bits,) = struct.unpack("<q", struct.pack("<d", x))
    return struct.unpack("<d", struct.pack("<q", bits + 1))[0]


# Lower-case forms whose Python result is the same in every supported version.
_EXPLICIT_LOWER = {"\u0130": "i\u0307", "\u212a": "k", "\u1e9e": "\u00df"}


def fold_ref(text):
    """Per-character lower case, valid only for context-free, long-stable letters
    (ASCII, Latin-1, Greek without sigma, basic Cyrillic) and the explicit pairs."""
    assert "\u03a3" not in text, "sigma needs context; test it explicitly"
    return "".join(_EXPLICIT_LOWER.get(c) or c.lower() for c in text)


def levenshtein_dp(a, b):
    """Plain Wagner-Fischer dynamic programme over code points."""
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j] + 1, cur[j - 1] + 1, prev[j - 1] + (ca != cb)))
        prev = cur
    return prev[-1]


def osa_dp(a, b):
    """Optimal string alignment: Levenshtein plus adjacent transposition."""
    d = [[i + j if i == 0 or j == 0 else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            sub = d[i - 1][j - 1] + (a[i - 1] != b[j - 1])
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, sub)
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[len(a)][len(b)]


def jaro_winkler_ref(s1, s2, p=0.1):
    """Literal Jaro-Winkler: greedy window matching, then the fixed formula."""
    len1, len2 = len(s1), len(s2)
    if len1 == 0 and len2 == 0:
        return 1.0
    if len1 == 0 or len2 == 0:
        return 0.0
    radius = max(max(len1, len2) // 2 - 1, 0)
    matched1 = [False] * len1
    matched2 = [False] * len2
    for i in range(len1):
        for j in range(max(0, i - radius), min(len2 - 1, i + radius) + 1):
            if not matched2[j] and s2[j] == s1[i]:
                matched1[i] = matched2[j] = True
                break
    m = sum(matched1)
    if m == 0:
        return 0.0
    seq1 = [c for c, hit in zip(s1, matched1) if hit]
    seq2 = [c for c, hit in zip(s2, matched2) if hit]
    h = sum(1 for x, y in zip(seq1, seq2) if x != y)
    t = h // 2
    prefix = 0
    while prefix < 4 and prefix < len1 and prefix < len2 and s1[prefix] == s2[prefix]:
        prefix += 1
    a = m / len1
    b = m / len2
    c = (m - t) / m
    jaro = ((a + b) + c) / 3.0
    if jaro > 0.7:
        return jaro + (1.0 - jaro) * (p * prefix)
    return jaro
