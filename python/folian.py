"""folian: PNG and JPEG files to PDF, and the library's own codecs, over ctypes.

    import folian
    folian.convert(["p1.png", "p2.jpg"], "out.pdf", page_size="a4", dpi=300)
    folian.convert("scans/", "scans.pdf", compact=True, natural_order=True)
    pdf = folian.convert([upload_bytes])  # bytes in, PDF bytes out
    img = folian.decode("photo.jpg")      # img.width, img.height, img.pixels (RGBA memoryview)
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
import io
import os
import sys
import threading
import concurrent.futures
import time
import weakref
from typing import IO, Any, Iterable, List, NamedTuple, Optional, Tuple, Union

__all__ = ["Error", "FileError", "Image", "Document", "Result", "convert", "convert_many", "list_directory", "decode", "encode_png", "encode_jpeg", "jpeg_info",
           "inflate", "version", "PAGE_SIZES", "OPT_COMPACT", "OPT_INTERLACED", "OPT_WIDE_PROBE",
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

class Image(NamedTuple):
    """A decoded image: `pixels` is a read-only memoryview of width*height*4 bytes R, G, B,
    A, rows top to bottom, over the library's own buffer (no copy; bytes(img.pixels) makes
    one). It compares equal to bytes of the same content."""
    width: int
    height: int
    pixels: memoryview


# What convert, Document and decode take as an image: a path, image bytes or a binary file.
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
ImageInput = Union[PathLike, bytearray, memoryview, IO[bytes]]


class Error(Exception):
    """A failure of the library. `message` is the library's own text, `path` the file it
    concerns or None; str(error) is "path: message", or the message alone. An input that is
    no file is named instead ("input 3 (bytes): not a PNG or JPEG image"). Where the cause is
    a file that cannot be read, the error is also an OSError."""

    def __init__(self, message: str, path: "Optional[str]" = None, name: "Optional[str]" = None) -> None:
        self.message = message
        self.path = path
        shown = path if path is not None else name
        self._text = "%s: %s" % (shown, message) if shown is not None else message
        super().__init__(self._text)

    def __str__(self) -> str:
        return self._text


class FileError(Error, OSError):
    """An Error whose cause is a file or directory that cannot be read: `except OSError`
    catches it. errno and filename are set where the system tells them."""

    def __init__(self, message: str, path: "Optional[str]" = None, name: "Optional[str]" = None) -> None:
        Error.__init__(self, message, path, name)
        self.filename = path
        try:
            os.stat(path if path is not None else "")
        except OSError as e:
            self.errno, self.strerror = e.errno, e.strerror


# The library's words for a file or directory it could not read.
_UNREADABLE = ("cannot read file", "cannot open directory")


def _error(message: str, path: "Optional[str]" = None, name: "Optional[str]" = None) -> Error:
    """The Error for a library message: a FileError when the file could not be read."""
    unreadable = path is not None and any(message.endswith(w) for w in _UNREADABLE)
    return (FileError if unreadable else Error)(message, path, name)


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
_doc_open_memory = _declare("folian_doc_open_memory", ctypes.c_void_p, ctypes.c_void_p)
_doc_add_memory = _declare("folian_doc_add_memory", ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                           ctypes.c_char_p)
_doc_finish_memory = _declare("folian_doc_finish_memory", ctypes.c_int, ctypes.c_void_p,
                              ctypes.POINTER(ctypes.c_void_p), ctypes.POINTER(ctypes.c_size_t))
_png_decode_memory = _declare("kv_png_decode_memory", ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                              ctypes.c_uint, _c_int_p, _c_int_p, _c_char_pp)
_jpeg_decode_memory = _declare("kv_jpeg_decode_ex", ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint64,
                               ctypes.c_uint, _c_int_p, _c_int_p, _c_char_pp)
_doc_add_pages = _declare("folian_doc_add_pages", ctypes.c_int, ctypes.c_void_p, ctypes.POINTER(ctypes.c_char_p),
                          ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
_list_directory = _declare("folian_list_directory", ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p,
                           ctypes.POINTER(ctypes.POINTER(ctypes.c_char_p)), _c_int_p, ctypes.c_char_p,
                           ctypes.c_size_t)
_inflate = _declare("kv_inflate", ctypes.c_int32, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_void_p,
                    ctypes.c_size_t)
_png_write = _declare("kv_png_write", ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_char_p)
_jpeg_info = _declare("kv_jpeg_info", ctypes.c_int, ctypes.c_char_p, _c_int_p, _c_int_p, _c_int_p)
_jpeg_decode = _declare("kv_jpeg_decode_file_ex", ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint, _c_int_p,
                        _c_int_p, _c_char_pp)
_decode_any = _declare("kv_decode", ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_uint,
                       _c_int_p, _c_int_p, _c_int_p, _c_char_pp)
_KV_PNG_INTERLACED = 0x01
_KV_DECODE_ALL = 0x03  # interlaced PNG, every JPEG the library reads
_NO_FORMAT = b"folian: not a supported image format"
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


def version() -> str:
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


def list_directory(directory: PathLike, natural_order: bool = False) -> "List[Union[str, bytes]]":
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


# What a Python user gets unless strict=True: the tool's defaults (compressed pages, interlaced
# PNG, files told by content, EXIF rotation, the file's resolution, colour profiles, numbered
# directory order, and every format the library reads where it has a key for that).
_HOST_DEFAULTS = [("compact", True), ("interlaced", True), ("content-probe", True), ("exif-rotation", True),
                  ("file-dpi", True), ("icc", True), ("natural-order", True)]
_WIDER_DEFAULTS = [("formats", "all")]


def _known_defaults():
    """The host defaults this library takes: a key it does not know is left out."""
    record = _settings_new()
    if not record:
        raise MemoryError("folian: no memory for a settings record")
    try:
        return _HOST_DEFAULTS + [(k, v) for k, v in _WIDER_DEFAULTS if _settings_set(record, k.encode(), v.encode())]
    finally:
        _settings_free(record)


_DEFAULTS = _known_defaults()


def _conversion_pairs(page_size, dpi, options, natural_order, strict, settings):
    """The (key, value) pairs of a conversion, later ones winning: the defaults (none when
    strict), then what the call asks for. A resolution asked for wins over the files', as in
    the tool."""
    pairs = ([] if strict else list(_DEFAULTS)) + [("page-size", page_size)]
    if dpi is not None:
        if isinstance(dpi, bool) or not isinstance(dpi, int) or not 1 <= dpi <= 10000:
            raise ValueError("dpi must be an integer from 1 to 10000, not %r" % (dpi,))
        pairs += [("dpi", dpi), ("file-dpi", False)]
    named = {name: settings[name] for name in _OPTION_NAMES if name in settings}
    if options is not None or named:
        bits = _options(options if options is not None else _default_bits(pairs), settings)
        pairs += [(key, bool(bits & bit)) for bit, key in _BIT_KEYS.items()]
    if natural_order is not None:
        pairs.append(("natural-order", bool(natural_order)))
    pairs += [(name.replace("_", "-"), value) for name, value in settings.items()]
    return pairs


def _default_bits(pairs):
    """The OPT_* bits the pairs so far leave on (the last value of a key wins)."""
    state = dict(pairs)
    return sum(bit for bit, key in _BIT_KEYS.items() if state.get(key) is True)


def _is_image_bytes(item):
    """Whether bytes are image data rather than a path: a path never holds a NUL (every image
    file does, in its first lengths and sizes) and is never this long."""
    return b"\0" in item or len(item) > 4096


def _read_binary(item, what):
    """The bytes of a binary file object; a text-mode one is refused."""
    if isinstance(item, io.TextIOBase):
        raise TypeError("%s: a file object opened in text mode; open it in binary mode ('rb')" % what)
    data = item.read()
    if isinstance(data, str):
        raise TypeError("%s: a file object opened in text mode; open it in binary mode ('rb')" % what)
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError("%s: read() gave %s, not bytes" % (what, type(data).__name__))
    return data


def _c_bytes(data):
    """(argument, length) for C without a copy where Python allows one."""
    if isinstance(data, bytes):
        return data, len(data)
    view = memoryview(data).cast("B") if memoryview(data).c_contiguous else memoryview(bytes(data))
    if view.readonly:
        copy = view.tobytes()
        return copy, len(copy)
    return ctypes.cast((ctypes.c_char * view.nbytes).from_buffer(view), ctypes.c_char_p), view.nbytes


def _is_single(inputs):
    return isinstance(inputs, (str, bytes, bytearray, memoryview, os.PathLike)) or hasattr(inputs, "read")


class Document:
    """A PDF built page by page: with output a path, the file appears only when finished;
    with None or a binary file object, the document is built in memory (no file of any kind)
    and finish() returns its bytes (and writes them to the file object).

        with folian.Document("out.pdf", page_size="a4") as doc:
            doc.add("scan.png")
            doc.add(upload_bytes)

    Leaving the block finishes the document; an exception aborts it, leaving no output.
    Settings are convert()'s."""

    def __init__(self, output: "Optional[Union[PathLike, IO[bytes]]]" = None, *, page_size: str = "image",
                 dpi: Optional[int] = None, options: Optional[int] = None, natural_order: Optional[bool] = None,
                 strict: bool = False, **settings: Any) -> None:
        self.pages = 0
        self._inputs = 0
        self._sink = None
        self._natural = None
        pairs = _conversion_pairs(page_size, dpi, options, natural_order, strict, settings)
        for key, value in pairs:
            if key == "natural-order":
                self._natural = bool(value)
        if output is not None and not isinstance(output, (str, bytes, os.PathLike)):
            if not hasattr(output, "write") or isinstance(output, io.TextIOBase):
                raise TypeError("output: a path, a binary file object or None, not %r" % (output,))
            self._sink = output
        self._output = output
        path = _path(output) if output is not None and self._sink is None else None
        record = _settings_record(pairs)
        try:
            doc = _doc_open(path, record) if path is not None else _doc_open_memory(record)
        finally:
            _settings_free(record)
        if not doc:
            raise MemoryError("folian: no memory for a document")
        self._doc = doc
        if _doc_error(doc):
            message = _text(_doc_error(doc))
            self.abort()
            raise Error(message, _shown(output) if path is not None else None)

    def _handle(self):
        if not self._doc:
            raise ValueError("the document is finished or aborted")
        return self._doc

    def _add_file(self, path: bytes, shown: str) -> None:
        if not _doc_add(self._handle(), path):
            raise _error(_text(_doc_error(self._doc)), shown)
        self.pages += 1

    def _add_files(self, pages) -> None:
        """Files in one library call, loaded on the threads the record's jobs key gives."""
        if not pages:
            return
        paths = (ctypes.c_char_p * len(pages))(*[path for path, _ in pages])
        added = _doc_add_pages(self._handle(), paths, len(pages), None, None)
        self.pages += max(added, 0)
        if added != len(pages):
            raise _error(_text(_doc_error(self._doc)), pages[added][1])

    def _add_bytes(self, data, name: str) -> None:
        arg, n = _c_bytes(data)
        if not _doc_add_memory(self._handle(), arg, n, None):
            raise _error(_text(_doc_error(self._doc)), None, name)
        self.pages += 1

    def add(self, image: ImageInput) -> None:
        """Adds the page of an image: a path (a directory adds its images in the library's
        order), image bytes (bytes, bytearray, memoryview; the format told by content) or a
        binary file object. A failure raises Error and adds no page; the document goes on."""
        self._inputs += 1
        self._add_input(image, self._inputs)

    def _add_input(self, item, number: int) -> None:
        what = "input %d" % number
        if isinstance(item, (bytearray, memoryview)) or (isinstance(item, bytes) and _is_image_bytes(item)):
            return self._add_bytes(item, what + " (bytes)")
        if isinstance(item, (str, bytes, os.PathLike)):
            path = _path(item)
            if not os.path.isdir(path):
                return self._add_file(path, _shown(item))
            self._add_files(_directory_pages(item, self._natural))
            return None
        if hasattr(item, "read"):
            name = getattr(item, "name", None)
            label = "%s (%s)" % (what, _shown(name) if isinstance(name, (str, bytes)) else "file object")
            return self._add_bytes(_read_binary(item, what), label)
        raise TypeError("%s: a path, image bytes or a binary file object, not %s" % (what, type(item).__name__))

    def finish(self) -> Optional[bytes]:
        """Completes the document. A file output is replaced and None returned; otherwise the
        PDF's bytes are returned (and written to the file object given as output)."""
        doc = self._handle()
        if self._output is not None and self._sink is None:
            if not _doc_finish(doc):
                message = _text(_doc_error(doc))
                self.abort()
                raise Error(message, _shown(self._output))
            self._doc = None
            return None
        pdf, n = ctypes.c_void_p(), ctypes.c_size_t(0)
        if not _doc_finish_memory(doc, ctypes.byref(pdf), ctypes.byref(n)):
            message = _text(_doc_error(doc))
            self.abort()
            raise Error(message)
        self._doc = None
        try:
            data = ctypes.string_at(pdf.value, n.value)
        finally:
            _free(pdf)
        if self._sink is not None:
            self._sink.write(data)
        return data

    def abort(self) -> None:
        """Drops the document: no output is written (an old file keeps its content)."""
        if self._doc:
            _doc_abort(self._doc)
            self._doc = None

    def __enter__(self) -> "Document":
        return self

    def __exit__(self, kind, value, trace) -> None:
        if kind is not None:
            self.abort()
        elif self._doc:
            self.finish()

    def __del__(self) -> None:
        if getattr(self, "_doc", None):
            _doc_abort(self._doc)


