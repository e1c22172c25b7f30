#!/usr/bin/env bash
# The portable back end (plain C++, no intrinsics) on an x86-64 processor
# without AVX2: the core's C++ tests built with it (QUILLMATCH_SIMD=portable,
# into build/portable) run natively (the lane tests compare its lanes with the
# word steps); then the x86-64 wheel of build/dist (tools/build_wheels.sh),
# installed in a venv of its own (build/qemu64-venv), runs the Python tests
# under `qemu-x86_64 -cpu qemu64` (no SSE4, AVX, BMI or POPCNT), where it must
# choose its portable engines, and a digest of many results there
# (tools/results_digest.py) must equal the native run's. Installs qemu-user and
# GoogleTest (apt-get) when missing; the venv has numpy below 2, as numpy 2's
# x86-64 wheels need SSE4.2 and POPCNT.
#
# usage: tools/test_portable.sh [--full | --python-only]
#   Without --full, the Python tests are the batch, quillmatch_many, import and
#   argument subsets (about 1.5 minutes emulated); with it, all of them (about 3).
#   --python-only: the subsets, without building or running the C++ tests.
set -euo pipefail
cd "$(dirname "$0")/.."

full=0
cpp_tests=1
case "${1:-}" in
  --full) full=1 ;;
  --python-only) cpp_tests=0 ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2
python=${PYTHON:-python3}

missing=()
command -v qemu-x86_64 >/dev/null || missing+=(qemu-user)
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

venv=build/qemu64-venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check pytest hypothesis 'numpy<2'

wheel=$(ls build/dist/quillmatch-*_x86_64.whl)
"$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"

if [ "$cpp_tests" -eq 1 ]; then
  echo "== portable back end: C++ tests"
  cmake -S . -B build/portable -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMATCH_SIMD=portable \
    -DQUILLMATCH_BUILD_MODULE=OFF -DQUILLMATCH_BUILD_TESTS=ON -DQUILLMATCH_WERROR=ON >/dev/null
  cmake --build build/portable -j "$jobs" >/dev/null
  build/portable/quillmatch-core/quillmatch_core_tests --gtest_brief=1
fi

# numpy's OpenBLAS picks its kernels from the host processor's name, which
# qemu passes through: on some hosts it picks Haswell code, and the emulated
# processor has no AVX. The oldest x86-64 kernels run everywhere.
export OPENBLAS_CORETYPE=Prescott

tests=(tests)
select=()
if [ "$full" -eq 0 ]; then
  tests=(tests/test_batch.py tests/test_many.py tests/test_cpu_check.py tests/test_frame.py)
  select=(-k "not large_batches and not lock_held")
fi
echo "== the wheel's portable engines: Python tests under qemu-x86_64 -cpu qemu64 (${tests[*]})"
# Child interpreters that tests start run natively, with the same module.
QUILLMATCH_EXPECT_SIMD=portable \
  qemu-x86_64 -cpu qemu64 "$venv/bin/python" -m pytest -q -p no:cacheprovider "${select[@]}" \
  "${tests[@]}"

echo "== the wheel's portable engines: results under qemu64 equal the native run's, bit for bit"
mkdir -p build/portable
tools/reference_digest.sh >build/portable/reference-digest.txt
qemu-x86_64 -cpu qemu64 "$venv/bin/python" tools/results_digest.py >build/portable/digest.txt
diff build/portable/reference-digest.txt build/portable/digest.txt
echo "the same $(wc -l <build/portable/digest.txt) digests"
