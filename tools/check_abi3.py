"""Audit abi3 wheels with abi3audit, accepting exactly the exceptions listed here.

    python tools/check_abi3.py WHEEL...

Fails when an extension uses a symbol outside the stable ABI, when it uses a
symbol newer than its tag that is not listed below, and when a listed exception
is no longer used (so the list cannot go stale).
"""
import json
import subprocess
import sys

# Stable-ABI functions newer than the wheel's cp38 tag, each with why it is safe.
ACCEPTED = {
    # In CPython's exports since 3.3, in the stable ABI from 3.10. The module calls
    # it only when the running interpreter is 3.10 or later; on 3.8 and 3.9 it
    # encodes through PyUnicode_AsUTF8String instead.
    "PyUnicode_AsUTF8AndSize": "3.10",
}


def main(wheels):
    report = json.loads(subprocess.run(
        [sys.executable, "-m", "abi3audit", "--report", *wheels],
        check=False, stdout=subprocess.PIPE, universal_newlines=True).stdout)
    failures, used = [], {}
    # The report has one top-level entry: what each audited target holds.
    (targets,) = report.values()
    for target, found in targets.items():
        if found.get("kind") != "wheel" or not found.get("wheel"):
            failures.append("{}: no abi3 extension found".format(target))
            continue
        for ext in found["wheel"]:
            where = "{}: {}".format(target, ext["name"])
            result = ext["result"]
            if not result["is_abi3"] or result["non_abi3_symbols"]:
                failures.append("{}: outside the stable ABI: {}".format(
                    where, ", ".join(result["non_abi3_symbols"]) or "not abi3"))
            for symbol, version in sorted(result["future_abi3_objects"].items()):
                used[symbol] = version
                if ACCEPTED.get(symbol) != version:
                    failures.append("{}: {} needs the {} ABI".format(where, symbol, version))
    for symbol in sorted(set(ACCEPTED) - set(used)):
        failures.append("{} is accepted but no longer used: drop it from ACCEPTED".format(symbol))
    for failure in failures:
        print("abi3 check:", failure)
    if not failures:
        print("abi3 check: passed; accepted:", ", ".join(
            "{} ({})".format(s, v) for s, v in sorted(used.items())) or "nothing")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
