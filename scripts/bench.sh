#!/usr/bin/env bash
# Builds the benchmarks and runs each against its peers on a photo corpus, printing every
# ratio of the README's table in one run: kv_inflate against zlib and libdeflate, and
# kv_png_decode against libpng and Wuffs, per corpus group; kv_jpeg_decode_impl against
# libjpeg-turbo and Wuffs on 4:2:0 and 4:4:4; kv_jpeg_write against libjpeg-turbo in each
# vector form of ours, and in SSE2 form against libjpeg-turbo held to SSE2.
# Usage: scripts/bench.sh CORPUS_DIR     (make one with ../shared/bench/make-corpus.sh CORPUS_DIR)
# The 4:4:4 JPEG set is derived from the corpus photos with djpeg | cjpeg -sample 1x1, into
# build/bench/jpeg444 (the corpus itself is only read).
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=${1:?usage: scripts/bench.sh CORPUS_DIR}
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DFOLIAN_BUILD_BENCH=ON -DFOLIAN_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target inflate_png_bench jpeg_decode_bench jpeg_encode_bench deflate_bench
set444=build/bench/jpeg444
if [ ! -d "$set444" ]; then
  mkdir -p "$set444.tmp"
  for f in $(ls "$corpus/jpeg" | head -12); do
    djpeg "$corpus/jpeg/$f" | cjpeg -quality 85 -sample 1x1 > "$set444.tmp/${f%.jpg}_444.jpg"
  done
  mv "$set444.tmp" "$set444"
fi
pngdirs=()
for g in png-rgb png-rgba png-scan; do
  if [ -n "$(ls "$corpus/$g" 2>/dev/null)" ]; then pngdirs+=("$corpus/$g"); fi
done
echo "== commit $(git rev-parse --short HEAD), $(uname -m), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "== PNG: kv_inflate vs zlib and libdeflate, kv_png_decode vs libpng and Wuffs"
build/bench/inflate_png_bench -r 5 "${pngdirs[@]}"
echo "== JPEG decoding: kv_jpeg_decode_impl vs libjpeg-turbo (float IDCT, no fancy upsampling) and Wuffs"
build/bench/jpeg_decode_bench -r 5 "$corpus/jpeg" "$set444"
echo "== Progressive JPEG decoding: kv_jpeg_decode_ex vs libjpeg-turbo (the same files re-coded progressive)"
build/bench/jpeg_decode_bench -r 5 -p "$corpus/jpeg" "$set444"
echo "== JPEG encoding: kv_jpeg_write vs libjpeg-turbo (q50, 4:4:4, float DCT, standard tables)"
build/bench/jpeg_encode_bench "$corpus/jpeg" 10 5
echo "== JPEG encoding as on a machine with SSE2 only: ours in its SSE2 form, libjpeg-turbo forced to SSE2"
JSIMD_FORCESSE2=1 build/bench/jpeg_encode_bench "$corpus/jpeg" 10 5 1 | tail -n 1
echo "== Deflate: our compressor vs zlib and libdeflate on the filtered RGB and alpha planes"
build/bench/deflate_bench -r 3 "$corpus/png-rgba" "$corpus/png-rgb"
