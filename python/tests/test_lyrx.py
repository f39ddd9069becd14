"""The ctypes binding, against the real library (LYRX_LIBRARY, or the package's
own search). Run: PYTHONPATH=python python3 -m unittest discover -s python/tests"""
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

import lyrx

SAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "sample.lrc"


def json_view(r):
    """The result as the library's JSON text states it."""
    view = dict(status=r.status, line_count=len(r.lines), offset_ms=r.offset_ms, warnings=r.warnings,
                lines=[dict(start_ms=l.start_ms, end_ms=l.end_ms, text=l.text) for l in r.lines], **r.tags)
    if r.error:
        view["error"] = r.error
    return view


class Binding(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = pathlib.Path(tmp.name)

    def test_sample_through_every_input_form(self):
        base = lyrx.parse_file(str(SAMPLE))
        self.assertEqual(json_view(base), json.loads(base.to_json()))
        self.assertEqual((base.tags["ti"], base.offset_ms, base.lines[0].start_ms), ("Lanterns on the Quay", 250, 750))
        for other in (lyrx.parse_file(os.fsencode(SAMPLE)), lyrx.parse_file(SAMPLE),
                      lyrx.parse(SAMPLE.read_bytes()), lyrx.parse(SAMPLE.read_text("utf-8"))):
            self.assertEqual(other, base)

    def test_utf16_files_match_utf8_but_the_last_warning(self):
        utf8 = lyrx.parse_file(SAMPLE)
        for codec, mark in (("utf-16-le", b"\xff\xfe"), ("utf-16-be", b"\xfe\xff")):
            path = self.tmp / (codec + ".lrc")
            path.write_bytes(mark + SAMPLE.read_text("utf-8").encode(codec))
            r = lyrx.parse_file(path)
            self.assertEqual((r.lines, r.tags, r.warnings[:-1]), (utf8.lines, utf8.tags, utf8.warnings))
            self.assertTrue(r.warnings[-1].startswith("encoding:"), r.warnings)

    def test_failures_raise_with_status_and_text(self):
        (self.tmp / "odd.lrc").write_bytes(b"\xff\xfe[\x00x")
        missing = str(self.tmp / "missing.lrc")
        cases = [
            (lambda: lyrx.parse(b""), lyrx.ERR_EMPTY, "empty input", {}),
            (lambda: lyrx.parse("[ti:Only]\n"), lyrx.ERR_EMPTY, "metadata but no lyric lines", {"ti": "Only"}),
            (lambda: lyrx.parse("just words"), lyrx.ERR_NO_LYRICS, "Can't find any lyrics", {}),
            (lambda: lyrx.parse_file(missing), lyrx.ERR_IO, "cannot open " + missing, {}),
            (lambda: lyrx.parse_file(self.tmp / "odd.lrc"), lyrx.ERR_NO_LYRICS, "iconv UTF-16LE failed", {}),
        ]
        for call, status, text, tags in cases:
            lyrx.parse_file(SAMPLE)  # a previous result must not leak into the failed one
            with self.assertRaises(lyrx.LyrxError) as caught:
                call()
            e = caught.exception
            self.assertEqual((e.status, e.result.status, e.result.lines, e.result.tags), (status, status, [], tags))
            self.assertIn(text, e.error)
            self.assertIn(text, str(e))
        self.assertEqual(lyrx.parse("", check=False).status, lyrx.ERR_EMPTY)

    def test_invalid_utf8_survives_with_surrogateescape(self):
        raw = b"[ti:caf\xe9]\n[00:01.00]na\xefve\n"
        r = lyrx.parse(raw)
        self.assertEqual((r.tags["ti"], r.lines[0].text), ("caf\udce9", "na\udcefve"))
        self.assertIsNone(r.to_json())
        self.assertEqual(lyrx.parse("[ti:%s]\n[00:01.00]%s\n" % (r.tags["ti"], r.lines[0].text)), r)
        self.assertEqual(lyrx.clean_title(b"caf\xe9 (Live)"), "caf\udce9")

    def test_title_functions_and_detect(self):
        for call, arg, want in [
            (lyrx.artists, "Song ft. A & B", ["A", "B"]), (lyrx.artists, b"Song", []),
            (lyrx.clean_title, "01. Song (Live)", "Song"), (lyrx.clean_title, b"Song", "Song"),
            (lyrx.detect, "[00:01.00]x", True), (lyrx.detect, bytearray(b"[ti:x]"), True),
            (lyrx.detect, b"hello", False), (lyrx.detect, b"", False),
        ]:
            self.assertEqual(call(arg), want, (call.__name__, arg))
        self.assertRaises(ValueError, lyrx.artists, "a\0b")
        self.assertRaises(TypeError, lyrx.clean_title, 5)

    def test_threads_see_only_their_own_result(self):
        bad = []

        def work(n):
            for _ in range(300):
                r = lyrx.parse("[00:0%d.00]thread %d\n" % (n, n))
                if [l.text for l in r.lines] != ["thread %d" % n] or lyrx.artists("x ft. %d" % n) != [str(n)]:
                    bad.append(n)
        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(bad, [])

    def test_library_search(self):
        package = self.tmp / "pkg" / "lyrx"
        shutil.copytree(pathlib.Path(lyrx.__file__).parent, package)
        shutil.copy(lyrx.library_path(), package / lyrx._FILE_NAMES[0])
        env = {k: v for k, v in os.environ.items() if k not in ("LYRX_LIBRARY", "LD_LIBRARY_PATH")}
        code = "import lyrx; print(lyrx.library_path()); lyrx.parse('[00:01]x')"
        for extra, ok, want in [({}, True, str(package / lyrx._FILE_NAMES[0])),
                                ({"LYRX_LIBRARY": str(self.tmp / "none.so")}, False, "LYRX_LIBRARY=")]:
            run = subprocess.run([sys.executable, "-c", code], env=dict(env, PYTHONPATH=str(package.parent), **extra),
                                 capture_output=True, text=True)
            self.assertEqual(run.returncode == 0, ok, run.stderr)
            self.assertIn(want, run.stdout + run.stderr)


if __name__ == "__main__":
    unittest.main()
