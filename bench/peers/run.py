#!/usr/bin/env python3
"""lyrx against other LRC parsers on the same inputs; `make peers` runs it.

Each contender parses each input in its own process, time-boxed, several
times; the medians go to bench/peers/results.md and docs/peers.svg, the raw
reports to BUILD/peers/results.json.

usage: run.py [--build DIR] [--runs N] [--budget S] [--timeout S]
              [--only NAME,...] [--no-chart] [--report-only]
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
WORKLOADS = ["typical_lf.lrc", "typical_crlf.lrc", "songs_64mib.lrc", "tags_1m_one_line.lrc"]
# Third-party files, read in place when the shared corpus is beside the
# checkout: the longest one, enhanced word times with CRLF, and mixed line
# ends (CRLF and LF) with empty lines.
REAL = ["lrcparser-py__example_credits_ex.lrc", "karaoker__test.lrc", "osdlyrics__lyrics1.lrc"]
CORPUS = os.path.join(ROOT, "..", "shared", "corpus", "real")
JS_PEERS = ["clrc", "lrc-kit", "paroles"]
LOAD_AT_START = 0.0  # other work on a shared machine shows in the figures


def peers_dir():
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(cache, "lyrx", "peers")


def command_output(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return ""


class Contender:
    """kind: "lyrx" (the reference), "variant" (lyrx doing more, unranked),
    "peer" (ranked when its line count is right) or "limit" (memchr)."""

    def __init__(self, key, label, kind, argv):
        self.key, self.label, self.kind, self.argv = key, label, kind, argv


def contenders(build):
    drivers = os.path.join(build, "peers")
    lyrx = os.path.join(drivers, "lyrx_driver")
    ffmpeg = os.path.join(drivers, "ffmpeg_driver")
    js = os.path.join(HERE, "js_driver.js")
    pdir = peers_dir()
    out = [
        Contender("lyrx", "lyrx `lyrx_parse`", "lyrx", lambda f, b: [lyrx, "parse", f, b]),
        Contender("lyrx_json", "lyrx `lyrx_parse` + `lyrx_result_json`", "variant",
                  lambda f, b: [lyrx, "parse_json", f, b]),
        Contender("ffmpeg", "FFmpeg lrc demuxer (libavformat %s)" % command_output(
            ["pkg-config", "--modversion", "libavformat"]), "peer", lambda f, b: [ffmpeg, f, b]),
    ]
    for name in JS_PEERS:
        try:
            with open(os.path.join(pdir, "node_modules", name, "package.json"), encoding="utf-8") as fh:
                version = json.load(fh)["version"]
        except (OSError, ValueError, KeyError):
            version = "?"
        out.append(Contender(name, "%s %s (node)" % (name, version), "peer",
                             lambda f, b, n=name: ["node", js, pdir, n, f, b]))
    out.append(Contender("memchr", "memchr over the bytes (machine limit)", "limit",
                         lambda f, b: [lyrx, "memchr", f, b]))
    return out


def prepare_inputs(build):
    """The benchmark suite's workloads when it is built, else (and for any
    file it does not write) those of gen_inputs.py. Returns [(name, path)]
    and where the workloads came from."""
    outdir = os.path.join(build, "peers", "inputs")
    os.makedirs(outdir, exist_ok=True)
    writer = os.path.join(build, "bench", "lyrx_workloads")
    origin = "bench/peers/gen_inputs.py"
    if os.access(writer, os.X_OK):
        for n in WORKLOADS:  # so that none of ours passes for one of the writer's
            if os.path.exists(os.path.join(outdir, n)):
                os.remove(os.path.join(outdir, n))
        subprocess.run([writer, outdir], check=True, stdout=subprocess.DEVNULL)
        origin = "build-bench/bench/lyrx_workloads"
    generator = os.path.join(HERE, "gen_inputs.py")
    stale = [n for n in WORKLOADS
             if not os.path.exists(os.path.join(outdir, n))
             or (origin != "build-bench/bench/lyrx_workloads"
                 and os.path.getmtime(os.path.join(outdir, n)) < os.path.getmtime(generator))]
    if stale:
        if origin == "build-bench/bench/lyrx_workloads":
            origin += " (%s from bench/peers/gen_inputs.py)" % ", ".join(stale)
        subprocess.run([sys.executable, generator, outdir] + stale, check=True)
    inputs = [(n, os.path.join(outdir, n)) for n in WORKLOADS]
    for n in REAL:
        path = os.path.join(CORPUS, n)
        if os.path.exists(path):
            inputs.append(("real: " + n, os.path.normpath(path)))
    return inputs, origin


def inside_checkout(path):
    """Every file this script writes is in the checkout (the inputs, some of
    them third-party files read in place, must never be written)."""
    real = os.path.realpath(path)
    if os.path.commonpath([real, os.path.realpath(ROOT)]) != os.path.realpath(ROOT):
        raise SystemExit("peers: refusing to write %s, outside the checkout" % path)
    return path


def run_one(argv, timeout):
    try:
        proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"status": "timeout"}
    if proc.returncode != 0:
        return {"status": "failed", "error": (proc.stderr.strip() or "exit %d" % proc.returncode)[-300:]}
    try:
        report = json.loads(proc.stdout.strip().splitlines()[-1])
    except (ValueError, IndexError):
        return {"status": "failed", "error": "no report"}
    report["status"] = "ok"
    return report


def measure(inputs, cands, args):
    results = {}
    for name, path in inputs:
        runs = {c.key: [] for c in cands}
        for r in range(args.runs):
            for c in cands:
                if any(x["status"] != "ok" for x in runs[c.key]):
                    continue  # one time-out or failure settles it
                rep = run_one(c.argv(path, str(args.budget)), args.timeout)
                runs[c.key].append(rep)
                shown = "%.1f MB/s" % (rep["bytes"] * rep["iterations"] / rep["seconds"] / 1e6) \
                    if rep["status"] == "ok" else rep["status"]
                print("peers: %s, run %d/%d, %s: %s" % (name, r + 1, args.runs, c.key, shown),
                      file=sys.stderr, flush=True)
        results[name] = {"path": path, "size": os.path.getsize(path), "runs": runs}
    return results


def summarise(results, cands):
    """Medians per (input, contender), the line check and the ranks."""
    table = {}
    for name, res in results.items():
        rows = {}
        for c in cands:
            reps = res["runs"][c.key]
            bad = [x for x in reps if x["status"] != "ok"]
            if bad or not reps:
                rows[c.key] = {"status": bad[0]["status"] if bad else "failed",
                               "error": bad[0].get("error", "") if bad else "not run"}
                continue
            counts = sorted({x["lines"] for x in reps})
            rows[c.key] = {
                "status": "ok",
                "mbps": statistics.median(x["bytes"] * x["iterations"] / x["seconds"] / 1e6 for x in reps),
                "lines": counts[0] if len(counts) == 1 else counts,
                "rss_mib": statistics.median(x["maxrss_kb"] for x in reps) / 1024,
                "iterations": sum(x["iterations"] for x in reps),
                "distinct_starts": reps[0].get("distinct_starts"),
            }
        ref = rows.get("lyrx", {})
        expected = ref.get("lines") if ref.get("status") == "ok" else None
        for c in cands:
            row = rows[c.key]
            if row["status"] == "ok" and c.kind in ("peer", "variant") and row["lines"] != expected:
                row["status"] = "wrong"
        ranked = sorted((c.key for c in cands if c.kind in ("lyrx", "peer") and rows[c.key]["status"] == "ok"),
                        key=lambda k: -rows[k]["mbps"])
        for i, k in enumerate(ranked):
            rows[k]["rank"] = i + 1
        table[name] = {"size": res["size"], "expected": expected,
                       "distinct": ref.get("distinct_starts"), "rows": rows}
    return table


def fmt_mbps(v):
    return "%.0f" % v if v >= 100 else "%.1f" % v if v >= 1 else "%.3f" % v


def fmt_size(n):
    if n >= 1 << 20:
        return "%.1f MiB" % (n / (1 << 20))
    if n >= 1 << 10:
        return "%.1f KiB" % (n / (1 << 10))
    return "%d B" % n


def fmt_lines(row, expected, kind):
    if row["status"] == "wrong":
        return "**wrong lines** (found %s, expected %s)" % (row["lines"], expected)
    if kind == "limit":
        return "%s LF" % row["lines"]
    return str(row["lines"])


def cell(row, timeout):
    if row["status"] == "timeout":
        return "timed out (%g s)" % timeout
    if row["status"] == "failed":
        return "failed"
    mark = " ✗" if row["status"] == "wrong" else ""
    return fmt_mbps(row["mbps"]) + mark


def lyrx_mbps(rows):
    r = rows.get("lyrx", {})
    return r["mbps"] if r.get("status") == "ok" else None


def reasons(name, path, entry, cands):
    """Why a contender's count differs, from what is known of it."""
    with open(path, "rb") as fh:
        data = fh.read()
    has_cr = b"\r" in data
    out = []
    for c in cands:
        row = entry["rows"][c.key]
        expected, distinct = entry["expected"], entry["distinct"]
        if row["status"] == "timeout":
            why = "not explained here"
            if c.key == "paroles" and distinct is not None and expected is not None and distinct < expected:
                why = ("paroles joins the lines of one start time by taking each out of its array "
                       "in turn (`splice` inside `forEach`), which costs time that grows with the "
                       "square of the lines; this input has %d lines at %d distinct times" % (expected, distinct))
            elif c.key == "ffmpeg" and expected and expected > 100 * (data.count(b"\n") + 1):
                why = ("FFmpeg's time on a line grows with the square of the number of time tags "
                       "on it, and this input has %d tags on %d line(s)" % (expected, data.count(b"\n") or 1))
            out.append("- %s, %s: timed out — %s." % (name, c.label, why))
            continue
        if row["status"] != "wrong":
            continue
        found = row["lines"]
        why = "not explained here; compare its output with lyrx's"
        if c.key == "clrc" and has_cr:
            why = ("a fault, not a convention: clrc cuts lines at LF only, and its line pattern "
                   "`(.*)$` cannot take the CR left at the end of each line, so every line that "
                   "ends in CR is dropped")
        elif c.key == "paroles" and distinct is not None and distinct < expected and found < expected:
            why = ("a convention: paroles joins lines that share a start time into one line "
                   "(its default `resolveConflict: 'merge'`); this input has %d lines at %d "
                   "distinct times" % (expected, distinct))
        elif c.key == "ffmpeg" and distinct is not None and distinct <= found < expected:
            why = "a convention: FFmpeg drops a line whose time and text repeat an earlier one"
        out.append("- %s, %s: found %s, expected %s — %s." % (name, c.label, found, expected, why))
    return out


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    osname = platform.system()
    try:
        with open("/etc/os-release", encoding="utf-8") as fh:
            for line in fh:
                if line.startswith("PRETTY_NAME="):
                    osname = line.split("=", 1)[1].strip().strip('"')
    except OSError:
        pass
    return "%s, %d cores, %s (kernel %s); load average %.1f when the run began" % (
        cpu, os.cpu_count() or 0, osname, platform.release(), LOAD_AT_START)


