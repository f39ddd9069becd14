"""Read LRC synced lyrics with the lyrx shared library.

    import lyrx
    song = lyrx.parse_file("song.lrc")
    for line in song.lines:
        print(line.start_ms, line.end_ms, line.text)

The library is looked for, in this order: the path in the environment
variable LYRX_LIBRARY (and nowhere else when it is set); a copy of it in this
package's folder; the system's library path. It is loaded at the first call.

The library keeps one result state for the whole process and hands out
strings that the next call replaces. Every function here therefore runs under
one module-wide lock and copies what it returns out of the library first:
results stay valid, and calls from several threads are safe (one at a time).
Texts that are not valid UTF-8 are decoded with errors="surrogateescape", so
text.encode("utf-8", "surrogateescape") gives back the library's bytes.
"""

import ctypes
import ctypes.util
import os
import sys
import threading
from dataclasses import dataclass, field

__all__ = [
    "parse", "parse_file", "detect", "artists", "clean_title", "library_path",
    "Result", "Line", "LyrxError",
    "OK", "ERR_NO_LYRICS", "ERR_EMPTY", "ERR_NULL", "ERR_IO", "ERR_OOM",
]
__version__ = "0.1.0"

# Status codes of lyrx.h.
OK = 0
ERR_NO_LYRICS = 1
ERR_EMPTY = 2
ERR_NULL = 3
ERR_IO = 4
ERR_OOM = 5
STATUS_NAMES = {
    OK: "LYRX_OK", ERR_NO_LYRICS: "LYRX_ERR_NO_LYRICS", ERR_EMPTY: "LYRX_ERR_EMPTY",
    ERR_NULL: "LYRX_ERR_NULL", ERR_IO: "LYRX_ERR_IO", ERR_OOM: "LYRX_ERR_OOM",
}

_MODULE = "nordavex-velmora-lrc-lyrics-parse"
if sys.platform == "win32":
    _FILE_NAMES = (_MODULE + ".dll",)
else:
    _FILE_NAMES = ("lib%s.so.0" % _MODULE, "lib%s.so" % _MODULE)
_TAG_KEYS = ("ti", "ar", "al", "by")


class LyrxError(Exception):
    """A call that failed: `status` is the library's code, `error` its text,
    `result` (for the parse functions) everything the parse left."""

    def __init__(self, status, error, result=None):
        self.status = status
        self.error = error
        self.result = result
        name = STATUS_NAMES.get(status, "status %d" % status)
        super().__init__("%s (%s)" % (error, name) if error else name)


@dataclass(frozen=True)
class Line:
    start_ms: int
    end_ms: int
    text: str


@dataclass(frozen=True)
class Result:
    """Everything one parse gave, copied out of the library."""

    status: int
    error: str
    lines: list
    tags: dict
    offset_ms: int
    warnings: list
    _json: "str | None" = field(default=None, repr=False)

    def to_json(self):
        """The library's JSON text of this result, or None when it could not
        write one (a text that is not valid UTF-8, or no memory)."""
        return self._json


_lock = threading.Lock()
_lib = None
_lib_path = None

_i32, _u64, _str = ctypes.c_int32, ctypes.c_uint64, ctypes.c_char_p
_SIGNATURES = {
    "lyrx_parse": (_i32, [_str, _u64]),
    "lyrx_parse_file": (_i32, [_str]),
    "lyrx_detect": (_i32, [_str, _u64]),
    "lyrx_clear": (None, []),
    "lyrx_line_count": (_i32, []),
    "lyrx_line_start_ms": (_i32, [_i32]),
    "lyrx_line_end_ms": (_i32, [_i32]),
    "lyrx_line_text": (_str, [_i32]),
    "lyrx_meta": (_str, [_str]),
    "lyrx_offset_ms": (_i32, []),
    "lyrx_last_error": (_str, []),
    "lyrx_warning_count": (_i32, []),
    "lyrx_warning": (_str, [_i32]),
    "lyrx_result_json": (_str, []),
    "lyrx_tag_parse_title": (_i32, [_str]),
    "lyrx_tag_artist_count": (_i32, []),
    "lyrx_tag_artist": (_str, [_i32]),
    "lyrx_tag_clean_title": (_str, [_str]),
}


def _candidates():
    env = os.environ.get("LYRX_LIBRARY")
    if env:
        return [env]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, n) for n in _FILE_NAMES if os.path.isfile(os.path.join(here, n))]
    if sys.platform == "win32":
        # Python does not search PATH for DLLs itself.
        on_path = ctypes.util.find_library(_MODULE)
        found += [on_path] if on_path else []
    return found + list(_FILE_NAMES)


