#!/usr/bin/env bash
# Whole conversions with the tool, side by side with img2pdf: wall time, peak resident
# memory (/usr/bin/time -v) and output size, on each corpus group and on a batch of 500
# A4 scans (the corpus's five scans, linked 100 times each), at A4 and 300 dpi.
# Usage: bench/convert_bench.sh CORPUS_DIR [TOOL...]
#   TOOL defaults to build/release/folian; give several (an older build first, for example)
#   to compare them in the same run. Each run is repeated REPS times (default 3), the best
#   shown. The scan batch (SCANS pages, default 500) runs once and only with the last TOOL:
#   a whole-document writer would need tens of GB for it.
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=${1:?usage: bench/convert_bench.sh CORPUS_DIR [TOOL...]}
shift
tools=("$@")
[ ${#tools[@]} -eq 0 ] && tools=(build/release/folian)
if ! command -v img2pdf >/dev/null; then
  if command -v apt-get >/dev/null && { [ "$(id -u)" = 0 ] || command -v sudo >/dev/null; }; then
    ${SUDO:-$( [ "$(id -u)" = 0 ] || echo sudo )} apt-get install -y img2pdf >/dev/null 2>&1 || true
  fi
fi
command -v img2pdf >/dev/null || echo "note: img2pdf could not be installed; its column is skipped"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/scan500"
scans=${SCANS:-500}
for i in $(seq -w 1 $(( (scans + 4) / 5 ))); do
  for f in "$corpus"/png-scan/*.png; do ln -s "$(readlink -f "$f")" "$work/scan500/${i}_$(basename "$f")"; done
done
# measure NAME COMMAND...: best wall time (s), its peak RSS (MiB), output size (MB)
measure() {
  local name=$1 reps=$2; shift 2
  local best="" rss="" size=""
  for rep in $(seq 1 "$reps"); do
    rm -f "$work/out.pdf"
    if ! /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/err.txt"; then
      printf "%-28s failed: %s (peak %s KiB)\n" "$name" "$(head -1 "$work/err.txt")" \
        "$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")"
      return
    fi
    local wall kib
    wall=$(awk -F': ' '/Elapsed/ {n=split($2,a,":"); s=0; for(i=1;i<=n;i++) s=s*60+a[i]; print s}' "$work/time.txt")
    kib=$(awk -F': ' '/Maximum resident/ {print $2}' "$work/time.txt")
    if [ -z "$best" ] || awk "BEGIN{exit !($wall < $best)}"; then best=$wall; rss=$kib; fi
    size=$(stat -c %s "$work/out.pdf")
  done
  printf "%-28s %8.2f s %8.0f MiB %9.1f MB\n" "$name" "$best" "$(echo "$rss/1024" | bc -l)" "$(echo "$size/1000000" | bc -l)"
}
echo "== commit $(git rev-parse --short HEAD 2>/dev/null || echo '?'), $(nproc) cores, A4 at 300 dpi"
for group in jpeg png-rgb png-rgba png-scan scan500; do
  dir="$corpus/$group"
  [ "$group" = scan500 ] && dir="$work/scan500"
  files=("$dir"/*)
  reps=${REPS:-3} run=("${tools[@]}")
  if [ "$group" = scan500 ]; then files=("${files[@]:0:$scans}"); reps=1; run=("${tools[-1]}"); fi
  echo "-- $group (${#files[@]} files)"
  for t in "${run[@]}"; do measure "$t" "$reps" "$t" -p a4 -r 300 -o "$work/out.pdf" "${files[@]}"; done
  if command -v img2pdf >/dev/null; then
    measure img2pdf "$reps" img2pdf --pagesize A4 --imgsize 300dpix300dpi -o "$work/out.pdf" "${files[@]}"
  fi
done
