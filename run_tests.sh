#!/usr/bin/env bash
# Runs every test of the project on a fresh machine, installing what it needs:
# GoogleTest and qemu-user, which emulates processors without AVX2 for the
# import test (apt-get, when missing), and a virtual environment with pytest,
# hypothesis, numpy, pyarrow, polars, pandas and DuckDB (the Arrow producers the
# column tests and the README's column examples run against, and the hosts of
# quillmatch_many's DuckDB, polars and pandas modules), splink (no extras) and
# Faker (the linkage example's test), dask[distributed], mypy, basedpyright,
# abi3audit and build.
# Then: the C++ tests, the C++ tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer, the core's fuzz targets for 6 seconds each from
# their committed seeds (tools/run_fuzzers.sh, which installs clang when
# missing; .ci/run fuzzes longer, from all they found), the sdist and the
# x86-64 wheel built from it with Zig (tools/build_wheels.sh: auditwheel must
# find it within manylinux_2_17, and tags it so), the example run in a clean
# venv with the tagged wheel, the abi3 audit, the type checkers over the
# installed stubs, pytest, pytest again against the module built with both
# sanitizers, and the wheel's portable engines under an emulated x86-64
# without AVX2.
#
# Builds use both cores; the runs that use one core (the sanitized tests, the
# fuzzers) go on in the background beside the wheel's build and the checks of
# the wheel. Each background stage writes its own log under build/logs, shown
# whole when the stage is collected, so the output still reads stage by stage.
set -euo pipefail
cd "$(dirname "$0")"

python=${PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)
fuzz_seconds=6

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v qemu-x86_64 >/dev/null || missing+=(qemu-user)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

# Background stages run in process groups of their own (job control), so that
# a failure anywhere stops every one of them and all they started.
set -m
declare -A running=()  # stage name -> process id (and group) of a stage not yet collected
stop_running() {
  local pid
  for pid in "${running[@]}"; do kill -- -"$pid" 2>/dev/null || true; done
}
trap stop_running EXIT
trap 'exit 130' INT TERM
rm -rf build/logs
mkdir -p build/logs
# start NAME COMMAND...: runs the command in the background, output to its log.
start() {
  local name=$1
  shift
  "$@" >"build/logs/$name.log" 2>&1 &
  running[$name]=$!
}
# stage TITLE: the header of a stage run here, with the minutes since the start.
clock() { printf '%d:%02d' $((SECONDS / 60)) $((SECONDS % 60)); }
stage() { echo "== $* [$(clock)]"; }
# collect NAME: waits for the stage, shows its log, and fails if it failed.
collect() {
  local status=0
  wait "${running[$1]}" || status=$?
  unset "running[$1]"
  cat "build/logs/$1.log"
  echo "   ($1 collected at $(clock))"
  if [ "$status" -ne 0 ]; then
    echo "FAILED: $1 (log: build/logs/$1.log)" >&2
    exit 1
  fi
}

[ -x .venv/bin/python ] || "$python" -m venv .venv
# The Arrow producers come as wheels only: a source build of any of them takes
# longer than every test together.
# The emulated portable run's own venv (numpy below 2) is made here too, while
# the builds run.
start venv sh -c ".venv/bin/python -m pip install -q --disable-pip-version-check pytest hypothesis \
  numpy 'dask[distributed]' splink faker mypy basedpyright abi3audit build &&
  .venv/bin/python -m pip install -q --disable-pip-version-check --only-binary=:all: \
  pyarrow polars pandas duckdb &&
  { [ -x build/qemu64-venv/bin/python ] || '$python' -m venv build/qemu64-venv; } &&
  build/qemu64-venv/bin/python -m pip install -q --disable-pip-version-check pytest hypothesis 'numpy<2'"

stage "C++ tests"
cmake -S . -B build/tests -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMATCH_BUILD_MODULE=OFF \
  -DQUILLMATCH_BUILD_TESTS=ON -DQUILLMATCH_WERROR=ON >/dev/null
cmake --build build/tests -j "$jobs"
build/tests/quillmatch-core/quillmatch_core_tests --gtest_brief=1