def run_facts(origin, args):
    """What the report says about the run, taken when it begins."""
    commit = command_output(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"])
    if command_output(["git", "-C", ROOT, "status", "--porcelain", "--", "src", "include"]):
        commit += " with local changes"
    cc = command_output(["cc", "--version"]).splitlines()
    return {"date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d"),
            "machine": machine(), "commit": commit, "cc": cc[0] if cc else "cc",
            "node": command_output(["node", "--version"]), "origin": origin,
            "budget": args.budget, "runs": args.runs, "timeout": args.timeout}


def write_markdown(out_path, table, cands, inputs, facts):
    L = ["# lyrx and other LRC parsers", "",
         "Written by `make peers` (bench/peers/run.py) on %s; not edited by hand." % facts["date"], "",
         "- Machine: %s." % facts["machine"],
         "- lyrx: commit %s, Release build, C driver over `include/lyrx.h`; %s; node %s." % (
             facts["commit"], facts["cc"], facts["node"]),
         "- Inputs: %s; the `real:` files are read in place from `../shared/corpus/real` "
         "(third-party, not in this repository)." % facts["origin"],
         "- Method: each contender parses the file held in memory, in a process of its own, "
         "over and over for %g s after a warm-up of a quarter of that (inputs of 16 MiB or "
         "more: no warm-up, and at least one pass). The figures are the medians of %d processes; "
         "a process that runs past %g s is stopped and the contender marked as timed out. "
         "MB/s is 10^6 input bytes per second. Peak RSS is the process's maximum resident set "
         "(`getrusage`, node's `process.resourceUsage()`): it includes the runtime (about 40 MiB "
         "for node, 25 MiB for libavformat) and the input held in memory. The JavaScript "
         "parsers are handed the text already decoded to a string; the decoding is not timed." % (
             facts["budget"], facts["runs"], facts["timeout"]),
         "- Lines: lyrx's `lyrx_line_count()` is the reference (one line per time tag, lines "
         "with empty text kept). A peer that finds another number is marked ✗ / **wrong lines** "
         "and not ranked for that input; the reasons, and those of time-outs, are under the tables.", ""]
    names = [n for n, _ in inputs]
    L += ["## MB/s (higher is better)", "",
          "| contender | " + " | ".join(n.replace("real: ", "") for n in names) + " |",
          "|---|" + "---:|" * len(names)]
    for c in cands:
        L.append("| %s | %s |" % (c.label, " | ".join(cell(table[n]["rows"][c.key], facts["timeout"]) for n in names)))
    L += ["", "✗: wrong number of lines, not ranked.", ""]
    for name, _ in inputs:
        e = table[name]
        base = lyrx_mbps(e["rows"])
        L += ["## %s" % name, "",
              "%s, %s lines expected." % (fmt_size(e["size"]), e["expected"] if e["expected"] is not None else "no reference:"), "",
              "| rank | contender | MB/s | vs lyrx | lines found | peak RSS (MiB) |",
              "|---:|---|---:|---:|---|---:|"]
        for c in cands:
            row = e["rows"][c.key]
            if row["status"] in ("timeout", "failed"):
                what = "timed out (over %g s)" % facts["timeout"] if row["status"] == "timeout" else \
                    "failed: %s" % row.get("error", "").replace("|", "/").replace("\n", " ")
                L.append("| – | %s | %s | – | – | – |" % (c.label, what))
                continue
            rank = str(row["rank"]) if "rank" in row else ("limit" if c.kind == "limit" else "–")
            ratio = "%.2f×" % (row["mbps"] / base) if base else "–"
            L.append("| %s | %s | %s | %s | %s | %.1f |" % (
                rank, c.label, fmt_mbps(row["mbps"]), ratio, fmt_lines(row, e["expected"], c.kind), row["rss_mib"]))
        L.append("")
    notes = []
    for name, input_path in inputs:
        notes += reasons(name, input_path, table[name], cands)
    L += ["## Why counts differ or runs time out", ""] + (notes or ["Every contender found lyrx's count on every input, in time."])
    L += ["", "## The contenders", "",
          "- FFmpeg's `lrc` demuxer (Debian's libavformat) is fed from memory through a custom "
          "`AVIOContext` with the format forced; one packet is one timed line. It reads the whole "
          "file when the input is opened. Its time on one line grows with the square of the "
          "number of time tags on it (while this comparison was written: 0.13 s for 30,000 tags, "
          "1.35 s for 100,000).",
          "- clrc, lrc-kit and paroles are the JavaScript LRC parsers with the most downloads a "
          "month in the npm registry that turn LRC text into timed lines (paroles about 18,600, "
          "clrc 1,400, lrc-kit 1,200; the next, lrc-file-parser, about 800). "
          "Lines are counted as each documents its result: clrc's `parse()` entries of type "
          "`lyric`, lrc-kit's `Lrc.parse().lyrics`, paroles' `new Lyrics(text).lines`. Their "
          "versions are pinned in `bench/peers/package.json` and its lock file.",
          "- Conventions that can change a count: paroles joins lines that share a start time; "
          "FFmpeg drops a line whose time and text repeat an earlier one (two `[00:01.00]a` lines give one packet); lrc-kit trims each line, "
          "so it takes a line that starts with spaces, which lyrx skips as bare text; clrc accepts "
          "only two-digit seconds with two or three fraction digits.", ""]
    with open(inside_checkout(out_path), "w", encoding="utf-8") as fh:
        fh.write("\n".join(L))