def convert(inputs: "Union[ImageInput, Iterable[ImageInput]]",
            output: "Optional[Union[PathLike, IO[bytes]]]" = None, page_size: str = "image",
            dpi: Optional[int] = None, options: Optional[int] = None, natural_order: Optional[bool] = None,
            strict: bool = False, **settings: Any) -> "Union[int, bytes]":
    """Converts images to one PDF, a page each, and returns the PDF's bytes when `output` is
    None, else the number of images converted.

    `inputs` is one input or a list of them in page order: paths (str, bytes, path objects; a
    directory stands for its image files in numbered order, 2.jpg before 10.jpg), image data
    (bytes, bytearray, memoryview; bytes holding no NUL and at most 4096 long are a path) and
    binary file objects. `output` is a path (written safely: all or nothing), a binary file
    object, or None.

    By default pages are as the tool makes them: compressed, interlaced PNG taken, files told
    by content, photos turned upright by EXIF, each file's resolution (unless `dpi` is given),
    colour profiles kept, every format the library reads. strict=True starts from the
    library's plain defaults instead. `page_size` is "image" (the page is the image at its
    resolution), a paper name ("a4", "letter", ... any case) or "WxH" with a unit
    ("210x297mm"). `options` are OPT_* bits, each also set or cleared by name: compact,
    interlaced, wide_probe, orientation, file_dpi, icc (True or False). Every other keyword
    is a key of the library's settings, with underscores for dashes: orientation="landscape",
    margin="2cm", fit="fill", max_pixels=50000000, max_pages=500, ... (True/False for on/off).

    Conversions hold no lock: they run in parallel on threads. A failure raises Error with
    the library's message and the input it concerns ("input 3 (bytes)" for data), and writes
    nothing."""
    items = [inputs] if _is_single(inputs) else list(inputs)
    if not items:
        raise ValueError("no input files")
    doc = Document(output, page_size=page_size, dpi=dpi, options=options, natural_order=natural_order,
                   strict=strict, **settings)
    try:
        for number, item in enumerate(items, 1):
            doc._add_input(item, number)
        pdf = doc.finish()
    finally:
        doc.abort()
    return pdf if output is None else doc.pages


