#!/usr/bin/env python3
# Writes the project's own small colour profiles (rgb.icc, gray.icc: display profiles with a
# matrix and gamma curves, every tag a reader needs) and embeds them in the icc-* fixtures,
# replacing whatever profile those files held. Run from anywhere: python3 tests/data/meta/make-icc.py
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def s15(v):
    return struct.pack(">i", round(v * 65536))


def xyz(x, y, z):
    return b"XYZ " + bytes(4) + s15(x) + s15(y) + s15(z)


def desc(text):
    ascii_ = text.encode() + b"\0"
    # ASCII part, then empty Unicode and ScriptCode parts (67 bytes of script data).
    return b"desc" + bytes(4) + struct.pack(">I", len(ascii_)) + ascii_ + bytes(8) + bytes(3) + bytes(67)


def text(t):
    return b"text" + bytes(4) + t.encode() + b"\0"


def gamma(g):
    return b"curv" + bytes(4) + struct.pack(">IH", 1, round(g * 256))


def profile(space, tags):
    count = len(tags)
    offset = 128 + 4 + 12 * count
    table, data = b"", b""
    for sig, body in tags:
        while (offset + len(data)) % 4:
            data += b"\0"
        table += sig.encode() + struct.pack(">II", offset + len(data), len(body))
        data += body
    while len(data) % 4:
        data += b"\0"
    size = offset + len(data)
    header = struct.pack(">I", size) + bytes(4) + bytes([2, 0x10, 0, 0]) + b"mntr" + space.encode() + b"XYZ "
    header += struct.pack(">6H", 2026, 1, 1, 0, 0, 0) + b"acsp" + bytes(4) + bytes(4) + bytes(4) + bytes(4)
    header += bytes(8) + bytes(4)   # attributes, intent (perceptual)
    header += s15(0.9642) + s15(1.0) + s15(0.8249) + bytes(4)   # D50 illuminant, creator
    header += bytes(128 - len(header))
    return header + struct.pack(">I", count) + table + data


COMMON = [("cprt", text("No copyright, use freely")), ("wtpt", xyz(0.9642, 1.0, 0.8249))]
RGB = profile("RGB ", [("desc", desc("folian test RGB"))] + COMMON + [
    ("rXYZ", xyz(0.4361, 0.2225, 0.0139)), ("gXYZ", xyz(0.3851, 0.7169, 0.0971)),
    ("bXYZ", xyz(0.1431, 0.0606, 0.7141)),
    ("rTRC", gamma(2.2)), ("gTRC", gamma(2.2)), ("bTRC", gamma(2.2))])
GRAY = profile("GRAY", [("desc", desc("folian test grey"))] + COMMON + [("kTRC", gamma(2.2))])


def jpeg_segments(b):
    """SOI, then (marker, whole segment) pairs up to the first scan, then the rest."""
    out, i = [], 2
    while b[i + 1] != 0xDA:
        n = struct.unpack(">H", b[i + 2:i + 4])[0]
        out.append((b[i + 1], b[i:i + 2 + n]))
        i += 2 + n
    return out, b[i:]


def jpeg_with(path, icc):
    segs, rest = jpeg_segments(open(path, "rb").read())
    segs = [s for s in segs if not (s[0] == 0xE2 and s[1][4:16] == b"ICC_PROFILE\0")]
    payload = b"ICC_PROFILE\0\1\1" + icc
    app2 = b"\xff\xe2" + struct.pack(">H", len(payload) + 2) + payload
    at = 1 if segs and segs[0][0] == 0xE0 else 0   # after the JFIF segment
    segs.insert(at, (0xE2, app2))
    return b"\xff\xd8" + b"".join(s[1] for s in segs) + rest


def png_chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def png_with(path, icc, name):
    b = open(path, "rb").read()
    out, i = [b[:8]], 8
    while i < len(b):
        n = struct.unpack(">I", b[i:i + 4])[0]
        kind = b[i + 4:i + 8]
        if kind not in (b"iCCP", b"sRGB", b"gAMA", b"cHRM"):
            out.append(b[i:i + 12 + n])
        if kind == b"IHDR":
            out.append(png_chunk(b"iCCP", name + b"\0\0" + zlib.compress(icc, 9)))
        i += 12 + n
    return b"".join(out)


def write(name, data):
    with open(os.path.join(HERE, name), "wb") as f:
        f.write(data)


write("rgb.icc", RGB)
write("gray.icc", GRAY)
# The grey JPEG and PNG are the grey pictures already here; any profile in them is replaced.
grey_jpeg = os.path.join(HERE, "icc-gray.jpg")
write("icc-mismatch.jpg", jpeg_with(grey_jpeg, RGB))
write("icc-gray.jpg", jpeg_with(grey_jpeg, GRAY))
write("icc-gray.png", png_with(os.path.join(HERE, "icc-gray.png"), GRAY, b"folian test grey"))
write("icc-srgb.jpg", jpeg_with(os.path.join(HERE, "base.jpg"), RGB))
write("icc-srgb.png", png_with(os.path.join(HERE, "base.png"), RGB, b"folian test RGB"))
