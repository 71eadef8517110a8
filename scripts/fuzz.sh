#!/usr/bin/env bash
# Runs one fuzz campaign: builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on), fuzzes TARGET for SECONDS from its seed corpus, then
# merges what the campaign found back into fuzz/corpus/TARGET, minimised (only inputs
# that add coverage are kept). A crashing input is left in build/fuzz/artifacts/TARGET;
# copy it to fuzz/crashers/TARGET/ with a line in fuzz/crashers/README.md once mended.
# Usage: scripts/fuzz.sh TARGET SECONDS   (TARGET: the name of a fuzz/TARGET_fuzz.cpp)
# With FUZZ_RUNS=N set, the campaign ends after N executions or SECONDS, whichever is first.
# Prints the executions, their rate and the date of the campaign on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ne 2 ]; then
  echo "usage: scripts/fuzz.sh TARGET SECONDS" >&2
  exit 2
fi
target=$1
seconds=$2
[ -f "fuzz/${target}_fuzz.cpp" ] || { echo "no fuzz target fuzz/${target}_fuzz.cpp" >&2; exit 2; }
dir=build/fuzz
cmake -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFOLIAN_BUILD_FUZZ=ON -DFOLIAN_SANITIZE=ON \
  -DFOLIAN_BUILD_TESTS=OFF -DFOLIAN_BUILD_TOOL=OFF -DFOLIAN_WERROR=ON >/dev/null
cmake --build "$dir" --target "${target}_fuzz" -j 2 >/dev/null
seeds=fuzz/corpus/$target
work=$dir/work/$target
artifacts=$dir/artifacts/$target
mkdir -p "$seeds" "$work" "$artifacts"
log=$dir/$target.log
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
"$dir/${target}_fuzz" "$work" "$seeds" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 \
  -timeout=20 -artifact_prefix="$artifacts/" -print_final_stats=1 ${FUZZ_RUNS:+-runs=$FUZZ_RUNS} 2>"$log" || {
  echo "campaign stopped on a failure; see $log and $artifacts" >&2
  exit 1
}
runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
# Minimise: a fresh corpus of the inputs that together keep every feature seen.
merged=$dir/merged/$target
rm -rf "$merged"
mkdir -p "$merged"
"$dir/${target}_fuzz" -merge=1 -max_len=65536 "$merged" "$seeds" "$work" >>"$log" 2>&1
# Keep the stored corpus small: past the budget the largest inputs go first.
budget_kb=${FUZZ_CORPUS_KB:-300}
while [ "$(du -sk "$merged" | cut -f1)" -gt "$budget_kb" ]; do
  rm -f "$(ls -S "$merged" | head -1 | sed "s|^|$merged/|")"
done
rm -rf "$seeds"
mv "$merged" "$seeds"
echo "$target: ${runs:-?} executions (${rate:-?}/s) in at most ${seconds} s on $(date -u +%Y-%m-%d), corpus $(ls "$seeds" | wc -l) files, $(du -sk "$seeds" | cut -f1) KB"
