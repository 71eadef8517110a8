#!/usr/bin/env bash
# Checks that a shared library exports exactly the functions its public header declares,
# each under a FOLIAN_ symbol version.
# Usage: check-exports.sh LIBRARY HEADER
set -euo pipefail
lib=$1 header=$2
expected=$(grep -E '^FOLIAN_API' "$header" | grep -oE 'FOLIAN_API [^(]*\(' | sed -E 's/.*[ *]([a-z_0-9]+)\($/\1/' | sort -u)
# Names as nm prints them, with the version after '@@' (or '@'); the version node itself is
# an absolute symbol ('A') and is not a function.
versioned=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TtWwDdBbRrVvi]$/ {print $3}' \
            | grep -vE '^(_init|_fini|_edata|_end|__bss_start)(@|$)' | sort -u)
actual=$(echo "$versioned" | sed -E 's/@.*//' | sort -u)
if [ "$expected" != "$actual" ]; then
  echo "exported symbols differ from the public header:"
  diff <(echo "$expected") <(echo "$actual") || true
  exit 1
fi
unversioned=$(echo "$versioned" | grep -vE '@@?FOLIAN_[0-9]+\.[0-9]+$' || true)
if [ -n "$unversioned" ]; then
  echo "exported without a FOLIAN_ symbol version:"
  echo "$unversioned"
  exit 1
fi
echo "exports match: $(echo "$expected" | wc -l) functions, all versioned"
