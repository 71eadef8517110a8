"""folian: PNG and JPEG files to PDF, and the library's own codecs, over ctypes.

    import folian
    folian.convert(["p1.png", "p2.jpg"], "out.pdf", page_size="a4", dpi=300)
    folian.convert("scans/", "scans.pdf")
    img = folian.decode("photo.jpg")      # img.width, img.height, img.pixels (RGBA bytes)
    folian.encode_png("copy.png", img.width, img.height, img.pixels)

The shared library is looked for next to this file, then at the path in the environment
variable FOLIAN_LIBRARY, then on the system's library path. Failures raise folian.Error
with the library's own message.
"""

import ctypes
import ctypes.util
import os
import sys
import threading
from collections import namedtuple

__all__ = ["Error", "Image", "convert", "decode", "encode_png", "encode_jpeg", "jpeg_info",
           "inflate", "version", "PAGE_SIZES"]

PAGE_SIZES = {"image": 0, "a4": 1, "letter": 2, "a3": 3}

Image = namedtuple("Image", "width height pixels")


class Error(Exception):
    """A failure of the library; str(error) is its message."""


def _library_names():
    if sys.platform == "win32":
        return ["libfolian.dll", "folian.dll"]
    if sys.platform == "darwin":
        return ["libfolian.1.dylib", "libfolian.dylib"]
    return ["libfolian.so.1", "libfolian.so"]


def _load():
    here = os.path.dirname(os.path.abspath(__file__))
    candidates = [os.path.join(here, name) for name in _library_names()]
    candidates = [c for c in candidates if os.path.exists(c)]
    env = os.environ.get("FOLIAN_LIBRARY")
    if env:
        candidates.append(env)
    found = ctypes.util.find_library("folian")
    candidates += _library_names() + ([found] if found else [])
    errors = []
    for path in candidates:
        try:
            return ctypes.CDLL(path)
        except OSError as e:
            errors.append("%s: %s" % (path, e))
    raise ImportError("folian: shared library not found (set FOLIAN_LIBRARY to its path); tried "
                      + "; ".join(errors))


_lib = _load()
# Page size, resolution and the error text are process-wide in the library.
_lock = threading.Lock()

_c_char_pp = ctypes.POINTER(ctypes.c_char_p)
_c_int_p = ctypes.POINTER(ctypes.c_int)
_u8_p = ctypes.POINTER(ctypes.c_ubyte)


def _declare(name, restype, *argtypes):
    f = getattr(_lib, name)
    f.restype = restype
    f.argtypes = list(argtypes)
    return f


