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

# The calling convention's floor (bench/call_floor.c), for 3.10 and later when a
# C compiler is at hand; peers.py goes on without it otherwise.
floor_dir=$venv/call_floor
rm -rf "$floor_dir"
if "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 10))' &&
    command -v cc >/dev/null; then
  mkdir -p "$floor_dir"
  include=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
  cc -O2 -shared -fPIC -I"$include" bench/call_floor.c -o "$floor_dir/call_floor.abi3.so" ||
    echo "note: bench/call_floor.c did not build; the call floor is skipped" >&2
fi

PYTHONPATH=$floor_dir${PYTHONPATH:+:$PYTHONPATH} exec "$venv/bin/python" bench/peers.py "$@"
