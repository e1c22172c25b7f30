#!/usr/bin/env bash
# quillmatch on ARM64 (the NEON back end): the core's C++ tests built with
# Debian's cross compiler, and the ARM64 wheel of build/dist (cross-compiled by
# tools/build_wheels.sh), tested under qemu-aarch64 with Debian's own ARM64
# CPython 3.11:
#  - installs (apt-get) g++-aarch64-linux-gnu, qemu-user and googletest's
#    sources when missing, and enables the arm64 architecture for downloads;
#  - downloads the ARM64 interpreter and the libraries it and its standard
#    library load (apt-get download) and unpacks them into build/arm64/sysroot,
#    installing none of them;
#  - builds GoogleTest and the core's C++ tests for ARM64
#    (cmake/aarch64-linux-gnu.cmake) and runs them emulated;
#  - puts pytest, hypothesis and numpy's manylinux2014_aarch64 wheel in
#    build/arm64/site (pip install --target), unpacks the ARM64 wheel into
#    build/arm64/wheel and runs the Python tests with the
#    ARM64 interpreter, all but those that start a child interpreter (the
#    kernel cannot run an ARM64 program itself without binfmt_misc) and the
#    x86-64 import test;
#  - compares a digest of many results (tools/results_digest.py) with the
#    native build's.
#
# usage: tools/test_arm64.sh
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2
python=${PYTHON:-python3}
out=$PWD/build/arm64
sysroot=$out/sysroot
toolchain=$PWD/cmake/aarch64-linux-gnu.cmake

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null || missing+=(qemu-user)
[ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
updated=0
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
  $sudo dpkg --add-architecture arm64
  $sudo apt-get update -qq
  updated=1
fi
if [ ${#missing[@]} -gt 0 ]; then
  [ "$updated" -eq 1 ] || $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# The interpreter, and the libraries of the standard library's extension
# modules that the tests import (ctypes, decimal, hashlib, lzma, bz2, ...).
packages=(python3.11-minimal libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev
  libc6 libstdc++6 libgcc-s1 zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 libcrypt1
  libuuid1 libncursesw6 libtinfo6 libreadline8 libsqlite3-0)
if [ ! -f "$sysroot/.unpacked" ]; then
  echo "== ARM64 sysroot: ${packages[*]}"
  rm -rf "$out/debs" "$sysroot"
  mkdir -p "$out/debs" "$sysroot"
  (cd "$out/debs" && apt-get download -qq "${packages[@]/%/:arm64}")
  for deb in "$out"/debs/*.deb; do dpkg -x "$deb" "$sysroot"; done
  touch "$sysroot/.unpacked"
fi
run_arm64() { QEMU_LD_PREFIX="$sysroot" qemu-aarch64 "$@"; }
arm64_python=("$sysroot/usr/bin/python3.11")
echo "== $(run_arm64 "${arm64_python[@]}" -c \
  'import platform, sys; print("CPython", sys.version.split()[0], "on", platform.machine())')"

if [ ! -f "$out/site/.installed" ]; then
  echo "== pytest, hypothesis and numpy for aarch64 into build/arm64/site"
  [ -x "$out/host-venv/bin/python" ] || "$python" -m venv "$out/host-venv"
  wheel_flags=(--platform manylinux2014_aarch64 --python-version 3.11 --implementation cp
    --only-binary=:all:)
  rm -rf "$out/wheels" "$out/site"
  "$out/host-venv/bin/python" -m pip download -q --disable-pip-version-check "${wheel_flags[@]}" \
    -d "$out/wheels" numpy pytest hypothesis
  "$out/host-venv/bin/python" -m pip install -q --disable-pip-version-check "${wheel_flags[@]}" \
    --no-index --find-links "$out/wheels" --target "$out/site" numpy pytest hypothesis
  touch "$out/site/.installed"
fi

echo "== GoogleTest for ARM64"
if [ ! -f "$out/gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$out/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$out/gtest" >/dev/null
  cmake --build "$out/gtest-build" -j "$jobs" >/dev/null
  cmake --install "$out/gtest-build" >/dev/null
fi

echo "== NEON back end: C++ tests under qemu-aarch64"
cmake -S . -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMATCH_ARM64_PREFIXES="$out/gtest" -DQUILLMATCH_BUILD_TESTS=ON -DQUILLMATCH_WERROR=ON \
  -DQUILLMATCH_BUILD_MODULE=OFF \
  "-DCMAKE_CXX_FLAGS=-idirafter $sysroot/usr/include" >/dev/null
cmake --build "$out/build" -j "$jobs" >/dev/null
run_arm64 "$out/build/quillmatch-core/quillmatch_core_tests" --gtest_brief=1

echo "== the ARM64 wheel: Python tests under qemu-aarch64"
wheel=$(ls build/dist/quillmatch-*_aarch64.whl)
rm -rf "$out/wheel"
"$python" -m zipfile -e "$wheel" "$out/wheel"
# Each of these starts a child interpreter (sys.executable) or emulates x86-64.
no_child="not test_generator_rejects and not committed_tables_match"
no_child+=" and not references_and_memory_flat and not out_of_memory_raises"
no_child+=" and not without_numpy_results and not too_large_raises"
no_child+=" and not threads_the_system_refuses and not ctrl_c_stops"
no_child+=" and not import_under_emulated_processor and not short_of_memory"
no_child+=" and not without_numpy_labels and not imports_no_host and not numpy_c_api_out_of_reach"
PYTHONPATH="$out/site:$out/wheel" QUILLMATCH_EXPECT_SIMD=neon \
  run_arm64 "${arm64_python[@]}" -m pytest -q -p no:cacheprovider -k "$no_child" tests

echo "== the ARM64 wheel: results equal the native run's, bit for bit"
tools/reference_digest.sh >"$out/reference-digest.txt"
PYTHONPATH="$out/site:$out/wheel" run_arm64 "${arm64_python[@]}" tools/results_digest.py \
  >"$out/digest.txt"
diff "$out/reference-digest.txt" "$out/digest.txt"
echo "the same $(wc -l <"$out/digest.txt") digests"