class Result(NamedTuple):
    """One document of convert_many: its output, pages, bytes written, seconds taken, and
    error (None, or the Error that document raised)."""
    output: Any
    pages: int
    bytes: int
    seconds: float
    error: Optional["Error"]


def _convert_one(inputs, output, settings):
    start = time.perf_counter()
    try:
        pages = convert(inputs, output, **settings)
        return Result(output, pages, os.path.getsize(_path(output)), time.perf_counter() - start, None)
    except Error as e:
        return Result(output, 0, 0, time.perf_counter() - start, e)


def convert_many(jobs: "Iterable[Tuple[Any, PathLike]]", /, workers: Optional[int] = None,
                 **settings: Any) -> "List[Result]":
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


def _image_at(ptr, width, height):
    """An Image over the library's buffer, released when the last view of it goes."""
    n = width * height * 4
    array = (ctypes.c_ubyte * n).from_address(ptr)
    weakref.finalize(array, _free, ptr)
    return Image(width, height, memoryview(array).cast("B").toreadonly())


def _decode_bytes(data, strict, frame=0):
    arg, n = _c_bytes(data)
    head = bytes(memoryview(data)[:8]) if not isinstance(data, bytes) else data[:8]
    w, h, msg = ctypes.c_int(0), ctypes.c_int(0), ctypes.c_char_p()
    if frame == 0 and head.startswith(b"\x89PNG\r\n\x1a\n"):
        ptr = _png_decode_memory(arg, n, 0 if strict else _KV_PNG_INTERLACED, ctypes.byref(w), ctypes.byref(h),
                                 ctypes.byref(msg))
    elif frame == 0 and (strict or head.startswith(b"\xff\xd8")):
        ptr = _jpeg_decode_memory(arg, n, 0 if strict else _KV_JPEG_ALL, ctypes.byref(w), ctypes.byref(h),
                                  ctypes.byref(msg))
    else:
        frames = ctypes.c_int(0)
        ptr = _decode_any(arg, n, frame, 0 if strict else _KV_DECODE_ALL, ctypes.byref(w), ctypes.byref(h),
                          ctypes.byref(frames), ctypes.byref(msg))
        if not ptr and frame == 0 and not frames.value and msg.value == _NO_FORMAT:
            # Content of no known format goes to the JPEG decoder, whose message says why.
            ptr = _jpeg_decode_memory(arg, n, _KV_JPEG_ALL, ctypes.byref(w), ctypes.byref(h), ctypes.byref(msg))
    if not ptr:
        raise Error(_text(msg.value) or "cannot decode the image")
    return _image_at(ptr, w.value, h.value)


