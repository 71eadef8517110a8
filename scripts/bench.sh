#!/usr/bin/env bash
# Builds the benchmarks and runs each against its peer library on a photo corpus.
# Usage: scripts/bench.sh CORPUS_DIR     (make one with ../shared/bench/make-corpus.sh CORPUS_DIR)
# The 4:4:4 JPEG set is derived from the corpus photos with djpeg | cjpeg -sample 1x1.
set -euo pipefail
cd "$(dirname "$0")/.."
corpus=${1:?usage: scripts/bench.sh CORPUS_DIR}
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DFOLIAN_BUILD_BENCH=ON -DFOLIAN_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target inflate_png_bench jpeg_decode_bench jpeg_encode_bench deflate_bench
if [ ! -d "$corpus/jpeg444" ]; then
  mkdir -p "$corpus/jpeg444"
  for f in $(ls "$corpus/jpeg" | head -12); do
    djpeg "$corpus/jpeg/$f" | cjpeg -quality 85 -sample 1x1 > "$corpus/jpeg444/${f%.jpg}_444.jpg"
  done
fi
echo "== commit $(git rev-parse --short HEAD), $(uname -m), $(nproc) cores"
echo "== PNG: kv_inflate vs zlib, kv_png_decode vs libpng"
build/bench/inflate_png_bench -r 5 "$corpus/png-rgb" "$corpus/png-rgba" "$corpus/png-scan"
echo "== JPEG decoding: kv_jpeg_decode_impl vs libjpeg-turbo (float IDCT, no fancy upsampling)"
build/bench/jpeg_decode_bench -r 5 "$corpus/jpeg" "$corpus/jpeg444"
echo "== JPEG encoding: kv_jpeg_write vs libjpeg-turbo (q50, 4:4:4, float DCT, standard tables)"
build/bench/jpeg_encode_bench "$corpus/jpeg" 10 5
echo "== Deflate: our compressor vs zlib and libdeflate on the filtered RGB and alpha planes"
build/bench/deflate_bench -r 3 "$corpus/png-rgba" "$corpus/png-rgb"
