#!/usr/bin/env bash
# Benchmarks quillmatch against its peers in a virtual environment of its own:
# installs bench/requirements.txt and the project from the repository root, then
# runs bench/peers.py with the arguments given (e.g. --quick).
# PYTHON chooses the interpreter (default python3).
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
venv=build/bench-venv-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
# When the whole set does not install (a peer with no build for this Python, say),
# each is tried alone; peers.py skips one that is missing.
if ! "${pip[@]}" -r bench/requirements.txt; then
  grep -v '^#' bench/requirements.txt | while read -r req; do
    "${pip[@]}" "$req" || echo "note: could not install $req; it is skipped" >&2
  done
fi
"${pip[@]}" .

exec "$venv/bin/python" bench/peers.py "$@"
