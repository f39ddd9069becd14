#!/usr/bin/env python3
"""Deterministic LRC inputs for the peer comparison, used when the benchmark
suite's own workload writer is not built. Same names and shapes as its files.

usage: gen_inputs.py OUTDIR [NAME ...]   (all four files when no NAME is given)
"""
import os
import sys

WORDS = ("love night heart light away dream fire rain time never home road "
         "sky falling tonight hold on we you me the a of in my your is and "
         "stay run shadow morning river wild gold song remember forever").split()

HEADER = "[ti:Benchmark Song]\n[ar:Some Band]\n[al:Generated Album]\n[by:lyrx peers]\n[offset:+120]\n"
SONG_LINES = 60
MIB = 1 << 20


class Lcg:
    """A tiny generator of its own, so every Python gives the same bytes."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF

    def next(self, bound):
        self.state = (self.state * 1664525 + 1013904223) & 0xFFFFFFFF
        return (self.state >> 8) % bound


def stamp(cs):
    return "[%02d:%02d.%02d]" % (cs // 6000, cs // 100 % 60, cs % 100)


def song(seed):
    """One song of about 3.5 KB: the header, 60 timed lines of which two are
    empty (instrumental breaks) and four carry a second, later time tag (a
    repeated chorus line). Every time in a song is distinct."""
    rng = Lcg(seed)
    out = [HEADER]
    t = 1000 + rng.next(500)
    times = []
    for _ in range(SONG_LINES):
        times.append(t)
        t += 250 + rng.next(200)
    end = t
    for i, cs in enumerate(times):
        tags = stamp(cs)
        if i % 15 == 4:  # the chorus comes back after the last line
            tags += stamp(end + i * 7 + 1)
        if i in (20, 41):
            text = ""
        else:
            n = 7 + rng.next(6)
            text = " ".join(WORDS[rng.next(len(WORDS))] for _ in range(n))
            text = text[0].upper() + text[1:]
        out.append(tags + text + "\n")
    return "".join(out)


def typical_lf():
    return song(1)


def typical_crlf():
    return typical_lf().replace("\n", "\r\n")


def songs_64mib():
    """Different songs one after another up to 64 MiB, as files joined end to
    end: each has the same header and its own timeline from zero, so times
    repeat across songs (the texts differ)."""
    parts, size, seed = [], 0, 1
    while True:
        text = song(seed)
        if size + len(text) > 64 * MIB:
            break
        parts.append(text)
        size += len(text)
        seed += 1
    return "".join(parts)


def tags_1m_one_line():
    """One line of 1,000,000 distinct time tags, then its text."""
    return "".join(stamp(i) for i in range(1_000_000)) + "One line for a million times\n"


FILES = {
    "typical_lf.lrc": typical_lf,
    "typical_crlf.lrc": typical_crlf,
    "songs_64mib.lrc": songs_64mib,
    "tags_1m_one_line.lrc": tags_1m_one_line,
}


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    outdir, names = argv[1], argv[2:] or list(FILES)
    os.makedirs(outdir, exist_ok=True)
    for name in names:
        if name not in FILES:
            print("gen_inputs: unknown file %s" % name, file=sys.stderr)
            return 2
        with open(os.path.join(outdir, name), "w", encoding="ascii", newline="") as f:
            f.write(FILES[name]())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
