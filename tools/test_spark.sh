#!/usr/bin/env bash
# The keyed join on Spark: tests/test_distributed.py's Spark runs, in local[2]
# and on a standalone master and worker on 127.0.0.1 that the test starts and
# stops, against the x86-64 wheel in build/dist (tools/build_wheels.sh x86_64).
# Installs what it needs: Java 17 (apt-get, when there is no java) and a venv
# of its own (build/spark-venv) with pyspark, pyarrow and pandas.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
if ! command -v java >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq openjdk-17-jre-headless
fi

venv=build/spark-venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis numpy pyarrow pandas \
  'pyspark>=4'
wheel=$(ls build/dist/quillmatch-*_x86_64.whl)
"$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"
echo "== the keyed join on Spark: local[2], and a standalone master and worker on 127.0.0.1"
(cd build && "../$venv/bin/python" -m pytest -q -p no:cacheprovider -k spark ../tests/test_distributed.py)
