#!/usr/bin/env bash
# Cross-builds the DLL, the tool and two small C hosts for 64-bit Windows with MinGW-w64
# (warnings are errors), checks that they need no DLL beyond the system's, and runs them
# under wine: the tool's PDFs and transcoded files must be byte-identical to the Linux
# build's, and UTF-8 and ANSI paths must reach the right files.
# Usage: scripts/check-windows.sh [LINUX_TOOL]   (default build/release/folian, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
dir=$src/build/windows
jobs=$(nproc 2>/dev/null || echo 2)
linux_tool=${1:-build/release/folian}
mingw=x86_64-w64-mingw32
wine=$(command -v wine || command -v wine64 || true)
[ -n "$wine" ] || { echo "windows: wine is not installed (scripts/install-deps.sh)"; exit 1; }

echo "== windows: cross build"
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release -DFOLIAN_WERROR=ON >/dev/null
cmake --build "$dir" -j "$jobs"
for host in c_host win_paths; do
  $mingw-gcc -Wall -Wextra -Werror -Iinclude "tests/c/$host.c" "$dir/libfolian.dll.a" -o "$dir/$host.exe"
done
if [ ! -x "$linux_tool" ]; then
  cmake -S . -B build/release-tool -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release-tool -j "$jobs" --target folian_tool >/dev/null
  linux_tool=build/release-tool/folian
fi
linux_tool=$(cd "$(dirname "$linux_tool")" && pwd)/$(basename "$linux_tool")

# Nothing but system DLLs: libgcc, libstdc++ and winpthread are linked in.
for bin in libfolian.dll folian.exe c_host.exe win_paths.exe; do
  deps=$($mingw-objdump -p "$dir/$bin" | awk '/DLL Name:/ {print $3}' | tr 'A-Z' 'a-z' \
         | grep -vE '^(kernel32|msvcrt|shell32|libfolian)\.dll$' || true)
  [ -z "$deps" ] || { echo "$bin needs $deps"; exit 1; }
done

echo "== windows: wine runs"
export WINEDEBUG=-all WINEPREFIX=$dir/wineprefix WINEDLLOVERRIDES="mscoree,mshtml="
export LANG=C.UTF-8 LC_ALL=C.UTF-8  # wine reads the command line and file names as UTF-8
[ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i >/dev/null 2>&1
run=$dir/run
rm -rf "$run"
mkdir -p "$run/win" "$run/linux" "$run/scratch"
cp "$dir/libfolian.dll" "$dir/folian.exe" "$dir/c_host.exe" "$dir/win_paths.exe" "$run/"
win() { (cd "$run" && "$wine" "$@"); }

# The same conversions on both builds; $1 names the result, the rest are tool arguments
# with OUT standing for the output file. Inputs are relative to the run directory.
cp -r examples "$run/examples"
mkdir -p "$run/images"
cp tests/data/png/pngsuite/basn6a08.png tests/data/png/pngsuite/basn0g01.png \
   tests/data/png/misc/im-palette8.png tests/data/png/misc/im-rgb16.png \
   tests/data/jpeg/grey.jpg tests/data/jpeg/baseline-422.jpg tests/data/jpeg/cmyk-adobe0.jpg "$run/images/"
mkdir -p "$run/出力"
cp examples/photo.jpg "$run/出力/写真.jpg"
both() {
  local name=$1; shift
  local wargs=() largs=()
  for a in "$@"; do
    if [ "$a" = OUT ]; then wargs+=("win/$name"); largs+=("linux/$name"); else wargs+=("$a"); largs+=("$a"); fi
  done
  win ./folian.exe "${wargs[@]}"
  (cd "$run" && "$linux_tool" "${largs[@]}")
  cmp "$run/win/$name" "$run/linux/$name" || { echo "windows and linux differ: $name"; exit 1; }
}
both examples.pdf -o OUT examples
both images-a4.pdf -p a4 -r 300 -o OUT images/basn6a08.png images/grey.jpg images/im-rgb16.png \
     images/baseline-422.jpg images/cmyk-adobe0.jpg
both images-dir.pdf -p letter -o OUT images
both images-strict.pdf --strict --page-size A3 -o OUT images
both images-natural.pdf --natural-order --stored --dpi=96 -o OUT images examples
both palette.png transcode images/im-palette8.png OUT
both photo.jpg transcode examples/photo.jpg OUT
both grey1.jpg transcode images/basn0g01.png OUT

# A UTF-8 path through the tool's wide-character arguments, for a file and for a directory.
win ./folian.exe -o 出力/結果.pdf 出力/写真.jpg
(cd "$run" && "$linux_tool" -o linux/結果.pdf 出力/写真.jpg)
cmp "$run/出力/結果.pdf" "$run/linux/結果.pdf"
rm "$run/出力/結果.pdf"
win ./folian.exe -o win/出力.pdf 出力
cmp "$run/win/出力.pdf" "$run/linux/結果.pdf"
[ "$(ls "$run/出力")" = 写真.jpg ] || { echo "stray files in 出力: $(ls "$run/出力")"; exit 1; }

# Standard output in binary mode: the same bytes as a file, and no scratch file left.
export TMP=C:\\windows\\temp TEMP=C:\\windows\\temp
wtemp=$WINEPREFIX/drive_c/windows/temp
mkdir -p "$wtemp"
before=$(ls "$wtemp" | wc -l)
win ./folian.exe -o - examples >"$run/win/stdout.pdf"
cmp "$run/win/stdout.pdf" "$run/linux/examples.pdf" || { echo "windows: -o - differs from the file"; exit 1; }
if win ./folian.exe -o - examples images/nonexistent.png >"$run/win/stdout-failed.pdf" 2>/dev/null; then
  echo "windows: a missing input converted to standard output"; exit 1
fi
[ ! -s "$run/win/stdout-failed.pdf" ] || { echo "windows: a failed -o - wrote bytes"; exit 1; }
[ "$(ls "$wtemp" | wc -l)" = "$before" ] || { echo "windows: -o - left a temporary: $(ls "$wtemp")"; exit 1; }

# A failure leaves no output and says why, exit status 1.
if win ./folian.exe -o win/missing.pdf images/nonexistent.png 2>"$run/err.txt"; then
  echo "a missing input converted"; exit 1
fi
[ ! -e "$run/win/missing.pdf" ]
grep -q "^folian: cannot read images/nonexistent.png: No such file or directory" "$run/err.txt" \
  || { echo "windows: unexpected message: $(cat "$run/err.txt")"; exit 1; }

win ./c_host.exe >/dev/null
(cd "$run/scratch" && "$wine" ../win_paths.exe)
echo "windows: cross build, no extra DLLs, identical output under wine, UTF-8 and ANSI paths ok"
