#!/usr/bin/env bash
# Prints tools/results_digest.py's digest of the native build (AVX2 on x86-64),
# which the emulated platform tests compare with their own: the wheel installed
# in .venv when there is one (run_tests.sh installs it), else a module built
# into build/reference.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ -x .venv/bin/python ] && (cd build 2>/dev/null && ../.venv/bin/python -c "import quillmatch, numpy") \
    >/dev/null 2>&1; then
  (cd build && ../.venv/bin/python ../tools/results_digest.py)
  exit 0
fi
python=${PYTHON:-python3}
venv=build/reference-venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check numpy >&2
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2
cmake -S . -B build/reference -DCMAKE_BUILD_TYPE=Release \
  -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null
cmake --build build/reference -j "$jobs" >/dev/null
PYTHONPATH=build/reference/py "$venv/bin/python" tools/results_digest.py
