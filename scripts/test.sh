#!/usr/bin/env bash
# Builds and runs the test suite in three modes: an optimised build; a build with
# AddressSanitizer and UndefinedBehaviorSanitizer (LeakSanitizer included, halt on error)
# that also replays the fuzz corpora and crashers; and a ThreadSanitizer build that runs
# the tests of the codecs, the writer and the threads.
# Usage: scripts/test.sh [release|sanitize|tsan]...   (default: all three)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
modes=("$@")
[ ${#modes[@]} -eq 0 ] && modes=(release sanitize tsan)
for mode in "${modes[@]}"; do
  filter=()
  case "$mode" in
    release)  dir=build/release; flags=(-DCMAKE_BUILD_TYPE=Release) ;;
    sanitize) dir=build/sanitize; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIAN_SANITIZE=ON -DFOLIAN_BUILD_FUZZ=ON) ;;
    tsan)     dir=build/tsan; flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIAN_TSAN=ON)
              filter=(-R '^(Inflate|Png|Jpeg|PdfWrite|ZlibStored|Threads|SmallStack|NullOutPointers)') ;;
    *) echo "unknown mode: $mode" >&2; exit 2 ;;
  esac
  echo "== $mode build"
  cmake -S . -B "$dir" -DFOLIAN_WERROR=ON "${flags[@]}" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "== $mode tests"
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${filter[@]}"
done