def write_chart(out_path, table, cands, inputs, facts):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    matplotlib.rcParams["svg.hashsalt"] = "lyrx-peers"
    matplotlib.rcParams["font.size"] = 9
    names = [n for n, _ in inputs]
    colors = {"lyrx": "#1f5fa8", "lyrx_json": "#6d9fd6", "ffmpeg": "#2e8b57", "clrc": "#d08a1e",
              "lrc-kit": "#b5473a", "paroles": "#7b5aa6", "memchr": "#8c8c8c"}
    width = 0.8 / len(cands)
    fig, ax = plt.subplots(figsize=(11, 4.8))
    values = [r["mbps"] for e in table.values() for r in e["rows"].values() if r["status"] in ("ok", "wrong")]
    floor = min(values) / 3 if values else 0.1
    for j, c in enumerate(cands):
        for i, n in enumerate(names):
            row = table[n]["rows"][c.key]
            x = i - 0.4 + width * (j + 0.5)
            if row["status"] in ("timeout", "failed"):
                ax.text(x, floor * 1.15, "timed out" if row["status"] == "timeout" else "failed",
                        rotation=90, ha="center", va="bottom", fontsize=7, color="#444444")
                continue
            wrong = row["status"] == "wrong"
            ax.bar(x, row["mbps"], width * 0.92,
                   color="#d9d9d9" if wrong else colors.get(c.key, "#999999"),
                   edgecolor=colors.get(c.key, "#999999"), hatch="///" if wrong else None, linewidth=0.8)
    ax.set_yscale("log")
    ax.set_ylim(bottom=floor)
    ax.set_xticks(range(len(names)))
    ax.set_xticklabels([n.replace(".lrc", "") if not n.startswith("real: ")
                        else n[6:].replace(".lrc", "").replace("__", ":\n") for n in names], fontsize=8)
    ax.set_ylabel("MB/s (log scale, higher is better)")
    ax.set_title("LRC parsing throughput, median of %d processes" % facts["runs"])
    ax.grid(axis="y", which="major", color="#e0e0e0", linewidth=0.6)
    ax.set_axisbelow(True)
    handles = [Patch(facecolor=colors.get(c.key, "#999999"), label=c.label.replace("`", "")) for c in cands]
    handles.append(Patch(facecolor="#d9d9d9", edgecolor="#666666", hatch="///", label="wrong line count (not ranked)"))
    ax.legend(handles=handles, fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=3, frameon=False)
    fig.tight_layout()
    os.makedirs(os.path.dirname(inside_checkout(out_path)), exist_ok=True)
    fig.savefig(inside_checkout(out_path), format="svg", metadata={"Date": None})
    plt.close(fig)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default=os.path.join(ROOT, "build-bench"))
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--budget", type=float, default=1.0, help="seconds of timed passes per process")
    ap.add_argument("--timeout", type=float, default=60.0, help="seconds before a process counts as timed out")
    ap.add_argument("--only", default="", help="comma-separated input names (a quick look; no files written)")
    ap.add_argument("--no-chart", action="store_true")
    ap.add_argument("--report-only", action="store_true",
                    help="write the report and chart again from the last run's raw results")
    args = ap.parse_args()

    raw = os.path.join(args.build, "peers", "results.json")
    if args.report_only:
        with open(raw, encoding="utf-8") as fh:
            saved = json.load(fh)
        facts, table, inputs = saved["facts"], saved["table"], [tuple(x) for x in saved["inputs"]]
        cands = contenders(args.build)
        for c in cands:
            c.label = saved["labels"].get(c.key, c.label)
    else:
        global LOAD_AT_START
        LOAD_AT_START = os.getloadavg()[0]
        cands = contenders(args.build)
        inputs, origin = prepare_inputs(args.build)
        if args.only:
            keep = set(args.only.split(","))
            inputs = [(n, p) for n, p in inputs if n in keep or n.replace("real: ", "") in keep]
        facts = run_facts(origin, args)
        results = measure(inputs, cands, args)
        table = summarise(results, cands)
        with open(inside_checkout(raw), "w", encoding="utf-8") as fh:
            json.dump({"facts": facts, "inputs": inputs, "labels": {c.key: c.label for c in cands},
                       "only": bool(args.only), "results": results, "table": table}, fh, indent=1)
    if args.only or (args.report_only and saved.get("only")):
        md = os.path.join(args.build, "peers", "results.md")
        svg = os.path.join(args.build, "peers", "peers.svg")
    else:
        md = os.path.join(HERE, "results.md")
        svg = os.path.join(ROOT, "docs", "peers.svg")
    write_markdown(md, table, cands, inputs, facts)
    if not args.no_chart:
        write_chart(svg, table, cands, inputs, facts)
    print("peers: wrote %s%s (raw reports in %s)" % (
        os.path.relpath(md, ROOT), "" if args.no_chart else " and " + os.path.relpath(svg, ROOT),
        os.path.relpath(raw, ROOT)), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