# One build under AddressSanitizer and UndefinedBehaviorSanitizer serves the C++
# tests and the Python tests: the core is compiled with them once, at -O0. (At
# -O1 the tests would run in less than half the time, but GCC 12 miscompiles
# the pair lanes there under -fsanitize=undefined: in DistanceLanes::group the
# loop that sets each lane's top bit reads the lane index from a stack slot that
# only the path of an out-of-range shift writes, so a lane takes another
# lane's top bit. Plain -O1 and -O2, -O0 with the sanitizers and clang at -O1 and -O2
# with them give the right scores.)
stage "build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g" -DQUILLMATCH_BUILD_MODULE=ON \
  -DQUILLMATCH_BUILD_TESTS=ON -DQUILLMATCH_SANITIZE=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python" >/dev/null
cmake --build build/sanitize -j "$jobs" >build/logs/sanitize-build.log 2>&1 ||
  { cat build/logs/sanitize-build.log; exit 1; }
tail -n 1 build/logs/sanitize-build.log
collect venv

sanitized_tests() {
  echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    build/sanitize/quillmatch-core/quillmatch_core_tests --gtest_brief=1
  echo "== Python tests against the module built with AddressSanitizer and UndefinedBehaviorSanitizer"
  # The interpreter itself is not instrumented, so the runtimes are preloaded and
  # leak checking (which would report the interpreter's own process-lifetime
  # allocations) is off; memory errors and undefined behaviour still abort.
  # Objects come from malloc rather than the interpreter's own pools, so the
  # sanitizer knows where each str ends and reports any read past it. Only
  # Python-level output is captured, so a report reaches the log before the
  # abort. The table generator's test runs no native code and is left to the
  # plain run; the property tests take fewer examples here (tests/test_scalar.py).
  local cxx=${CXX:-c++}
  LD_PRELOAD="$("$cxx" -print-file-name=libasan.so):$("$cxx" -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    PYTHONMALLOC=malloc \
    PYTHONPATH=build/sanitize/py QUILLMATCH_EXPECT_SANITIZED=1 \
    .venv/bin/python -m pytest -q -p no:cacheprovider --capture=sys \
    --ignore=tests/test_case_tables.py tests
}
start sanitized sanitized_tests
start fuzz bash -c "echo '== fuzz targets of the core, $fuzz_seconds s each' &&
  tools/run_fuzzers.sh --seeds $fuzz_seconds"

# The sdist and the x86-64 wheel built from it, which auditwheel must find
# within manylinux_2_17 and tags so (build/dist).
tools/build_wheels.sh x86_64
wheel=$(ls build/dist/quillmatch-*_x86_64.whl)
.venv/bin/python tools/check_abi3.py "$wheel"

stage "the example, in a clean venv with the tagged wheel alone"
rm -rf build/clean-venv
"$python" -m venv build/clean-venv
build/clean-venv/bin/python -m pip install -q --disable-pip-version-check "$wheel"
(cd build && clean-venv/bin/python ../examples/rank_names.py >/dev/null)
.venv/bin/python -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$wheel"

stage "type checks of the installed stubs: stubtest, mypy --strict and basedpyright"
# stubtest compares the stub with the module itself; tests/typing/ marks each
# misuse with an ignore comment that both checkers must find needed.
.venv/bin/python -m mypy.stubtest quillmatch
.venv/bin/python -m mypy --strict examples tests/typing
.venv/bin/basedpyright --pythonpath .venv/bin/python

# The plain run waits for the fuzzers, which keep a core busy: its lock tests
# retry on a loaded machine, but each retry is a longer run.
collect fuzz

# The wheel's portable engines: the batch, quillmatch_many, import and
# argument tests under qemu-x86_64 -cpu qemu64, a processor without SSE4, AVX,
# BMI or POPCNT, where the wheel must choose them. .ci/run runs the portable
# C++ tests and every Python test there, and the ARM64 wheel under
# qemu-aarch64. Started beside the plain run: the last stages then end
# together rather than one after the other.
start portable bash -c "echo '== the portable back end of the wheel, emulated x86-64 without AVX2' &&
  tools/test_portable.sh --python-only"

stage "Python tests"
.venv/bin/python -m pytest -q -p no:cacheprovider tests

collect sanitized
collect portable
