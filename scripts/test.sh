#!/usr/bin/env bash
# Builds and runs the whole test suite twice: an optimised build, then a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (LeakSanitizer included, halt on error).
# Usage: scripts/test.sh [release|sanitize]...   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
modes=("$@")
[ ${#modes[@]} -eq 0 ] && modes=(release sanitize)
for mode in "${modes[@]}"; do
  case "$mode" in
    release)  dir=build/release; flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    sanitize) dir=build/sanitize; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIAN_SANITIZE=ON) ;;
    *) echo "unknown mode: $mode" >&2; exit 2 ;;
  esac
  echo "== $mode build"
  cmake -S . -B "$dir" -DFOLIAN_WERROR=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $mode tests"
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs"
done
