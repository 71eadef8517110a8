#!/usr/bin/env bash
# Builds and runs the test suite in each mode asked for (default: all of them in turn):
#   release   optimised build, every test
#   quick     optimised build, every test but those labelled slow (ctest -L slow lists them)
#   sanitize  AddressSanitizer and UndefinedBehaviorSanitizer (LeakSanitizer, halt on error),
#             replaying the fuzz corpora and crashers too
#   tsan      ThreadSanitizer: the tests of the codecs, the writer and the threads
#   package   install into a temporary prefix, consumers via pkg-config, find_package and
#             add_subdirectory (scripts/check-package.sh)
#   windows   MinGW-w64 cross build run under wine, output compared with the Linux build's
#             (scripts/check-windows.sh)
#   python    the Python package installed into a fresh venv (pip, offline) with the release
#             build's library, its tests run with pytest from outside the source folder
# Usage: scripts/test.sh [release|quick|sanitize|tsan|package|windows|python]...
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
modes=("$@")
[ ${#modes[@]} -eq 0 ] && modes=(release sanitize tsan package windows python)

release_build() {
  cmake -S . -B build/release -DFOLIAN_WERROR=ON -DFOLIAN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j "$jobs"
}

for mode in "${modes[@]}"; do
  filter=()
  case "$mode" in
    release)  dir=build/release; flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    quick)    dir=build/release; flags=(-DCMAKE_BUILD_TYPE=Release); filter=(-LE '^slow$') ;;
    sanitize) dir=build/sanitize; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIAN_SANITIZE=ON -DFOLIAN_BUILD_FUZZ=ON) ;;
    tsan)     dir=build/tsan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIAN_TSAN=ON)
              filter=(-R '^(Inflate|Png|Jpeg|PdfWrite|ZlibStored|Deflate|Threads|SmallStack|NullOutPointers)') ;;
    package)
      echo "== package"
      scripts/check-package.sh build/package
      continue ;;
    windows)
      echo "== windows"
      [ -x build/release/folian ] || release_build
      scripts/check-windows.sh build/release/folian
      continue ;;
    python)
      echo "== python"
      release_build >/dev/null
      # The system's Python, whose pytest, pip and setuptools come from the distribution; the
      # venv sees them, and installs the package without reaching any index.
      py=python3
      [ -x /usr/bin/python3 ] && py=/usr/bin/python3
      venv="$PWD/build/python-venv"
      rm -rf "$venv"
      "$py" -m venv --system-site-packages "$venv"
      FOLIAN_LIBRARY="$PWD/build/release/libfolian.so" \
        "$venv/bin/python" -m pip install -q --no-build-isolation --no-index ./python
      rm -rf python/build python/*.egg-info
      root=$PWD
      (cd "$venv" && bin/python -m pytest -q -p no:cacheprovider "$root/python/tests" \
         --folian-build "$root/build/release" --installed)
      continue ;;
    *) echo "unknown mode: $mode" >&2; exit 2 ;;
  esac
  echo "== $mode build"
  cmake -S . -B "$dir" -DFOLIAN_WERROR=ON -DFOLIAN_BUILD_TESTS=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $mode tests"
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${filter[@]}"
done
