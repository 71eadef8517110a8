#!/usr/bin/env bash
# Compiles the public header on its own in every language mode a host may use:
# C89, C99, C11, C++98, C++11 and C++17, each with -pedantic -Wall -Wextra -Werror.
# Usage: scripts/check-header.sh [CC] [CXX]
set -euo pipefail
cd "$(dirname "$0")/.."
cc=${1:-${CC:-cc}}
cxx=${2:-${CXX:-c++}}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf '#include "folian.h"\nint folian_header_check(void) { return FOLIAN_VERSION_MAJOR; }\n' >"$tmp/use.c"
cp "$tmp/use.c" "$tmp/use.cpp"
warn=(-pedantic -Wall -Wextra -Werror -fsyntax-only -Iinclude)
status=0
for std in c89 c99 c11; do
  if "$cc" -std=$std "${warn[@]}" "$tmp/use.c"; then echo "ok   $std"; else echo "FAIL $std"; status=1; fi
done
for std in c++98 c++11 c++17; do
  if "$cxx" -std=$std "${warn[@]}" "$tmp/use.cpp"; then echo "ok   $std"; else echo "FAIL $std"; status=1; fi
done
exit $status
