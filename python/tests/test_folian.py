# The ctypes binding: conversions byte-identical to the tool's, decoders and encoders,
# argument checks, and the library's messages carried by folian.Error.
import os
import re
import struct
import subprocess
import threading
import zlib

import pytest

import folian

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PHOTO = os.path.join(ROOT, "examples", "photo.jpg")
BADGE = os.path.join(ROOT, "examples", "badge.png")
TOOL = os.path.join(os.path.dirname(os.environ["FOLIAN_LIBRARY"]), "folian")


def tool_pdf(tmp_path, *args):
    """The tool's document; --strict is the plain conversion, the binding's default."""
    out = tmp_path / "tool.pdf"
    subprocess.run([TOOL, "--strict", *args, "-o", str(out)], check=True)
    return out.read_bytes()


def png_file(path, width, height, rgba):
    """An 8-bit RGBA PNG made here with zlib, independent of the library's encoder."""
    rows = b"".join(b"\0" + rgba[y * width * 4:(y + 1) * width * 4] for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(rows, 9))
                     + chunk(b"IEND", b""))


def test_version_is_the_headers():
    header = open(os.path.join(ROOT, "include", "folian.h")).read()
    assert folian.version() == re.search(r'#define FOLIAN_VERSION_STRING "([^"]+)"', header).group(1)


@pytest.mark.skipif(not os.path.exists(TOOL), reason="the tool is not built beside the library")
def test_conversions_match_the_tool(tmp_path):
    out = tmp_path / "list.pdf"
    assert folian.convert([PHOTO, BADGE], out, page_size="A4", dpi=300, strict=True) == 2
    assert out.read_bytes() == tool_pdf(tmp_path, "-p", "a4", "-r", "300", PHOTO, BADGE)
    assert folian.convert(os.path.join(ROOT, "examples"), out, strict=True) == 2
    assert out.read_bytes() == tool_pdf(tmp_path, os.path.join(ROOT, "examples"))
    assert folian.convert(PHOTO, out, page_size="letter", dpi=72, strict=True) == 1
    assert out.read_bytes() == tool_pdf(tmp_path, "-p", "letter", "-r", "72", PHOTO)


def test_conversion_defaults_and_non_ascii_paths(tmp_path):
    d = tmp_path / "出力"
    d.mkdir()
    (d / "写真.jpg").write_bytes(open(PHOTO, "rb").read())
    assert folian.convert([d / "写真.jpg"], d / "結果.pdf") == 1
    pdf = (d / "結果.pdf").read_bytes()
    # Defaults: the page is the image at 150 dpi (227 x 149 pixels).
    assert pdf.startswith(b"%PDF-1.4") and b"/MediaBox [0 0 108.96 71.52]" in pdf
    assert folian.convert(str(d), tmp_path / "dir.pdf") == 1
    assert (tmp_path / "dir.pdf").read_bytes() == pdf


def test_failures_raise_the_library_message_and_leave_no_file(tmp_path):
    out = tmp_path / "out.pdf"
    with pytest.raises(folian.Error, match="missing\\.png: png: cannot read file$") as e:
        folian.convert([tmp_path / "missing.png"], out)
    assert (e.value.message, e.value.path) == ("png: cannot read file", str(tmp_path / "missing.png"))
    bad = tmp_path / "bad.png"
    bad.write_bytes(b"\x89PNG\r\n\x1a\n" + b"\0" * 20)
    with pytest.raises(folian.Error) as e:
        folian.convert([PHOTO, bad], out)
    assert e.value.message.startswith("png: ") and e.value.path == str(bad)
    assert str(e.value) == "%s: %s" % (bad, e.value.message)
    assert not out.exists()
    out.write_bytes(b"old")
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(folian.Error, match="no images in directory"):
        folian.convert(str(empty), out)
    assert out.read_bytes() == b"old"


@pytest.mark.parametrize("kwargs", [{"page_size": "a11"}, {"page_size": None}, {"dpi": 0}, {"fit": "cover"},
                                    {"dpi": 10001}, {"dpi": 1.5}, {"dpi": True}])
def test_bad_settings_are_refused_before_any_work(tmp_path, kwargs):
    with pytest.raises(ValueError):
        folian.convert([PHOTO], tmp_path / "x.pdf", **kwargs)
    assert not (tmp_path / "x.pdf").exists()


