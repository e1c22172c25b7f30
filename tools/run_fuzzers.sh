#!/usr/bin/env bash
# Builds the core's libFuzzer targets with clang into build/fuzz and runs each
# for the given number of seconds (default 20), starting from the committed seed
# corpus. Prints the executions of each target and in all; fails on the first
# target that finds a difference, a crash or a sanitizer report, and leaves the
# input that did it in build/fuzz/artifacts/ (build/fuzz-<back end>/artifacts/).
#
# Inputs that reach new code are kept in build/fuzz/corpus/<target> for the
# next runs, which first replay all of them: after long runs that replay alone
# takes minutes. --seeds starts from the committed seeds alone and throws away
# what it finds, so that a short run takes about its seconds.
#
# usage: tools/run_fuzzers.sh [--seeds] [seconds-per-target]
# QUILLMATCH_SIMD=portable (or avx2; auto by default) picks the vector back end
# the targets are built with, into build/fuzz-<back end> when given.
set -euo pipefail
cd "$(dirname "$0")/.."

seeds_only=0
if [ "${1:-}" = --seeds ]; then
  seeds_only=1
  shift
fi
seconds=${1:-20}
simd=${QUILLMATCH_SIMD:-auto}
build=build/fuzz
[ "$simd" = auto ] || build=build/fuzz-$simd
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2
targets=(edit_distance jaro_winkler distance_batch jaro_winkler_batch fold_case float_text many rows join
  arrow_column)

# clang, and the libFuzzer runtime, which Debian ships in libclang-rt-*-dev.
have_libfuzzer() {
  [ -n "$(find /usr/lib/llvm-* -name 'libclang_rt.fuzzer-x86_64.a' 2>/dev/null | head -1)" ]
}
if ! command -v clang++ >/dev/null || ! have_libfuzzer; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang
  if ! have_libfuzzer; then
    version=$(clang++ --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p')
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$version-dev"
  fi
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLMATCH_BUILD_MODULE=OFF -DQUILLMATCH_BUILD_FUZZERS=ON -DQUILLMATCH_SIMD="$simd" >/dev/null
cmake --build "$build" -j "$jobs" >/dev/null

bin=$build/quillmatch-core/fuzz
mkdir -p "$build/artifacts"
total=0
for target in "${targets[@]}"; do
  # New inputs go to the first directory, so the committed seeds stay as they are.
  corpus=$build/corpus/$target
  if [ "$seeds_only" -eq 1 ]; then
    corpus=$build/seeds-run/$target
    rm -rf "$corpus"
  fi
  mkdir -p "$corpus"
  log=$build/$target.log
  if ! "$bin/${target}_fuzz" "$corpus" "quillmatch-core/fuzz/corpus/$target" \
      -max_total_time="$seconds" -max_len=4096 -timeout=30 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "FAILED: $target (log: $log; reproduce: $bin/${target}_fuzz <artifact>)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  printf '%-20s %10d executions in %ss\n' "$target" "$runs" "$seconds"
  total=$((total + runs))
done
printf '%-20s %10d executions\n' total "$total"