def decode(source: ImageInput, strict: bool = False, frame: int = 0) -> Image:
    """Decodes an image (told by its first bytes) from a path, image bytes or a binary file
    object to an Image: width, height and a zero-copy view of the RGBA pixels. Every file the
    library reads is taken: progressive, multi-scan and extended-sequential JPEG, interlaced
    PNG, GIF frames composited as shown, BMP, TIFF pages; `strict` keeps to the plain
    decoders (baseline JPEG, non-interlaced PNG). `frame` picks a frame or page of a file
    that has several. A file that cannot be read raises OSError, a bad image Error."""
    _count("frame", frame, 0)
    if isinstance(source, (bytearray, memoryview)) or (isinstance(source, bytes) and _is_image_bytes(source)):
        return _decode_bytes(source, strict, frame)
    if isinstance(source, (str, bytes, os.PathLike)):
        with open(_path(source), "rb") as f:
            return _decode_bytes(f.read(), strict, frame)
    if hasattr(source, "read"):
        return _decode_bytes(_read_binary(source, "source"), strict, frame)
    raise TypeError("decode takes a path, image bytes or a binary file object, not %s" % type(source).__name__)


def jpeg_info(path: PathLike) -> Tuple[int, int, int]:
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


def encode_png(path: PathLike, width: int, height: int, pixels: "Union[bytes, bytearray, memoryview]") -> None:
    """Writes RGBA pixels as an 8-bit RGBA PNG file."""
    if not _png_write(_path(path), width, height, _rgba(width, height, pixels)):
        raise Error("cannot write PNG file %s" % _shown(path))


def encode_jpeg(path: PathLike, width: int, height: int, pixels: "Union[bytes, bytearray, memoryview]") -> None:
    """Writes RGBA pixels (alpha ignored) as a baseline JFIF file."""
    if not _jpeg_write(_path(path), width, height, _rgba(width, height, pixels)):
        raise Error("cannot write JPEG file %s" % _shown(path))


def inflate(data: "Union[bytes, bytearray, memoryview]", size: int) -> bytes:
    """Raw deflate data decompressed into at most `size` bytes (0 to 2**31 - 1)."""
    _count("size", size, 0)
    data = bytes(data)
    out = ctypes.create_string_buffer(max(size, 1))
    n = _inflate(data, len(data), out, size)
    if n < 0:
        raise Error("inflate: bad or truncated deflate data, or more than %d bytes" % size)
    return out.raw[:n]
