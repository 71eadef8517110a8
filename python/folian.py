"""folian: PNG and JPEG files to PDF, and the library's own codecs, over ctypes.

    import folian
    folian.convert(["p1.png", "p2.jpg"], "out.pdf", page_size="a4", dpi=300)
    folian.convert("scans/", "scans.pdf", compact=True, natural_order=True)
    img = folian.decode("photo.jpg")      # img.width, img.height, img.pixels (RGBA bytes)
    folian.list_directory("scans/", natural_order=True)   # the pages a directory gives
    folian.encode_png("copy.png", img.width, img.height, img.pixels)

The shared library is looked for next to this file, then at the path in the environment
variable FOLIAN_LIBRARY, then on the system's library path. Failures raise folian.Error
with the library's own message and, where one file caused it, that file's path. Paths are
str, bytes or os.PathLike; a path with a NUL character, a size out of range or an argument
of the wrong type raises ValueError before the library is called.
"""

import ctypes
import ctypes.util
import os
import sys
import threading
import time
import concurrent.futures
from collections import namedtuple

__all__ = ["Error", "Image", "Result", "convert", "convert_many", "list_directory", "decode", "encode_png",
           "encode_jpeg", "jpeg_info", "inflate", "version", "PAGE_SIZES", "OPT_COMPACT", "OPT_INTERLACED", "OPT_WIDE_PROBE",
           "OPT_ORIENTATION", "OPT_FILE_DPI", "OPT_ICC", "OPT_ALL"]

PAGE_SIZES = {"image": 0, "a4": 1, "letter": 2, "a3": 3}

# The conversion options of folian.h (FOLIAN_OPT_*), one bit each.
OPT_COMPACT = 0x01      # compressed pages
OPT_INTERLACED = 0x02   # Adam7-interlaced PNG files convert
OPT_WIDE_PROBE = 0x04   # files recognised by their content, 0xC1 JPEG frames
OPT_ORIENTATION = 0x08  # EXIF orientation places the image upright
OPT_FILE_DPI = 0x10     # page size "image" uses the file's own resolution
OPT_ICC = 0x20          # embedded ICC profiles kept
OPT_ALL = 0x3F
_OPTION_NAMES = {"compact": OPT_COMPACT, "interlaced": OPT_INTERLACED, "wide_probe": OPT_WIDE_PROBE,
                 "orientation": OPT_ORIENTATION, "file_dpi": OPT_FILE_DPI, "icc": OPT_ICC}

Image = namedtuple("Image", "width height pixels")


class Error(Exception):
    """A failure of the library. `message` is the library's own text, `path` the file it
    concerns or None; str(error) is "path: message", or the message alone."""

    def __init__(self, message, path=None):
        self.message = message
        self.path = path
        super().__init__("%s: %s" % (path, message) if path is not None else message)


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
_set_options = _declare("folian_set_options", None, ctypes.c_uint)
_doc_begin = _declare("folian_doc_begin", ctypes.c_void_p, ctypes.c_char_p)
_doc_add = _declare("folian_doc_add", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p)
_doc_finish = _declare("folian_doc_finish", ctypes.c_int, ctypes.c_void_p)
_doc_abort = _declare("folian_doc_abort", None, ctypes.c_void_p)
_settings_new = _declare("folian_settings_new", ctypes.c_void_p)
_settings_set = _declare("folian_settings_set", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p)
_settings_free = _declare("folian_settings_free", None, ctypes.c_void_p)
_settings_error = _declare("folian_settings_error", ctypes.c_char_p, ctypes.c_void_p)
_doc_open = _declare("folian_doc_open", ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p)
_doc_error = _declare("folian_doc_error", ctypes.c_char_p, ctypes.c_void_p)
_doc_add_pages = _declare("folian_doc_add_pages", ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p),
                          ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_list_directory = _declare("folian_list_directory", ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p,
                           ctypes.POINTER(ctypes.POINTER(ctypes.c_char_p)), _c_int_p, ctypes.c_char_p,
                           ctypes.c_size_t)
