#!/usr/bin/env bash
# formats_sizes.sh: the size of a one-file document from folian (formats all, compact pages)
# beside img2pdf's for each input, to check that ours is never larger. Without file
# arguments it makes a small set first (GIF, BMP and grey PNG files made with ImageMagick,
# TIFF files with ImageMagick when it has libtiff) in a temporary directory.
# Usage: bench/formats_sizes.sh LIBFOLIAN.so [FILE...]
set -euo pipefail
lib=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ $# -eq 0 ]; then
  c() { convert "$@" 2>/dev/null; }
  c -size 300x200 gradient:navy-gold -colors 64 "$work/photo-64.gif"
  c -dispose none -size 120x80 xc:white -page +10+10 -size 40x30 xc:red -dispose background \
    -page +50+30 -size 40x30 xc:blue -page +0+0 -size 20x20 xc:green "$work/animated.gif"
  c -size 200x120 pattern:checkerboard -monochrome "$work/bilevel.gif"
  c -size 256x128 gradient:red-blue "$work/rgb24.bmp"
  c -size 256x128 gradient:red-blue -colors 200 -type palette "$work/palette8.bmp"
  c -size 256x128 gradient:white-black -type grayscale "$work/grey8.bmp"
  c -size 256x128 gradient:white-black -depth 16 "$work/grey16.png"
  c -size 640x480 pattern:checkerboard -monochrome -compress group4 "$work/fax-g4.tif" || true
  c -size 400x300 gradient:red-blue -compress lzw -define tiff:predictor=2 "$work/scan-lzw.tif" || true
  c -size 400x300 plasma:fractal -seed 1 -compress jpeg -quality 85 "$work/photo-jpeg.tif" || true
  set -- "$work"/*
fi
python3 - "$lib" "$work" "$@" <<'PY'
import ctypes, os, subprocess, sys
lib = ctypes.CDLL(sys.argv[1]); work = sys.argv[2]
lib.folian_settings_new.restype = ctypes.c_void_p
lib.folian_settings_set.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
lib.folian_settings_free.argtypes = [ctypes.c_void_p]
lib.folian_convert.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p), ctypes.c_int, ctypes.c_char_p,
                               ctypes.c_char_p, ctypes.c_size_t]
print(f"{'file':<18} {'bytes':>9} {'folian':>9} {'img2pdf':>9}  ratio")
worse = 0
for path in sys.argv[3:]:
    s = lib.folian_settings_new()
    for k, v in ((b"formats", b"all"), (b"compact", b"on")):
        lib.folian_settings_set(s, k, v)
    out = os.path.join(work, "f.pdf"); err = ctypes.create_string_buffer(512)
    ok = lib.folian_convert(s, (ctypes.c_char_p * 1)(path.encode()), 1, out.encode(), err, 512)
    lib.folian_settings_free(s)
    ours = os.path.getsize(out) if ok else None
    theirs_path = os.path.join(work, "i.pdf")
    r = subprocess.run(["img2pdf", "-o", theirs_path, path], capture_output=True)
    theirs = os.path.getsize(theirs_path) if r.returncode == 0 else None
    ratio = f"{ours / theirs:.3f}" if ours and theirs else ("refused by img2pdf" if ours else err.value.decode())
    if ours and theirs and ours > theirs: worse += 1
    print(f"{os.path.basename(path):<18} {os.path.getsize(path):>9} {ours or '-':>9} {theirs or '-':>9}  {ratio}")
sys.exit(1 if worse else 0)
PY