def _load():
    """The library, loaded at the first call; the caller holds _lock."""
    global _lib, _lib_path
    if _lib is not None:
        return _lib
    tried = []
    for name in _candidates():
        try:
            lib = ctypes.CDLL(name)
        except OSError as e:
            tried.append("%s (%s)" % (name, e))
            continue
        for fn, (restype, argtypes) in _SIGNATURES.items():
            f = getattr(lib, fn)
            f.restype, f.argtypes = restype, argtypes
        _lib, _lib_path = lib, name
        return lib
    where = ("LYRX_LIBRARY=" + os.environ["LYRX_LIBRARY"]) if os.environ.get("LYRX_LIBRARY") else \
        "the package folder and the system's library path"
    raise OSError("lyrx: cannot load the library from %s; tried: %s. Install it, set LYRX_LIBRARY "
                  "to its path, or copy %s into %s"
                  % (where, "; ".join(tried), _FILE_NAMES[0], os.path.dirname(os.path.abspath(__file__))))


class _DlInfo(ctypes.Structure):
    _fields_ = [("dli_fname", ctypes.c_char_p), ("dli_fbase", ctypes.c_void_p),
                ("dli_sname", ctypes.c_char_p), ("dli_saddr", ctypes.c_void_p)]


def _file_of(lib, name):
    """The file the system loader picked for a library loaded by name."""
    try:
        if sys.platform == "win32":
            path = ctypes.create_unicode_buffer(32768)
            get_name = ctypes.WinDLL("kernel32").GetModuleFileNameW
            get_name.argtypes = [ctypes.c_void_p, ctypes.c_wchar_p, ctypes.c_uint32]
            return path.value if get_name(lib._handle, path, len(path)) else name
        info = _DlInfo()
        if ctypes.CDLL(None).dladdr(ctypes.cast(lib.lyrx_parse, ctypes.c_void_p), ctypes.byref(info)):
            return os.fsdecode(info.dli_fname)
    except (AttributeError, OSError):
        pass
    return name


def library_path():
    """The file the library was loaded from (loading it if needed)."""
    with _lock:
        lib = _load()
        return _file_of(lib, _lib_path)


def _text(raw):
    return raw.decode("utf-8", "surrogateescape")


def _bytes(value, what):
    if isinstance(value, bytes):
        return value
    if isinstance(value, str):
        return value.encode("utf-8", "surrogateescape")
    try:
        return bytes(memoryview(value))
    except TypeError:
        raise TypeError("%s must be str or bytes-like, not %s" % (what, type(value).__name__)) from None


def _c_string(value, what):
    data = _bytes(value, what)
    if b"\0" in data:
        raise ValueError("%s contains a NUL character" % what)
    return data


def _collect(lib, status):
    lines = [Line(lib.lyrx_line_start_ms(i), lib.lyrx_line_end_ms(i), _text(lib.lyrx_line_text(i)))
             for i in range(lib.lyrx_line_count())]
    tags = {}
    for key in _TAG_KEYS:
        value = lib.lyrx_meta(key.encode())
        if value is not None:
            tags[key] = _text(value)
    warnings = [_text(lib.lyrx_warning(i)) for i in range(lib.lyrx_warning_count())]
    json = lib.lyrx_result_json()
    return Result(status=status, error=_text(lib.lyrx_last_error()), lines=lines, tags=tags,
                  offset_ms=lib.lyrx_offset_ms(), warnings=warnings,
                  _json=None if json is None else json.decode("utf-8"))


def _finish(result, check):
    if check and result.status != OK:
        raise LyrxError(result.status, result.error, result)
    return result


def parse(text, *, check=True):
    """Parses LRC text (str, or bytes in UTF-8). Raises LyrxError unless the
    status is OK; with check=False returns the Result whatever the status."""
    data = _bytes(text, "text")
    with _lock:
        lib = _load()
        result = _collect(lib, lib.lyrx_parse(data, len(data)))
    return _finish(result, check)


def parse_file(path, *, check=True):
    """Reads and parses an LRC file (UTF-8, or UTF-16 with a byte-order mark);
    path is str, bytes or os.PathLike. Raises like parse."""
    name = os.fsencode(path)
    if b"\0" in name:
        raise ValueError("path contains a NUL character")
    with _lock:
        lib = _load()
        # A file that fails before its parse keeps the previous result in the
        # library: start empty so it cannot show up in this one.
        lib.lyrx_clear()
        result = _collect(lib, lib.lyrx_parse_file(name))
    return _finish(result, check)


def detect(data):
    """True when the start of data (str or bytes) looks like LRC."""
    raw = _bytes(data, "data")
    with _lock:
        return _load().lyrx_detect(raw, len(raw)) == 1


def artists(title):
    """The artists credited in a title, e.g. "Song ft. A & B" -> ["A", "B"]."""
    raw = _c_string(title, "title")
    with _lock:
        lib = _load()
        status = lib.lyrx_tag_parse_title(raw)
        if status != OK:
            raise LyrxError(status, "out of memory" if status == ERR_OOM else "cannot split the title")
        return [_text(lib.lyrx_tag_artist(i)) for i in range(lib.lyrx_tag_artist_count())]


def clean_title(title):
    """The title cleaned down to the song name, e.g. "01. Song (Live)" -> "Song"."""
    raw = _c_string(title, "title")
    with _lock:
        cleaned = _load().lyrx_tag_clean_title(raw)
    if cleaned is None:
        raise LyrxError(ERR_OOM, "out of memory")
    return _text(cleaned)
