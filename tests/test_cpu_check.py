"""The back end each module runs, chosen when it is executed, and the import on
processors without AVX2, emulated by qemu-user.

The x86-64 modules carry the AVX2 and the portable engines. The AVX2 build's
kernels use AVX2, BMI1, BMI2 and POPCNT with no check of their own, so the
module must choose the portable engines wherever one of them is missing, or
the operating system does not save the AVX registers, and compute the same
results there. The runners say which back end the module under test must run
natively (QUILLMATCH_EXPECT_SIMD: avx2 in .ci/run, portable under
qemu-x86_64 -cpu qemu64 in tools/test_portable.sh, neon in tools/test_arm64.sh).
"""

import os
import platform
import re
import shutil
import subprocess
import sys

import pytest

import quillmatch as qm
import quillmatch_many as qmm
from helpers import SANITIZED

QEMU = shutil.which("qemu-x86_64")
EXPECTED_SIMD = os.environ.get("QUILLMATCH_EXPECT_SIMD")


def test_modules_publish_the_back_end_they_run():
    assert qm.simd == qmm.simd
    assert qm.simd in ("avx2", "portable", "neon")
    assert "simd" not in qm.__all__ and "simd" not in qmm.__all__
    if EXPECTED_SIMD:
        assert qm.simd == EXPECTED_SIMD


# Runs in the emulated interpreter: isolated and without site, so that the
# module under test is found first. Prints the outcome of the import and, when
# it succeeds, the back end and results that go through the vector kernels.
CHILD = """
import sys
sys.path.insert(0, sys.argv[1])
# The module's own results, not numpy's arrays: an installed numpy 2 beside the
# module needs SSE4.2 and POPCNT itself.
sys.modules["numpy"] = None
try:
    import quillmatch as qm
    import quillmatch_many as qmm
except ImportError as e:
    print("ImportError:", e)
else:
    query, candidates = sys.argv[2], sys.argv[3:]
    print(qm.simd, qmm.simd, qm.levenshtein_batch(query, candidates), qm.damerau_batch(query, candidates),
          qm.jaro_winkler_batch(query, candidates, case_insensitive=True),
          [c.tolist() for c in qmm.jaro_winkler_pairs([query], candidates, score_cutoff=0.5,
                                                      case_insensitive=True)])
"""

QUERY = "Kitten \u00e9t\u00e9"
CANDIDATES = ["sitting", "kitten ete", "", "K" * 70, "\u00e9t\u00e9 kitten"] * 7

# (qemu CPU model, whether it has all the AVX2 back end needs)
MODELS = [
    ("qemu64", False),  # no SSE4, AVX, BMI or POPCNT
    ("Westmere", False),  # POPCNT, no AVX, BMI1 or BMI2
    ("max,-bmi2", False),  # everything but BMI2
    ("max,-popcnt", False),  # everything but POPCNT
    ("max,-xsave", False),  # AVX2 in CPUID, but no XSAVE: the AVX state is not saved
    ("Haswell", True),
    ("max", True),
]


def qemu_emulates_avx2():
    """qemu-user emulates AVX2 from version 7.2 on; before that "max" lacks it."""
    out = subprocess.run([QEMU, "--version"], capture_output=True, text=True).stdout
    found = re.search(r"version (\d+)\.(\d+)", out)
    return found is not None and tuple(map(int, found.groups())) >= (7, 2)


@pytest.mark.skipif(QEMU is None, reason="needs qemu-x86_64 (Debian package qemu-user)")
@pytest.mark.skipif(platform.machine() != "x86_64", reason="emulates x86-64 processors")
@pytest.mark.skipif(SANITIZED,
                    reason="the sanitizer runtimes do not run under qemu-user")
@pytest.mark.parametrize("model, runs_avx2", MODELS, ids=[model for model, _ in MODELS])
def test_import_under_emulated_processor(model, runs_avx2):
    if runs_avx2 and not qemu_emulates_avx2():
        pytest.skip("this qemu-user emulates no AVX2")
    simd = "avx2" if runs_avx2 else "portable"
    expected = "{0} {0} {1} {2} {3} {4}".format(
        simd, qm.levenshtein_batch(QUERY, CANDIDATES), qm.damerau_batch(QUERY, CANDIDATES),
        qm.jaro_winkler_batch(QUERY, CANDIDATES, case_insensitive=True),
        [c.tolist() for c in qmm.jaro_winkler_pairs([QUERY], CANDIDATES, score_cutoff=0.5,
                                                    case_insensitive=True)])
    run = subprocess.run(
        [QEMU, "-cpu", model, sys.executable, "-I", "-S", "-c", CHILD,
         os.path.dirname(qm.__file__), QUERY] + CANDIDATES,
        capture_output=True, text=True, timeout=300)
    # Whatever the model, the interpreter ends normally: never by SIGILL.
    assert run.returncode == 0, (run.returncode, run.stderr)
    assert run.stdout.strip() == expected