_inflate = _declare("kv_inflate", ctypes.c_int32, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                    ctypes.c_size_t)
_png_decode = _declare("kv_png_decode_ex", ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint, _c_int_p, _c_int_p,
                       _c_char_pp)
_png_write = _declare("kv_png_write", ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
_jpeg_info = _declare("kv_jpeg_info", ctypes.c_int, ctypes.c_char_p, _c_int_p, _c_int_p, _c_int_p)
_jpeg_decode = _declare("kv_jpeg_decode_file_ex", ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint, _c_int_p,
                        _c_int_p, _c_char_pp)
_KV_PNG_INTERLACED = 0x01
_KV_JPEG_ALL = 0x07
# The largest size or count a C int takes, and so the library.
_INT_MAX = 2 ** 31 - 1
_jpeg_write = _declare("kv_jpeg_write", ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)


def _path(p):
    """A path as the library takes it: the file-system bytes, UTF-8 on Windows. A NUL
    would cut the path short in C, so another file would be read or written: refused, as
    open() refuses it."""
    p = os.fspath(p)
    if not isinstance(p, bytes):
        p = p.encode("utf-8") if sys.platform == "win32" else os.fsencode(p)
    if b"\0" in p:
        raise ValueError("embedded null byte in path %r" % (p,))
    return p


def _shown(p):
    """A path as messages and folian.Error show it: always str."""
    p = os.fspath(p)
    if isinstance(p, str):
        return p
    return p.decode("utf-8", "replace") if sys.platform == "win32" else os.fsdecode(p)


def _count(name, value, low, high=_INT_MAX):
    """An integer size or count from `low` to `high`; anything else is refused before it
    reaches C, where a negative value would become a huge unsigned one."""
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError("%s must be an integer from %d to %d, not %r" % (name, low, high, value))
    return value


def _text(b):
    return b.decode("utf-8", "replace") if b else ""


def version():
    """The library's version text, such as "1.0.0"."""
    return _text(_version())


def _listed(directory, natural_order):
    """The image files of a directory as library paths, in page order, as the library lists
    them: entries that are not regular files (a folder named "scan.png") are no pages, a
    link to a file is one."""
    base = _path(directory)
    settings = _settings_new()
    if not settings:
        raise MemoryError("folian: no memory for a settings record")
    paths, count = ctypes.POINTER(ctypes.c_char_p)(), ctypes.c_int(0)
    error = ctypes.create_string_buffer(512)
    try:
        _settings_set(settings, b"natural-order", b"on" if natural_order else b"off")
        if not _list_directory(base, settings, ctypes.byref(paths), ctypes.byref(count), error, len(error)):
            raise Error(_text(error.value))
        return [paths[i] for i in range(count.value)]
    finally:
        _free(ctypes.cast(paths, ctypes.c_void_p))
        _settings_free(settings)


def list_directory(directory, natural_order=False):
    """The paths of a directory's image files in the order convert() takes them as pages:
    case-insensitive name order, or with `natural_order` digit runs compared as numbers.
    Paths are str for a str directory, bytes for a bytes one."""
    paths = _listed(directory, natural_order)
    return paths if isinstance(os.fspath(directory), bytes) else [_shown(p) for p in paths]


def _directory_pages(directory, natural_order):
    """(library path, shown path) of every page a directory gives."""
    paths = _listed(directory, natural_order)
    if not paths:
        raise Error("no images in directory", _shown(directory))
    return [(p, _shown(p)) for p in paths]


def _options(options, flags):
    if options is None:
        options = 0
    if isinstance(options, bool) or not isinstance(options, int) or options & ~OPT_ALL:
        raise ValueError("options must be FOLIAN_OPT_* bits (0 to %d), not %r" % (OPT_ALL, options))
    for name, bit in _OPTION_NAMES.items():
        value = flags.get(name)
        # orientation=True/False is the EXIF switch of old; a word is the page's orientation.
        if value is not None and (name != "orientation" or isinstance(value, bool)):
            del flags[name]
            options = options | bit if value else options & ~bit
    return options


# The library's key of each option bit.
_BIT_KEYS = {OPT_COMPACT: "compact", OPT_INTERLACED: "interlaced", OPT_WIDE_PROBE: "content-probe",
             OPT_ORIENTATION: "exif-rotation", OPT_FILE_DPI: "file-dpi", OPT_ICC: "icc"}


def _setting_text(value):
    """A keyword's value as the library's keys take it: True/False as on/off, numbers as text."""
    if isinstance(value, bool):
        return b"on" if value else b"off"
    if isinstance(value, (int, float, str)):
        return str(value).encode("utf-8")
    if isinstance(value, bytes):
        return value
    raise ValueError("a setting must be a bool, a number or a text, not %r" % (value,))


def _settings_record(settings):
    """A library settings record with `settings` ((key, value) pairs) set in order. An unknown
    key raises TypeError, a bad value ValueError, each with the library's message."""
    record = _settings_new()
    if not record:
        raise MemoryError("folian: no memory for a settings record")
    for key, value in settings:
        text = _setting_text(value)
        if b"\0" in text or not _settings_set(record, key.encode("utf-8"), text):
            message = _text(_settings_error(record)) or "settings: %s: bad value %r" % (key, value)
            _settings_free(record)
            raise (TypeError if message.startswith("settings: unknown key") else ValueError)(message)
    return record


def convert(inputs, output, page_size="image", dpi=150, options=None, natural_order=False, **settings):
    """Writes one PDF with a page per image and returns the number of pages.

    `inputs` is a list of PNG/JPEG paths in page order or one path; a directory among them
    stands for its image files in case-insensitive name order (with `natural_order`, digit
    runs compare as numbers: 2.jpg before 10.jpg). `page_size` is "image" (the page is the
    image at `dpi`), a paper name ("a4", "letter", ... any case) or "WxH" with a unit
    ("210x297mm"). `options` are OPT_* bits (none by default: the plain documents), and each
    can be set or cleared by name: compact, interlaced, wide_probe, orientation, file_dpi,
    icc (True or False). Every other keyword is a key of the library's settings, with
    underscores for dashes: orientation="landscape", margin="2cm", fit="fill",
    max_pixels=50000000, max_pages=500, ... (True/False for on/off).

    Pages are converted one at a time, with no lock: conversions run in parallel on threads.
    A failure raises Error with the library's message and the file it concerns, and leaves
    no output file (an old one keeps its content)."""
    if isinstance(dpi, bool) or not isinstance(dpi, int) or not 1 <= dpi <= 10000:
        raise ValueError("dpi must be an integer from 1 to 10000, not %r" % (dpi,))
    bits = _options(options, settings)
    pairs = [("page-size", page_size), ("dpi", dpi)]
    pairs += [(key, bool(bits & bit)) for bit, key in _BIT_KEYS.items()]
    pairs += [("natural-order", bool(natural_order))]
    pairs += [(name.replace("_", "-"), value) for name, value in settings.items()]
    out = _path(output)
    record = _settings_record(pairs)
    try:
        items = [inputs] if isinstance(inputs, (str, bytes, os.PathLike)) else list(inputs)
        pages = []
        for item in items:
            path = _path(item)
            if os.path.isdir(path):
                pages += _directory_pages(item, natural_order)
            else:
                pages.append((path, _shown(item)))
        if not pages:
            raise ValueError("no input files")
        doc = _doc_open(out, record)
        if not doc:
            raise MemoryError("folian: no memory for a document")
        if _doc_error(doc):
            message = _text(_doc_error(doc))
            _doc_abort(doc)
            raise Error(message, _shown(output))
        _add_pages(doc, pages)
        if not _doc_finish(doc):
            message = _text(_doc_error(doc))
            _doc_abort(doc)  # a failed finish leaves the handle for its message
            raise Error(message, _shown(output))
        return len(pages)
    finally:
        _settings_free(record)


def _add_pages(doc, pages):
    """Every page in one library call, on the threads the record's jobs key gives; on a
    failure the document is aborted and Error names the page."""
    paths = (ctypes.c_char_p * len(pages))(*[path for path, _ in pages])
    added = _doc_add_pages(doc, paths, len(pages), None, None)
    if added != len(pages):
        message = _text(_doc_error(doc))
        _doc_abort(doc)
        raise Error(message, pages[added][1])


Result = namedtuple("Result", "output pages bytes seconds error")


def _convert_one(inputs, output, settings):
    start = time.perf_counter()
    try:
        pages = convert(inputs, output, **settings)
        return Result(output, pages, os.path.getsize(_path(output)), time.perf_counter() - start, None)
    except Error as e:
        return Result(output, 0, 0, time.perf_counter() - start, e)


def convert_many(jobs, /, workers=None, **settings):
    """Converts many documents at once: `jobs` is a list of (inputs, output) pairs as convert
    takes them, `settings` the keywords of convert for every document. Documents run on
    `workers` threads (default: every core) at once, the library's calls without any lock,
    each document on one thread unless the keyword jobs=N (after the pairs) gives it more.
    Returns one Result per document in the order given: output, pages, bytes, seconds and
    error (None, or the folian.Error that document raised; the others go on)."""
    pairs = list(jobs)
    settings.setdefault("jobs", 1)
    if workers is None:
        workers = os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError("workers must be a positive integer, not %r" % (workers,))
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(_convert_one, inputs, output, settings) for inputs, output in pairs]
        return [f.result() for f in futures]