def test_decode_png_and_jpeg(tmp_path):
    pixels = bytes(range(256)) * 3
    pixels = pixels[:8 * 6 * 4]
    png_file(tmp_path / "p.png", 8, 6, pixels)
    assert folian.decode(tmp_path / "p.png") == (8, 6, pixels)
    img = folian.decode(PHOTO)
    assert (img.width, img.height, len(img.pixels)) == (227, 149, 227 * 149 * 4)
    assert set(img.pixels[3::4]) == {255}
    assert folian.jpeg_info(PHOTO) == (227, 149, 3)


def test_decode_failures_carry_the_codec_message(tmp_path):
    png_file(tmp_path / "p.png", 4, 4, b"\x10" * 64)
    data = (tmp_path / "p.png").read_bytes()
    (tmp_path / "cut.png").write_bytes(data[:40])
    with pytest.raises(folian.Error, match="^png: "):
        folian.decode(tmp_path / "cut.png")
    (tmp_path / "not.jpg").write_bytes(b"hello, world")
    with pytest.raises(folian.Error, match="^jpeg: "):
        folian.decode(tmp_path / "not.jpg")
    with pytest.raises(folian.Error):
        folian.jpeg_info(tmp_path / "not.jpg")
    with pytest.raises(OSError):
        folian.decode(tmp_path / "missing.png")


def test_encoders_round_trip(tmp_path):
    w, h = 17, 9
    pixels = bytes((x * 15 + y * 7 + c * 50) % 256 for y in range(h) for x in range(w) for c in range(4))
    folian.encode_png(tmp_path / "a.png", w, h, pixels)
    assert folian.decode(tmp_path / "a.png") == (w, h, pixels)
    grey = bytes([128, 128, 128, 255]) * (w * h)
    folian.encode_jpeg(tmp_path / "a.jpg", w, h, bytearray(grey))
    img = folian.decode(tmp_path / "a.jpg")
    assert (img.width, img.height) == (w, h)
    assert max(abs(a - b) for a, b in zip(img.pixels, grey)) <= 2


def test_encoder_arguments_are_checked(tmp_path):
    with pytest.raises(ValueError):
        folian.encode_png(tmp_path / "a.png", 2, 2, b"\0" * 15)
    with pytest.raises(ValueError):
        folian.encode_jpeg(tmp_path / "a.jpg", 0, 2, b"")
    with pytest.raises(folian.Error):
        folian.encode_png(tmp_path / "no" / "such" / "dir.png", 1, 1, b"\0" * 4)
    assert not (tmp_path / "a.png").exists()