_version = _declare("folian_version", ctypes.c_char_p)
_free = _declare("folian_free", None, ctypes.c_void_p)
_init = _declare("folian_init", ctypes.c_int)
_last_error = _declare("folian_last_error", ctypes.c_char_p)
_set_page_size = _declare("folian_set_page_size", None, ctypes.c_int)
_set_dpi = _declare("folian_set_dpi", None, ctypes.c_int)
_multiple = _declare("folian_multiple", ctypes.c_int, _c_char_pp, ctypes.c_int, ctypes.c_char_p)
_directory = _declare("folian_directory", ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p)
_inflate = _declare("kv_inflate", ctypes.c_int32, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                    ctypes.c_size_t)
_png_decode = _declare("kv_png_decode", ctypes.c_void_p, ctypes.c_char_p, _c_int_p, _c_int_p, _c_char_pp)
_png_write = _declare("kv_png_write", ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
_jpeg_info = _declare("kv_jpeg_info", ctypes.c_int, ctypes.c_char_p, _c_int_p, _c_int_p, _c_int_p)
_jpeg_decode = _declare("kv_jpeg_decode", ctypes.c_void_p, ctypes.c_char_p, _c_int_p, _c_int_p, _c_char_pp)
_jpeg_write = _declare("kv_jpeg_write", ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)


def _path(p):
    """A path as the library takes it: the file-system bytes, UTF-8 on Windows."""
    p = os.fspath(p)
    if isinstance(p, bytes):
        return p
    if sys.platform == "win32":
        return p.encode("utf-8")
    return os.fsencode(p)


def _text(b):
    return b.decode("utf-8", "replace") if b else ""


def version():
    """The library's version text, such as "1.0.0"."""
    return _text(_version())


def convert(inputs, output, page_size="image", dpi=150):
    """Writes one PDF with a page per image. `inputs` is a list of PNG/JPEG paths (page order)
    or one directory (its image files in case-insensitive name order). `page_size` is "image"
    (the page is the image at `dpi`), "a4", "letter" or "a3" (any case). Returns the number
    of pages; raises Error, leaving no partial output file."""
    try:
        mode = PAGE_SIZES[str(page_size).lower()]
    except KeyError:
        raise ValueError("page_size must be one of %s, not %r" % (", ".join(PAGE_SIZES), page_size))
    if isinstance(dpi, bool) or not isinstance(dpi, int) or not 1 <= dpi <= 10000:
        raise ValueError("dpi must be an integer from 1 to 10000, not %r" % (dpi,))
    out = _path(output)
    single = isinstance(inputs, (str, bytes, os.PathLike))
    with _lock:
        _init()
        _set_page_size(mode)
        _set_dpi(dpi)
        if single and os.path.isdir(inputs):
            pages = _directory(_path(inputs), out)
        else:
            paths = [_path(inputs)] if single else [_path(p) for p in inputs]
            if not paths:
                raise ValueError("no input files")
            arr = (ctypes.c_char_p * len(paths))(*paths)
            pages = len(paths) if _multiple(arr, len(paths), out) else 0
        if pages <= 0:
            raise Error(_text(_last_error()))
        return pages


def _take_pixels(ptr, width, height):
    try:
        return ctypes.string_at(ptr, width * height * 4)
    finally:
        _free(ptr)


def _decode_with(fn, path):
    w, h, msg = ctypes.c_int(0), ctypes.c_int(0), ctypes.c_char_p()
    ptr = fn(_path(path), ctypes.byref(w), ctypes.byref(h), ctypes.byref(msg))
    if not ptr:
        raise Error(_text(msg.value) or "cannot decode %s" % os.fspath(path))
    return Image(w.value, h.value, _take_pixels(ptr, w.value, h.value))


def decode(path):
    """Decodes a PNG or baseline JPEG file (told by its first bytes) to an Image of
    width, height and width*height*4 bytes of RGBA, rows top to bottom."""
    with open(path, "rb") as f:
        head = f.read(8)
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return _decode_with(_png_decode, path)
    return _decode_with(_jpeg_decode, path)


def jpeg_info(path):
    """(width, height, components) of a JPEG file, read from its header only."""
    w, h, c = ctypes.c_int(0), ctypes.c_int(0), ctypes.c_int(0)
    if not _jpeg_info(_path(path), ctypes.byref(w), ctypes.byref(h), ctypes.byref(c)):
        raise Error("not a JPEG file the probe understands: %s" % os.fspath(path))
    return w.value, h.value, c.value


def _rgba(width, height, pixels):
    if isinstance(width, bool) or isinstance(height, bool) or width < 1 or height < 1:
        raise ValueError("width and height must be at least 1")
    data = bytes(pixels)
    if len(data) != width * height * 4:
        raise ValueError("pixels must be width*height*4 = %d bytes, not %d" % (width * height * 4, len(data)))
    return data


def encode_png(path, width, height, pixels):
    """Writes RGBA pixels as an 8-bit RGBA PNG file."""
    if not _png_write(_path(path), width, height, _rgba(width, height, pixels)):
        raise Error("cannot write PNG file %s" % os.fspath(path))


def encode_jpeg(path, width, height, pixels):
    """Writes RGBA pixels (alpha ignored) as a baseline JFIF file."""
    if not _jpeg_write(_path(path), width, height, _rgba(width, height, pixels)):
        raise Error("cannot write JPEG file %s" % os.fspath(path))


def inflate(data, size):
    """Raw deflate data decompressed into at most `size` bytes."""
    data = bytes(data)
    out = ctypes.create_string_buffer(max(size, 1))
    n = _inflate(data, len(data), out, size)
    if n < 0:
        raise Error("inflate: bad or truncated deflate data, or more than %d bytes" % size)
    return out.raw[:n]