def _take_pixels(ptr, width, height):
    try:
        return ctypes.string_at(ptr, width * height * 4)
    finally:
        _free(ptr)


def _decode_with(fn, flags, path):
    w, h, msg = ctypes.c_int(0), ctypes.c_int(0), ctypes.c_char_p()
    ptr = fn(_path(path), flags, ctypes.byref(w), ctypes.byref(h), ctypes.byref(msg))
    if not ptr:
        raise Error(_text(msg.value) or "cannot decode %s" % _shown(path))
    return Image(w.value, h.value, _take_pixels(ptr, w.value, h.value))


def decode(path, strict=False):
    """Decodes a PNG or JPEG file (told by its first bytes) to an Image of width, height
    and width*height*4 bytes of RGBA, rows top to bottom. Every file the library reads is
    taken: progressive, multi-scan and extended-sequential JPEG, interlaced PNG; `strict`
    keeps to the plain decoders (baseline JPEG, non-interlaced PNG)."""
    with open(_path(path), "rb") as f:
        head = f.read(8)
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return _decode_with(_png_decode, 0 if strict else _KV_PNG_INTERLACED, path)
    return _decode_with(_jpeg_decode, 0 if strict else _KV_JPEG_ALL, path)


def jpeg_info(path):
    """(width, height, components) of a JPEG file, read from its header only."""
    w, h, c = ctypes.c_int(0), ctypes.c_int(0), ctypes.c_int(0)
    if not _jpeg_info(_path(path), ctypes.byref(w), ctypes.byref(h), ctypes.byref(c)):
        raise Error("not a JPEG file the probe understands: %s" % _shown(path))
    return w.value, h.value, c.value


def _rgba(width, height, pixels):
    _count("width", width, 1)
    _count("height", height, 1)
    data = bytes(pixels)
    if len(data) != width * height * 4:
        raise ValueError("pixels must be width*height*4 = %d bytes, not %d" % (width * height * 4, len(data)))
    return data


def encode_png(path, width, height, pixels):
    """Writes RGBA pixels as an 8-bit RGBA PNG file."""
    if not _png_write(_path(path), width, height, _rgba(width, height, pixels)):
        raise Error("cannot write PNG file %s" % _shown(path))


def encode_jpeg(path, width, height, pixels):
    """Writes RGBA pixels (alpha ignored) as a baseline JFIF file."""
    if not _jpeg_write(_path(path), width, height, _rgba(width, height, pixels)):
        raise Error("cannot write JPEG file %s" % _shown(path))


def inflate(data, size):
    """Raw deflate data decompressed into at most `size` bytes (0 to 2**31 - 1)."""
    _count("size", size, 0)
    data = bytes(data)
    out = ctypes.create_string_buffer(max(size, 1))
    n = _inflate(data, len(data), out, size)
    if n < 0:
        raise Error("inflate: bad or truncated deflate data, or more than %d bytes" % size)
    return out.raw[:n]