def test_inflate():
    data = os.urandom(1000) + b"abc" * 5000
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    raw = c.compress(data) + c.flush()
    assert folian.inflate(raw, len(data)) == data
    with pytest.raises(folian.Error):
        folian.inflate(raw, len(data) - 1)
    with pytest.raises(folian.Error):
        folian.inflate(raw[:len(raw) // 2], len(data))


def test_conversions_from_several_threads_keep_their_own_settings(tmp_path):
    expected = {}
    for size in folian.PAGE_SIZES:
        folian.convert([PHOTO], tmp_path / ("ref-" + size + ".pdf"), page_size=size)
        expected[size] = (tmp_path / ("ref-" + size + ".pdf")).read_bytes()
    errors = []

    def work(size, i):
        try:
            out = tmp_path / ("%s-%d.pdf" % (size, i))
            folian.convert([PHOTO], out, page_size=size)
            assert out.read_bytes() == expected[size]
        except Exception as e:  # reported below: pytest does not see a thread's failure
            errors.append(e)

    threads = [threading.Thread(target=work, args=(s, i)) for i in range(5) for s in folian.PAGE_SIZES]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


@pytest.mark.skipif(os.name != "posix", reason="library search by LD_LIBRARY_PATH")
def test_the_library_is_found_beside_the_module_through_the_variable_or_the_system(tmp_path):
    import shutil
    import sys
    lib = os.path.realpath(os.environ["FOLIAN_LIBRARY"])
    module = os.path.join(ROOT, "python", "folian.py")

    def loads(directory, env):
        env = dict(env, PYTHONPATH=str(directory))
        r = subprocess.run([sys.executable, "-c", "import folian; print(folian.version())"],
                           env=env, cwd=str(directory), capture_output=True, text=True)
        return r.returncode == 0 and r.stdout.strip() == folian.version()

    base = {k: v for k, v in os.environ.items() if k not in ("FOLIAN_LIBRARY", "LD_LIBRARY_PATH")}
    beside, alone = tmp_path / "beside", tmp_path / "alone"
    beside.mkdir()
    alone.mkdir()
    shutil.copy(module, beside)
    shutil.copy(lib, beside / "libfolian.so.1")
    shutil.copy(module, alone)
    found = [loads(beside, dict(base, FOLIAN_LIBRARY="/nonexistent/libfolian.so")),
             loads(alone, dict(base, FOLIAN_LIBRARY=lib)),
             loads(alone, dict(base, LD_LIBRARY_PATH=os.path.dirname(lib)))]
    assert found == [True, True, True]


def test_a_failing_page_in_a_directory_is_named_and_the_old_output_kept(tmp_path):
    scans = tmp_path / "scans"
    scans.mkdir()
    (scans / "p1.jpg").write_bytes(open(PHOTO, "rb").read())
    (scans / "p7.png").write_bytes(open(BADGE, "rb").read()[:20])
    out = tmp_path / "out.pdf"
    out.write_bytes(b"old")
    with pytest.raises(folian.Error) as e:
        folian.convert(scans, out)
    assert str(e.value) == os.path.join(str(scans), "p7.png") + ": png: truncated chunk"
    assert out.read_bytes() == b"old"
    assert sorted(os.listdir(tmp_path)) == ["out.pdf", "scans"]
    with pytest.raises(folian.Error) as e:
        folian.convert([PHOTO], tmp_path / "no" / "dir.pdf")
    assert e.value.path == str(tmp_path / "no" / "dir.pdf") and e.value.message


@pytest.mark.skipif(not os.path.exists(TOOL), reason="the tool is not built beside the library")
def test_options_and_natural_order_match_the_tool(tmp_path):
    d = tmp_path / "d"
    d.mkdir()
    for name, src in [("10.jpg", PHOTO), ("2.png", BADGE), ("1.jpg", PHOTO), ("a-1.png", BADGE),
                      ("a1.png", BADGE), ("A01.png", BADGE), ("notes.txt", BADGE), (".x.png", BADGE)]:
        (d / name).write_bytes(open(src, "rb").read())
    out = tmp_path / "py.pdf"

    def tool(*args):
        target = tmp_path / "tool.pdf"
        subprocess.run([TOOL, *args, "-o", str(target)], check=True)
        return target.read_bytes()

    assert folian.convert(d, out, options=folian.OPT_ALL, natural_order=False) == 6
    assert out.read_bytes() == tool("--name-order", str(d))
    assert folian.convert([d], out, options=folian.OPT_ALL, compact=False, natural_order=True) == 6
    assert out.read_bytes() == tool("--stored", "--natural-order", str(d))
    folian.convert(d, out, compact=True, interlaced=True, wide_probe=True, orientation=True,
                   file_dpi=False, icc=True, page_size="A4", dpi=200, natural_order=False)
    assert out.read_bytes() == tool("--name-order", "-p", "a4", "-r", "200", str(d))
    folian.convert(d, out, options=folian.OPT_ALL, compact=False, file_dpi=False, dpi=72, natural_order=False)
    assert out.read_bytes() == tool("--name-order", "--stored", "--dpi=72", str(d))


def test_natural_order_numbers_pages_as_people_do(tmp_path):
    names = ["10.jpg", "2.jpg", "1.jpg", "a-1.png", "a1.png", "A01.png", "a01.png", "img007.png",
             "img7.png", "img07b.png"]
    for name in names:
        (tmp_path / name).write_bytes(b"")
    ordered = [os.path.basename(p) for p in folian.list_directory(tmp_path, natural_order=True)]
    assert ordered == ["1.jpg", "2.jpg", "10.jpg", "a-1.png", "A01.png", "a01.png", "a1.png",
                       "img007.png", "img7.png", "img07b.png"]


@pytest.mark.parametrize("kwargs", [{"options": -1}, {"options": 0x40}, {"options": True}, {"colour": True}])
def test_bad_options_are_refused_before_any_work(tmp_path, kwargs):
    with pytest.raises((ValueError, TypeError)):
        folian.convert([PHOTO], tmp_path / "x.pdf", **kwargs)
    assert not (tmp_path / "x.pdf").exists()


@pytest.mark.parametrize("call", [lambda: folian.inflate(b"\x03\x00", -1), lambda: folian.inflate(b"", 2 ** 40),
                                  lambda: folian.inflate(b"", 1.0), lambda: folian.encode_png("x.png", -1, -1, b""),
                                  lambda: folian.encode_png("x.png", 2 ** 32 + 1, 1, b"\0" * 8),
                                  lambda: folian.encode_jpeg("x.jpg", 1, True, b"\0" * 4)])
def test_sizes_out_of_range_are_refused_before_the_library(call):
    with pytest.raises(ValueError):
        call()


def test_paths_as_bytes_and_with_nul(tmp_path):
    d = tmp_path / "d"
    d.mkdir()
    (d / "1.jpg").write_bytes(open(PHOTO, "rb").read())
    (d / "sub.png").mkdir()  # not a file: no page
    os.symlink(BADGE, str(d / "2.png"))  # a link to a file: a page
    assert folian.convert(d, tmp_path / "s.pdf") == 2
    assert folian.convert(os.fsencode(d), os.fsencode(tmp_path / "b.pdf")) == 2
    assert (tmp_path / "b.pdf").read_bytes() == (tmp_path / "s.pdf").read_bytes()
    assert folian.list_directory(os.fsencode(d)) == [os.fsencode(d / "1.jpg"), os.fsencode(d / "2.png")]
    with pytest.raises(folian.Error) as e:
        folian.convert([os.fsencode(d / "missing.png")], tmp_path / "m.pdf")
    assert e.value.path == str(d / "missing.png")
    for call in [lambda: folian.convert([str(d / "1.jpg") + "\0.png"], tmp_path / "n.pdf"),
                 lambda: folian.convert([d / "1.jpg"], str(tmp_path / "n.pdf") + "\0.png"),
                 lambda: folian.decode(str(d / "1.jpg") + "\0.png"),
                 lambda: folian.jpeg_info(os.fsencode(d / "1.jpg") + b"\0"),
                 lambda: folian.encode_png(str(tmp_path / "n.pdf") + "\0.png", 1, 1, b"\0" * 4)]:
        with pytest.raises(ValueError):
            call()
    # Bytes with a NUL are no path: they are image data, and here no image.
    with pytest.raises(folian.Error, match="^input 1 \\(bytes\\): not a PNG or JPEG image$"):
        folian.convert(os.fsencode(d) + b"\0x", tmp_path / "n.pdf")
    assert sorted(os.listdir(tmp_path)) == ["b.pdf", "d", "s.pdf"]


def test_decode_reads_every_file_the_library_does():
    data = os.path.join(ROOT, "tests", "data")
    interlaced = folian.decode(os.path.join(data, "png", "pngsuite", "basi2c08.png"))
    assert interlaced == folian.decode(os.path.join(data, "png", "pngsuite", "basn2c08.png"))
    progressive = os.path.join(data, "jpeg", "progressive.jpg")
    img = folian.decode(progressive)
    assert len(img.pixels) == img.width * img.height * 4 and folian.jpeg_info(progressive)[:2] == img[:2]
    with pytest.raises(folian.Error, match="^jpeg: "):
        folian.decode(progressive, strict=True)
    with pytest.raises(folian.Error, match="^png: "):
        folian.decode(os.path.join(data, "png", "pngsuite", "basi2c08.png"), strict=True)


def test_decode_reads_every_format_and_frame(tmp_path):
    # A GIF of one 1x1 frame: global table (9,9,9), (200,200,200); codes clear, 0, end.
    gif = tmp_path / "one.gif"
    gif.write_bytes(b"GIF89a\x01\x00\x01\x00\x80\x00\x00\x09\x09\x09\xc8\xc8\xc8"
                    b",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;")
    im = folian.decode(gif)
    assert (im.width, im.height, bytes(im.pixels)) == (1, 1, b"\x09\x09\x09\xff")
    with pytest.raises(folian.Error, match="frame index out of range"):
        folian.decode(gif, frame=1)


def test_convert_many_reports_each_document_in_order(tmp_path):
    broken = tmp_path / "broken.png"
    broken.write_bytes(b"\x89PNG\r\n\x1a\nnot a png")
    jobs = [([PHOTO, BADGE], str(tmp_path / ("d%d.pdf" % i))) for i in range(6)]
    jobs[3] = ([PHOTO, str(broken)], str(tmp_path / "d3.pdf"))
    results = folian.convert_many(jobs, workers=4, jobs=2)
    assert [r.output for r in results] == [out for _, out in jobs]
    one = folian.convert_many(jobs[:1], workers=1)[0]
    for i, r in enumerate(results):
        if i == 3:
            assert isinstance(r.error, folian.Error) and r.error.path == str(broken) and r.pages == 0
            assert not os.path.exists(r.output)
        else:
            assert r.error is None and r.pages == 2 and r.bytes == os.path.getsize(r.output) and r.seconds >= 0
            assert open(r.output, "rb").read() == open(one.output, "rb").read()
