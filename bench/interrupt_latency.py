"""Seconds from SIGINT to KeyboardInterrupt, for calls that run long in each of their phases.

Each row runs its call in a fresh interpreter and interrupts it after several delays, so that
the signal lands in each phase of the call (reading, setup, scoring, ordering the pairs); the
row prints the worst latency seen and the median. The interpreter must stay usable: after the
interrupt it answers a small call.

    PYTHONPATH=<folder with the built modules> python bench/interrupt_latency.py [row ...]
"""

import os
import signal
import statistics
import subprocess
import sys
import textwrap
import time

SETUP = {
    "damerau_matrix, 3 000 texts of 3 000 characters, workers=2": (
        'rnd = random.Random(1)\n'
        'texts = ["".join(rnd.choices("abcd\\u00e9", k=3000)) for _ in range(3000)]',
        'qmm.damerau_matrix(texts, workers=2)'),
    "levenshtein_pairs, 5 000 equal texts, cutoff 0": (
        'texts = ["same"] * 5000',
        'qmm.levenshtein_pairs(texts, score_cutoff=0)'),
    "levenshtein_pairs, 5 000 equal texts, cutoff 0, filtered": (
        'texts = ["same"] * 5000',
        'qmm._with_plan("filtered", qmm.levenshtein_pairs, texts, None, 0)'),
    "levenshtein_top, a 20 000-character query, 20 000 texts of 2 000": (
        'rnd = random.Random(1)\n'
        'texts = ["".join(rnd.choices("ab", k=2000)) for _ in range(20000)]',
        'qmm.levenshtein_top(["a" * 20000], texts, 5)'),
    "Index(texts, 'damerau', 3), 3 000 000 texts": (
        'rnd = random.Random(1)\n'
        'texts = ["".join(rnd.choices("abcdefghij", k=rnd.randint(8, 20))) for _ in range(3000000)]',
        'qmm.Index(texts, "damerau", 3)'),
    "jaro_winkler_matrix, 2 000 texts of 2 000 characters": (
        'rnd = random.Random(1)\n'
        'texts = ["".join(rnd.choices("abcdefgh", k=2000)) for _ in range(2000)]',
        'qmm.jaro_winkler_matrix(texts)'),
}
DELAYS = (0.05, 0.3, 0.8, 1.5, 2.5, 4.0)

CHILD = '''
import random, sys, time
import quillmatch_many as qmm
{setup}
print("ready", flush=True)
started = time.monotonic()
try:
    {call}
    print("finished", time.monotonic() - started, flush=True)
    try:
        time.sleep(60)  # the signal comes
    except KeyboardInterrupt:
        pass
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
print("after", qmm.damerau_pairs(["ab", "ba"], score_cutoff=1)[2].tolist(), flush=True)
'''


def one(setup, call, delay):
    """Seconds from the signal to the exception, or None when the call finished first."""
    code = textwrap.dedent(CHILD).format(setup=setup, call=call)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=dict(os.environ))
    assert child.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=600)
    lines = out.split("\n")
    assert child.returncode == 0 and "after [1]" in lines, (child.returncode, out, err)
    if lines[0].startswith("finished"):
        return None
    return float(lines[0].split()[1]) - sent


def main():
    rows = [r for r in SETUP if not sys.argv[1:] or any(a in r for a in sys.argv[1:])]
    print("%-70s %8s %8s" % ("call", "worst s", "median s"))
    for row in rows:
        seen = [s for s in (one(*SETUP[row], d) for d in DELAYS) if s is not None]
        if not seen:
            print("%-70s finished before every signal" % row)
            continue
        print("%-70s %8.3f %8.3f" % (row, max(seen), statistics.median(seen)), flush=True)


if __name__ == "__main__":
    main()
