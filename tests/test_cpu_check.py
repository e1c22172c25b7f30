"""The import on processors without AVX2, emulated by qemu-user.

The AVX2 build's kernels use AVX2, BMI1, BMI2 and POPCNT with no check of their own,
so on a processor without them the import itself must fail, with an ImportError,
rather than let a later call (or the import) die of an illegal instruction. The
portable build (QUILLMATCH_EXPECT_SIMD=portable, set by tools/test_portable.sh)
imports on every model and computes what it computes natively.
"""

import os
import platform
import re
import shutil
import subprocess
import sys

import pytest

import quillmatch as qm

QEMU = shutil.which("qemu-x86_64")

# Runs in the emulated interpreter: isolated and without site, so that only the
# module under test is on the path. Prints the outcome of the import and, when
# it succeeds, results that go through the vector kernels.
CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
try:
    import quillmatch as qm
except ImportError as e:
    print("ImportError:", e)
else:
    query, candidates = sys.argv[2], sys.argv[3:]
    print(qm.levenshtein_batch(query, candidates), qm.damerau_batch(query, candidates),
          qm.jaro_winkler_batch(query, candidates, case_insensitive=True))
"""

QUERY = "Kitten \u00e9t\u00e9"
CANDIDATES = ["sitting", "kitten ete", "", "K" * 70, "\u00e9t\u00e9 kitten"] * 7

NEEDS = "quillmatch needs a processor with AVX2, BMI1, BMI2 and POPCNT; this one lacks "

# (qemu CPU model, what the import prints; None: the results computed natively)
MODELS = [
    ("Westmere", "ImportError: " + NEEDS + "AVX2, BMI1 and BMI2"),
    ("qemu64", "ImportError: " + NEEDS + "AVX2, BMI1, BMI2 and POPCNT"),
    ("max", None),
]
AVX2_BUILD = os.environ.get("QUILLMATCH_EXPECT_SIMD", "avx2") == "avx2"
if not AVX2_BUILD:
    MODELS = [(model, None) for model, _ in MODELS]


def qemu_emulates_avx2():
    """qemu-user emulates AVX2 from version 7.2 on; before that "max" lacks it."""
    out = subprocess.run([QEMU, "--version"], capture_output=True, text=True).stdout
    found = re.search(r"version (\d+)\.(\d+)", out)
    return found is not None and tuple(map(int, found.groups())) >= (7, 2)


@pytest.mark.skipif(QEMU is None, reason="needs qemu-x86_64 (Debian package qemu-user)")
@pytest.mark.skipif(platform.machine() != "x86_64", reason="emulates x86-64 processors")
@pytest.mark.skipif(bool(os.environ.get("QUILLMATCH_EXPECT_SANITIZED")),
                    reason="the sanitizer runtimes do not run under qemu-user")
@pytest.mark.parametrize("model, expected", MODELS, ids=[model for model, _ in MODELS])
def test_import_under_emulated_processor(model, expected):
    if expected is None:
        if AVX2_BUILD and not qemu_emulates_avx2():
            pytest.skip("this qemu-user emulates no AVX2")
        expected = "{} {} {}".format(qm.levenshtein_batch(QUERY, CANDIDATES),
                                     qm.damerau_batch(QUERY, CANDIDATES),
                                     qm.jaro_winkler_batch(QUERY, CANDIDATES, case_insensitive=True))
    run = subprocess.run(
        [QEMU, "-cpu", model, sys.executable, "-I", "-S", "-c", CHILD,
         os.path.dirname(qm.__file__), QUERY] + CANDIDATES,
        capture_output=True, text=True, timeout=120)
    # Whatever the model, the interpreter ends normally: never by SIGILL.
    assert run.returncode == 0, (run.returncode, run.stderr)
    assert run.stdout.strip() == expected
