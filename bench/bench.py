#!/usr/bin/env python3
"""Packaging benchmark: the tool's real packaging path against its peers.

Started by bench/run.sh, which builds the programs first. Generates its inputs
deterministically in a temporary folder, runs the tool (through
packagingdriver, which drives the real MainWindow headless) and the peers on
the same bytes, prints one table and a PASS/FAIL line per target, and writes
results.md and memory-curve.png into the output folder.

The tool is timed packing the mixed input from plain files, then merging the
package it wrote as the only (combined) item of a second run into another
folder: the same items, once deflated and once copied as they are stored.
Packing is also cancelled at a few moments, timing how long the run takes to
end after the user confirms.

The exit status is non-zero only when a run of the tool itself fails (wrong
result box, crash, missing or malformed archive); timings never fail it.
"""

import argparse
import datetime
import itertools
import json
import os
import platform
import random
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
import zlib

CORES = os.cpu_count() or 1
MiB = 1 << 20
GiB = 1 << 30
SEED = 20240607
CHUNK = 8 * MiB
MANIFEST = "upgrade_package_config.json"
TYPE_KEYS = ["hmi", "dravo", "robot_configuration", "3d_model", "logo", "servo", "language"]
COMBINED_TYPE = 7

# The mixed input: about 30 % random bytes, 27 % an already-compressed ZIP and
# 43 % text, spread over six item types.
MIXED_ITEMS = [  # (type index, file name, kind, share)
    (0, "hmi_update.bin", "random", 0.15),
    (1, "controller_update.bin", "random", 0.15),
    (2, "robot_configuration.txt", "text", 0.21),
    (3, "model_assets.zip", "zip", 0.27),
    (5, "servo_parameters.txt", "text", 0.21),
    (6, "language_pack.txt", "text", 0.01),
]

# Targets, checked and printed; none of them changes the exit status.
PACK_VS_ZLIB = 1.05
PACK_VS_ALL_CORES = 1.10  # × pigz on every core, the parallel zlib-6 limit
SIZE_VS_ONE_STREAM = 1.005  # item entries against one zlib-6 stream per item
MERGE_VS_RAW_COPY = 4.0  # × zip -U, which copies and checks nothing
MERGE_VS_UNZIP_TEST = 0.49  # × unzip -tq, which checks and writes nothing
CANCEL_LIMIT_S = 0.5
CANCEL_AT = (0.2, 0.4, 0.6)  # shares of the packing time
RSS_LIMIT_MIB = 64
RSS_GROWTH_MIB = 8
STALL_LIMIT_S = 0.050
SHOW_LIMIT_S = 0.5
MERGE_VS_PACK = 0.25
# 1-minute load average beyond what the benchmark makes itself: its peers
# (pigz, 7z) keep every core busy.
LOADED_ABOVE = (os.cpu_count() or 1) + 0.5
PROGRESS_POLL_MS = 100  # the window's poll of the worker's byte count
ALL_CORES_PEER = "all-core zlib-6: pigz -p%d -6" % CORES

PY_ZIP = """import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED, compresslevel=6) as z:
    for f in sys.argv[2:]:
        z.write(f, os.path.basename(f))
"""


class ToolFailure(Exception):
    pass


# ---- Inputs -------------------------------------------------------------------


class TextSource:
    """Configuration-like text lines drawn from a Zipf-weighted vocabulary."""

    def __init__(self, rng):
        self.rng = rng
        letters = b"abcdefghijklmnopqrstuvwxyz_"
        words = [bytes(rng.choices(letters, k=rng.randint(2, 10))) for _ in range(6000)]
        weights = list(itertools.accumulate(1.0 / (rank + 1) for rank in range(len(words))))
        self.lines = []
        for _ in range(30000):
            w = rng.choices(words, cum_weights=weights, k=rng.randint(3, 12))
            value = b" ".join(w[2:])
            self.lines.append(b"%s.%s = %d %s\n" % (w[0], w[1], rng.randrange(100000), value))

    def chunk(self, size):
        return b"".join(self.rng.choices(self.lines, k=size // 40 + 1))[:size]


def write_random(path, size, rng):
    with open(path, "wb") as f:
        for offset in range(0, size, CHUNK):
            f.write(rng.randbytes(min(CHUNK, size - offset)))


def write_text(path, size, text):
    with open(path, "wb") as f:
        for offset in range(0, size, CHUNK):
            f.write(text.chunk(min(CHUNK, size - offset)))


def write_zip(path, size, text):
    """A ZIP of text entries deflated at level 1 (fast to make, and data that a
    second deflate pass cannot shrink), grown until it reaches size bytes."""
    entry_size = max(MiB, min(16 * MiB, size // 4))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, compresslevel=1) as z:
        index = 0
        while z.fp.tell() < size:
            with z.open("asset_%03d.txt" % index, "w") as entry:
                for offset in range(0, entry_size, CHUNK):
                    entry.write(text.chunk(min(CHUNK, entry_size - offset)))
            index += 1


def make_mixed_set(folder, total):
    rng = random.Random(SEED)
    text = TextSource(rng)
    items = []
    for type_index, name, kind, share in MIXED_ITEMS:
        path = os.path.join(folder, name)
        size = int(total * share)
        if kind == "random":
            write_random(path, size, rng)
        elif kind == "text":
            write_text(path, size, text)
        else:
            write_zip(path, size, text)
        items.append((type_index, path))
    return items


def one_stream_size(paths):
    """Bytes of one raw zlib level-6 stream per file, as a single-threaded
    writer deflates each item."""
    total = 0
    for path in paths:
        z = zlib.compressobj(6, zlib.DEFLATED, -15)
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(CHUNK), b""):
                total += len(z.compress(chunk))
        total += len(z.flush())
    return total


def make_sparse(path, size):
    with open(path, "wb") as f:
        f.truncate(size)


# ---- Running and measuring -------------------------------------------------------


class Run:
    def __init__(self, seconds, cpu_s, rss_mib, code, stdout, stderr):
        self.seconds, self.cpu_s, self.rss_mib, self.code = seconds, cpu_s, rss_mib, code
        self.stdout, self.stderr = stdout, stderr

    def report(self):
        """The JSON object that packagingdriver prints last."""
        for line in reversed(self.stdout.splitlines()):
            if line.startswith("{"):
                return json.loads(line)
        return {}


def run_measured(bench, cmd, stdout_path=None):
    """Runs cmd in the work folder through timedrun; returns its wall time and peak RSS."""
    work = bench.work
    out_path = stdout_path or os.path.join(work, "stdout.log")
    err_path = os.path.join(work, "stderr.log")
    result_path = os.path.join(work, "timedrun.txt")
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        subprocess.run([bench.timedrun, result_path] + cmd, stdout=out, stderr=err, cwd=work)
    with open(result_path) as f:
        seconds, cpu_s, rss_kib, code = f.read().split()
    with open(err_path, errors="replace") as f:
        stderr = f.read()
    stdout = ""
    if stdout_path is None:
        with open(out_path, errors="replace") as f:
            stdout = f.read()
    return Run(float(seconds), float(cpu_s), int(rss_kib) / 1024.0, int(code), stdout, stderr)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)


def expected_entries(items):
    """Entry names of the tool's archive: items in type-key order, then the manifest."""
    by_key = sorted((TYPE_KEYS[t], os.path.basename(p)) for t, p in items)
    return [name for _, name in by_key] + [MANIFEST]


def entry_facts(archive):
    """What a merge must keep of every entry: name, method, CRC-32 and both sizes."""
    with zipfile.ZipFile(archive) as z:
        return [(i.filename, i.compress_type, i.CRC, i.compress_size, i.file_size)
                for i in z.infolist()]


class Bench:
    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.driver = os.path.join(args.build_dir, "bench", "packagingdriver")
        self.curve_tool = os.path.join(args.build_dir, "bench", "memorycurve")
        self.timedrun = os.path.join(args.build_dir, "bench", "timedrun")
        self.out = os.path.join(work, "out")
        os.makedirs(self.out)
        self.failures = []
        self.gui_runs = []  # (label, driver report) of every GUI run
        self.phase = "start"
        self.loads = [(self.phase, os.getloadavg()[0])]  # sampled at every step

    def log(self, text):
        self.loads.append((self.phase, os.getloadavg()[0]))
        print(text, flush=True)

    def tool_package(self, label, name, items, entries, folder=None, facts=None,
                     cancel_after=None):
        """One GUI packaging run into folder (default: the output folder);
        returns the driver's report. With facts, the archive's entries must
        match them (a merge keeps every entry's CRC-32 and sizes). With
        cancel_after, the run is cancelled that many seconds after the click
        and must end leaving nothing in folder."""
        folder = folder or self.out
        os.makedirs(folder, exist_ok=True)
        archive = os.path.join(folder, name + ".zip")
        remove(archive)
        total = sum(os.path.getsize(p) for _, p in items)
        # A merge may inflate far more than the package holds, to check it.
        scale = total if facts is None else sum(f[4] for f in facts)
        cmd = [self.driver, "package", "--folder", folder, "--name", name,
               "--timeout", str(int(300 + scale / (2 * MiB)))]
        if cancel_after is not None:
            cmd += ["--cancel-after", "%.3f" % cancel_after]
        for type_index, path in items:
            cmd += ["--item", "%d:%s" % (type_index, path)]
        run = run_measured(self, cmd)
        report = run.report()
        problem = None
        if cancel_after is not None:
            if report.get("cancel_too_late"):
                self.log("  the run ended before the cancel at %.2f s took effect" % cancel_after)
                remove(archive)
                return report
            if run.code != 0 or not report.get("ok"):
                problem = "cancel: exit %d, ended at %r s, left %r, box %r %r, error %r" % (
                    run.code, report.get("cancel_stopped_s"), report.get("cancel_left"),
                    report.get("box_title"), report.get("box_text"), report.get("error"))
        elif run.code != 0 or not report.get("ok"):
            problem = "exit %d, box %r %r %r, error %r" % (
                run.code, report.get("box_title"), report.get("box_text"),
                report.get("box_informative"), report.get("error"))
        else:
            with zipfile.ZipFile(archive) as z:
                names = z.namelist()
            if names != entries:
                problem = "archive holds %s, expected %s" % (names, entries)
            elif facts is not None and entry_facts(archive) != facts:
                problem = "entries %s differ from the combined package's %s" % (
                    entry_facts(archive), facts)
        if problem:
            self.log("  tool run %s FAILED: %s\n%s" % (label, problem, run.stderr[-2000:]))
            raise ToolFailure("%s: %s" % (label, problem))
        self.gui_runs.append((label, report))
        return report

    def peer(self, cmd, target, stdout_path=None):
        remove(target)
        if shutil.which(cmd[0]) is None:
            return None
        run = run_measured(self, cmd, stdout_path)
        size = os.path.getsize(target) if os.path.exists(target) else -1
        remove(target)
        if run.code != 0:
            self.log("  peer %s failed (exit %d): %s" % (cmd[0], run.code, run.stderr[-500:]))
            return None
        return {"seconds": run.seconds, "cpu_s": run.cpu_s, "rss_mib": run.rss_mib, "bytes": size}

    # ---- the measurements ----

    def packaging(self, items):
        files = [p for _, p in items]
        entries = expected_entries(items)
        peer_out = os.path.join(self.work, "peer")
        os.makedirs(peer_out)
        peers = {
            "zip -q -j -6": lambda: self.peer(
                ["zip", "-q", "-j", "-6", peer_out + "/p.zip"] + files, peer_out + "/p.zip"),
            "python3 zipfile (deflate 6)": lambda: self.peer(
                [sys.executable, "-c", PY_ZIP, peer_out + "/p.zip"] + files, peer_out + "/p.zip"),
            "7z a -tzip -mmt=1": lambda: self.peer(
                ["7z", "a", "-tzip", "-mmt=1", "-bd", peer_out + "/p.zip"] + files,
                peer_out + "/p.zip"),
            # One deflate stream per file, as the ZIP has one per entry, plus CRC-32.
            "zlib-6 floor: pigz -p1 -6": lambda: self.peer(
                ["pigz", "-p1", "-6", "-c"] + files, peer_out + "/p.gz", peer_out + "/p.gz"),
            # The same on every core: the limit of parallel zlib-6.
            ALL_CORES_PEER: lambda: self.peer(
                ["pigz", "-p%d" % CORES, "-6", "-c"] + files, peer_out + "/p.gz",
                peer_out + "/p.gz"),
            "7z a -tzip -mmt=%d" % CORES: lambda: self.peer(
                ["7z", "a", "-tzip", "-mmt=%d" % CORES, "-bd", peer_out + "/p.zip"] + files,
                peer_out + "/p.zip"),
        }
        tool, results = [], {name: [] for name in peers}
        for rep in range(self.args.repeat):
            self.log("  round %d/%d: tool" % (rep + 1, self.args.repeat))
            tool.append(self.tool_package("mixed", "package", items, entries))
            for name, run in peers.items():
                self.log("  round %d/%d: %s" % (rep + 1, self.args.repeat, name))
                result = run()
                if result:
                    results[name].append(result)
        return tool, results

    def merge(self, archive, items):
        """The tool's own package as the only, combined, item of a GUI run into
        another folder; beside it the core's merge alone and two peers: a raw
        copy with no check, and a CRC check with no copy."""
        entries = expected_entries(items)
        facts = entry_facts(archive)
        merged_out = os.path.join(self.work, "merged")
        core_target = os.path.join(self.work, "core-merged", "merged.zip")
        peer_out = os.path.join(self.work, "merge-peer")
        os.makedirs(peer_out, exist_ok=True)
        peers = {
            "zip -U --out (raw copy, no CRC check)": lambda: self.peer(
                ["zip", "-q", archive, "*", "-U", "--out", peer_out + "/p.zip"],
                peer_out + "/p.zip"),
            "unzip -tq (CRC check, nothing written)": lambda: self.peer(
                ["unzip", "-tq", archive], peer_out + "/none"),
        }
        gui, core, results = [], [], {name: [] for name in peers}
        for rep in range(self.args.repeat):
            self.log("  round %d/%d: tool GUI run with the package as combined item"
                     % (rep + 1, self.args.repeat))
            gui.append(self.tool_package("merge", "merged", [(COMBINED_TYPE, archive)], entries,
                                         folder=merged_out, facts=facts))
            remove(merged_out)
            self.log("  round %d/%d: core merge alone" % (rep + 1, self.args.repeat))
            remove(os.path.dirname(core_target))
            run = run_measured(self, [self.driver, "merge", "--archive", archive,
                                      "--output", core_target])
            report = run.report()
            ok = run.code == 0 and report.get("ok") and os.path.isfile(core_target)
            if ok and entry_facts(core_target) != facts:
                ok = False
            remove(os.path.dirname(core_target))
            if not ok:
                raise ToolFailure("the core's merge of the tool's package failed: exit %d %s %s"
                                  % (run.code, report, run.stderr[-500:]))
            core.append({"seconds": report["seconds"], "cpu_s": report["cpu_s"],
                         "rss_mib": report["peak_rss_mib"], "screen_s": report["screen_s"]})
            for name, peer in peers.items():
                self.log("  round %d/%d: %s" % (rep + 1, self.args.repeat, name))
                result = peer()
                if result:
                    results[name].append(result)
        return gui, core, results

    def cancel(self, items, pack_seconds):
        """Packing the mixed set, cancelled at a few moments of the run: how
        long the run takes to end once the user has confirmed."""
        entries = expected_entries(items)
        folder = os.path.join(self.work, "cancelled")
        reports = []
        for share in CANCEL_AT:
            at = max(0.2, share * pack_seconds)
            self.log("  cancel at %.2f s" % at)
            remove(folder)
            report = self.tool_package("cancel at %.2f s" % at, "cancelled", items, entries,
                                       folder=folder, cancel_after=at)
            if not report.get("cancel_too_late"):
                reports.append(report)
        remove(folder)
        return reports

    def ladder(self):
        """Packs a sparse file of each size, then merges that package into
        another folder: peak memory of both runs against the content's size."""
        points = []
        path = os.path.join(self.work, "ladder_image.bin")
        archive = os.path.join(self.out, "ladder.zip")
        merged_out = os.path.join(self.work, "merged")
        entries = ["ladder_image.bin", MANIFEST]
        for size in self.args.ladder:
            self.log("  %s (sparse): pack, then merge" % size_label(size))
            make_sparse(path, size)
            report = self.tool_package("ladder %s" % size_label(size), "ladder",
                                       [(0, path)], entries)
            remove(path)
            merged = self.tool_package("ladder merge %s" % size_label(size), "merged",
                                       [(COMBINED_TYPE, archive)], entries, folder=merged_out,
                                       facts=entry_facts(archive))
            remove(merged_out)
            remove(archive)
            points.append((size, report, merged))
        return points


# ---- Reporting -----------------------------------------------------------------


def size_label(size):
    return "%g GiB" % (size / GiB) if size >= GiB else "%g MiB" % (size / MiB)


def best(runs):
    """Best-of-N wall and CPU time (the least disturbed run) and the highest peak RSS."""
    if not runs:
        return None
    cpu = [r["cpu_s"] for r in runs if r.get("cpu_s") is not None]
    return {"seconds": min(r["seconds"] for r in runs), "cpu_s": min(cpu) if cpu else None,
            "rss_mib": max(r["rss_mib"] for r in runs)}


def machine_info():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem = int(f.readline().split()[1]) / (1024 * 1024)
    return "%d cores, %s, %.0f GiB RAM, Linux %s, zlib %s" % (
        os.cpu_count(), model, mem, platform.release(), zlib.ZLIB_RUNTIME_VERSION)


def revision(root):
    try:
        rev = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"],
                             capture_output=True, text=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True).stdout.strip()
        return rev + (" (src/ modified)" if dirty else "")
    except OSError:
        return "unknown"


def table(rows, reference):
    lines = ["| Run | Seconds | CPU s | MiB/s | Peak RSS MiB | × tool time |",
             "|---|---:|---:|---:|---:|---:|"]
    for name, result, size in rows:
        if result is None:
            lines.append("| %s | n/a | | | | |" % name)
            continue
        ratio = "%.2f" % (result["seconds"] / reference["seconds"]) if reference else "n/a"
        cpu = "%.2f" % result["cpu_s"] if result["cpu_s"] is not None else ""
        lines.append("| %s | %.2f | %s | %.1f | %.1f | %s |" % (
            name, result["seconds"], cpu, size / MiB / result["seconds"], result["rss_mib"], ratio))
    return lines


def tool_best(reports):
    return best([{"seconds": r["archive_s"], "cpu_s": r["run_cpu_s"], "rss_mib": r["peak_rss_mib"]}
                 for r in reports])


def measure(bench, args, scale):
    """Runs every phase; a failed tool run ends its phase, not the benchmark."""
    m = {}

    def phase(title, body):
        print("== " + title, flush=True)
        bench.phase = title.split()[0]
        try:
            return body()
        except ToolFailure as failure:
            bench.failures.append(str(failure))
            return None

    t = time.perf_counter()
    print("== inputs: %s mixed set in %s" % (size_label(scale), bench.work), flush=True)
    items = make_mixed_set(bench.work, scale)
    m["total"] = total = sum(os.path.getsize(p) for _, p in items)
    print("  generated %.0f MiB in %.1f s" % (total / MiB, time.perf_counter() - t), flush=True)
    shares = {}
    for (_, _, kind, _), (_, path) in zip(MIXED_ITEMS, items):
        shares[kind] = shares.get(kind, 0) + os.path.getsize(path)
    m["mix"] = ", ".join("%s %.0f %%" % (k, 100 * v / total) for k, v in shares.items())
    m["files"] = len(items)

    packed = phase("packaging the mixed set", lambda: bench.packaging(items))
    archive = os.path.join(bench.out, "package.zip")
    if packed:
        m["pack_runs"], m["peers"] = packed
        m["archive_size"] = os.path.getsize(archive)
        with zipfile.ZipFile(archive) as z:
            m["entries_comp"] = sum(i.compress_size for i in z.infolist()
                                    if i.filename != MANIFEST)
        t = time.perf_counter()
        m["one_stream"] = one_stream_size([p for _, p in items])
        print("  one zlib-6 stream per item: %.1f MiB (%.1f s)"
              % (m["one_stream"] / MiB, time.perf_counter() - t), flush=True)
        merged = phase("merging the tool's package (%.0f MiB) as a combined item"
                       % (m["archive_size"] / MiB), lambda: bench.merge(archive, items))
        if merged:
            m["merge_runs"], m["merge_core"], m["merge_peers"] = merged
        pack_seconds = min(r["archive_s"] for r in m["pack_runs"])
        m["cancel_runs"] = phase("cancelling the packing of the mixed set",
                                 lambda: bench.cancel(items, pack_seconds))
    for _, path in items:
        remove(path)
    remove(archive)
    m["ladder"] = phase("memory ladder", bench.ladder)
    return m


def report_lines(m, args, phase_loads):
    """The tables and the target verdicts for whatever was measured; a timing
    verdict names the load average of its phase when other work shared the
    cores then."""
    lines, verdicts = [], []
    total = m["total"]
    pack = tool_best(m.get("pack_runs", []))
    lines += ["Mixed input %.0f MiB in %d files (%s); the tool's package %s. "
              "Best of %d rounds; peak RSS is the highest seen." % (
                  total / MiB, m["files"], m["mix"],
                  "%.0f MiB" % (m["archive_size"] / MiB) if "archive_size" in m else "n/a",
                  args.repeat), ""]
    peers = {name: best(runs) for name, runs in m.get("peers", {}).items()}
    lines += table([("tool: GUI run, click → archive in place", pack, total)]
                   + [(name, result, total) for name, result in peers.items()], pack)
    if pack:
        lines += ["", "Tool times run from the click on 开始打包 until the archive is in place; "
                  "the success box follows 500 ms later by design (click → box %.2f s)."
                  % min(r["box_s"] for r in m["pack_runs"])]
    if "one_stream" in m:
        lines += ["", "Compressed size of the package's item entries: %d bytes; one zlib level-6 "
                  "stream per item (python3 zlib, the same library, its default memory level 8; libzip "
                  "deflates with 9): %d bytes (%.4f ×)."
                  % (m["entries_comp"], m["one_stream"], m["entries_comp"] / m["one_stream"])]

    merge = tool_best(m.get("merge_runs", []))
    core = best(m.get("merge_core", []))
    merge_peers = {name: best(runs) for name, runs in m.get("merge_peers", {}).items()}
    if merge:
        lines += ["", "Merging: the tool's package above as the only item (type 组合包) of a "
                  "second GUI run into another folder, so the same items are copied from the "
                  "package as they are stored, their CRC-32 and sizes checked on the way, "
                  "instead of deflated from the plain files. MiB/s are of the mixed input's "
                  "%.0f MiB; × is against the GUI packing run above." % (total / MiB), ""]
        rows = [("tool: GUI merge run, click → archive in place", merge, total)]
        if core:
            rows.append(("tool core alone: screen + merge + write (no window)", core, total))
        rows += [(name, result, total) for name, result in merge_peers.items()]
        lines += table(rows, pack)
        lines += ["", "Every merged archive holds the package's entries with the same method, "
                  "CRC-32 and sizes. Screening the package took %.1f ms in the core run; in the "
                  "GUI run the progress label named the first item %.2f s after the click (the "
                  "window polls every %d ms)." % (
                      min(r["screen_s"] for r in m["merge_core"]) * 1000 if core else -1,
                      min([r["first_item_s"] for r in m["merge_runs"]
                           if r["first_item_s"] >= 0] or [-1]), PROGRESS_POLL_MS)]

    cancels = m.get("cancel_runs") or []
    if cancels:
        lines += ["", "Cancel: packing the mixed input, 取消 pressed at a share of the packing "
                  "time, 是 answered in the question; the time from 是 until the form is "
                  "unlocked again (the run has ended; the window is sampled every 10 ms). Each "
                  "run left no archive and no temporary file.", ""]
        lines += ["- 取消 at %.2f s, 是 at %.2f s, ended %.3f s later" % (
            r["cancel_pressed_s"], r["cancel_confirmed_s"], r["cancel_s"]) for r in cancels]

    if m["gui_runs"]:
        lines += ["", "Longest GUI-thread stalls per run, measured with progress reporting on "
                  "(the window sets the progress dialog from the worker's byte count every "
                  "%d ms): ms, from s after the click, ms of them the GUI thread spent on the "
                  "CPU (busy) and ms it was runnable but queued for a core that other threads or "
                  "processes had (queued; the rest it slept: its 10 ms timer, or a blocking "
                  "call); then how often the dialog's value was seen to change, and its last "
                  "value." % PROGRESS_POLL_MS]
        lines += ["- %s: %s; %s; progress changed %d times, up to %d" % (
            label, ", ".join("%.0f from %.2f busy %.0f queued %.0f" % (
                gap * 1000, at, busy * 1000, queued * 1000) for gap, at, busy, queued
                in r["stalls"]),
            "ended at %.2f s" % r["cancel_stopped_s"] if "cancel_s" in r
            else "archive in place at %.2f s" % r["archive_s"],
            r["progress_changes"], r["progress_last"])
            for label, r in m["gui_runs"]]
    ladder = m.get("ladder") or []
    if ladder:
        lines += ["", "Memory ladder: a sparse file of each size packed, then that package merged "
                  "into another folder (its entry copied as stored, and inflated once to check "
                  "it).", "",
                  "| Ladder input | Pack s | Pack MiB/s | Pack peak RSS MiB | RSS before run MiB "
                  "| Merge s | Merge peak RSS MiB | Longest GUI stall ms |",
                  "|---|---:|---:|---:|---:|---:|---:|---:|"]
        for size, r, mr in ladder:
            lines.append("| %s (sparse) | %.2f | %.0f | %.1f | %.1f | %.2f | %.1f | %.0f |" % (
                size_label(size), r["archive_s"], size / MiB / r["archive_s"],
                r["peak_rss_mib"], r["baseline_rss_mib"], mr["archive_s"], mr["peak_rss_mib"],
                max(r["max_stall_s"], mr["max_stall_s"]) * 1000))

    def check(ok, text, phase=None):
        loads = phase_loads.get(phase) or [] if phase != "all" else sum(phase_loads.values(), [])
        if loads and max(loads) > LOADED_ABOVE:
            text += " [load average up to %.1f meanwhile: other work shared the cores]" % max(loads)
        verdicts.append(("PASS " if ok else "FAIL ") + text)

    floor = peers.get("zlib-6 floor: pigz -p1 -6")
    if pack and floor:
        ratio = pack["seconds"] / floor["seconds"]
        check(ratio <= PACK_VS_ZLIB,
              "packaging %.2f s = %.2f × the zlib-6 floor %.2f s (target ≤ %.2f ×; CPU time %.2f ×)"
              % (pack["seconds"], ratio, floor["seconds"], PACK_VS_ZLIB,
                 pack["cpu_s"] / floor["cpu_s"]), "packaging")
    all_cores = peers.get(ALL_CORES_PEER)
    if pack and all_cores:
        ratio = pack["seconds"] / all_cores["seconds"]
        check(ratio <= PACK_VS_ALL_CORES,
              "packaging %.2f s = %.2f × pigz -p%d -6 %.2f s, zlib-6 on every core (target "
              "≤ %.2f ×)" % (pack["seconds"], ratio, CORES, all_cores["seconds"],
                             PACK_VS_ALL_CORES), "packaging")
    if "one_stream" in m:
        ratio = m["entries_comp"] / m["one_stream"]
        check(ratio <= SIZE_VS_ONE_STREAM,
              "item entries %.1f MiB = %.4f × one zlib-6 stream per item (target ≤ %.3f ×)"
              % (m["entries_comp"] / MiB, ratio, SIZE_VS_ONE_STREAM))
    for peer, limit in (("zip -U --out (raw copy, no CRC check)", MERGE_VS_RAW_COPY),
                        ("unzip -tq (CRC check, nothing written)", MERGE_VS_UNZIP_TEST)):
        if merge and merge_peers.get(peer):
            ratio = merge["seconds"] / merge_peers[peer]["seconds"]
            check(ratio <= limit, "merging %.2f s = %.2f × %s %.2f s (GUI run; target ≤ %.2f ×)"
                  % (merge["seconds"], ratio, peer.split(" (")[0],
                     merge_peers[peer]["seconds"], limit), "merging")
    if pack and merge:
        ratio = merge["seconds"] / pack["seconds"]
        check(ratio <= MERGE_VS_PACK,
              "merging %.2f s = %.2f × packing the same items from plain files %.2f s "
              "(GUI runs, one benchmark; target ≤ %.2f ×; CPU time %.2f ×)"
              % (merge["seconds"], ratio, pack["seconds"], MERGE_VS_PACK,
                 merge["cpu_s"] / pack["cpu_s"]), "merging")
    if ladder:
        peaks = [r["peak_rss_mib"] for _, r, _ in ladder]
        sizes = "/".join(size_label(size) for size, _, _ in ladder)
        others = "".join(", %s run %.1f MiB" % (name, r["rss_mib"])
                         for name, r in (("mixed", pack), ("merge", merge)) if r)
        check(max(peaks) <= RSS_LIMIT_MIB, "peak RSS at most %.1f MiB over the ladder %s "
              "(target ≤ %d MiB%s)" % (max(peaks), sizes, RSS_LIMIT_MIB, others))
        check(peaks[-1] - peaks[0] < RSS_GROWTH_MIB,
              "peak RSS grows %.1f MiB from %s to %s input (target < %d MiB)"
              % (peaks[-1] - peaks[0], size_label(ladder[0][0]), size_label(ladder[-1][0]),
                 RSS_GROWTH_MIB))
        merge_peaks = [mr["peak_rss_mib"] for _, _, mr in ladder]
        highest = max(merge_peaks + ([merge["rss_mib"]] if merge else []))
        check(highest <= RSS_LIMIT_MIB and merge_peaks[-1] - merge_peaks[0] < RSS_GROWTH_MIB,
              "merge runs' peak RSS at most %.1f MiB%s, growing %.1f MiB from %s to %s content "
              "(target ≤ %d MiB, growth < %d MiB)"
              % (highest, " (mixed package %.1f MiB)" % merge["rss_mib"] if merge else "",
                 merge_peaks[-1] - merge_peaks[0], size_label(ladder[0][0]),
                 size_label(ladder[-1][0]), RSS_LIMIT_MIB, RSS_GROWTH_MIB))
    if m.get("cancel_runs") == []:
        check(False, "cancel: each run ended before its cancel took effect; nothing measured")
    if cancels:
        slowest = max(cancels, key=lambda r: r["cancel_s"])
        check(slowest["cancel_s"] <= CANCEL_LIMIT_S,
              "cancel: the run ended %.3f s after 是 at worst over %d cancels (at %s s; "
              "target ≤ %.1f s)" % (slowest["cancel_s"], len(cancels), "/".join(
                  "%.2f" % r["cancel_pressed_s"] for r in cancels), CANCEL_LIMIT_S),
              "cancelling")
    runs = m["gui_runs"]
    if runs:
        label, worst = max(runs, key=lambda run: run[1]["max_stall_s"])
        stall = worst["stalls"][0]
        own_label, own = max(((label, r["longest_unqueued_stall"]) for label, r in runs),
                             key=lambda run: run[1][0] - run[1][3])
        check(worst["max_stall_s"] <= STALL_LIMIT_S,
              "longest GUI-thread stall %.0f ms over %d runs with progress reporting on "
              "(%s run, from %.2f s after the click, %s; busy %.0f ms, "
              "queued for a core %.0f ms; target ≤ %.0f ms). Less the time queued for a core, "
              "the longest was %.0f ms (%s run)"
              % (worst["max_stall_s"] * 1000, len(runs), label, worst["max_stall_at_s"],
                 "ended at %.2f s" % worst["cancel_stopped_s"] if "cancel_s" in worst
                 else "archive in place at %.2f s" % worst["archive_s"],
                 stall[2] * 1000, stall[3] * 1000, STALL_LIMIT_S * 1000,
                 (own[0] - own[3]) * 1000, own_label), "all")
        # Progress reporting was really on: every run long enough for a few
        # polls saw the value move, it never went back, and it ended at 99.
        long_runs = [(label, r) for label, r in runs
                     if r["archive_s"] >= 3 * PROGRESS_POLL_MS / 1000]
        silent = [label for label, r in long_runs
                  if r["progress_changes"] < 2 or r["progress_went_back"]
                  or r["progress_last"] != 99]
        check(not silent,
              "progress reported in each of the %d runs of %d ms or more: value seen changing "
              "%d to %d times, never back, ending at 99%s"
              % (len(long_runs), 3 * PROGRESS_POLL_MS,
                 min((r["progress_changes"] for _, r in long_runs), default=0),
                 max((r["progress_changes"] for _, r in long_runs), default=0),
                 "; not in: " + ", ".join(silent) if silent else ""))
        shown = [r["first_paint_s"] if r["first_paint_s"] >= 0 else r["show_returned_s"]
                 for _, r in runs]
        check(max(shown) < SHOW_LIMIT_S,
              "window constructed and shown in %.0f ms at worst, %.0f ms at best (target < %.0f ms)"
              % (max(shown) * 1000, min(shown) * 1000, SHOW_LIMIT_S * 1000))
    return lines, verdicts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small inputs, for CI")
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--scale-mib", type=int, help="size of the mixed input")
    parser.add_argument("--ladder-mib", help="comma-separated ladder sizes in MiB")
    parser.add_argument("--repeat", type=int, help="rounds of each timed run (the best counts)")
    parser.add_argument("--out", help="folder for results.md and memory-curve.png")
    args = parser.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    args.build_dir = os.path.abspath(os.path.join(root, args.build_dir))
    scale = (args.scale_mib or (64 if args.quick else 1024)) * MiB
    ladder = args.ladder_mib or ("16,64" if args.quick else "64,512,4096,8192")
    args.ladder = [int(x) * MiB for x in ladder.split(",")]
    args.repeat = args.repeat or (1 if args.quick else 3)
    out_dir = os.path.abspath(args.out or (os.path.join(args.build_dir, "bench-quick")
                                           if args.quick else os.path.join(root, "bench")))
    os.makedirs(out_dir, exist_ok=True)

    work = tempfile.mkdtemp(prefix="packaging-bench-")
    if shutil.disk_usage(work).free < 4 * scale:
        print("not enough free space in %s for a %s run" % (work, size_label(scale)))
        shutil.rmtree(work)
        return 2
    started = datetime.datetime.now(datetime.timezone.utc)
    load_before = os.getloadavg()[0]
    bench = Bench(args, work)
    try:
        m = measure(bench, args, scale)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    m["gui_runs"] = bench.gui_runs
    load_after = os.getloadavg()[0]
    bench.loads.append(("end", load_after))
    loads = [load for _, load in bench.loads]
    # The benchmark keeps a core or two busy itself; a 1-minute load average
    # well above that means other work shared the cores.
    loaded = max(loads) > LOADED_ABOVE
    by_phase = {}
    for phase_name, load in bench.loads:
        by_phase.setdefault(phase_name, []).append(load)
    lines, verdicts = report_lines(m, args, by_phase)

    options = [a for a, before in zip(sys.argv[1:], [""] + sys.argv[1:])
               if "--build-dir" not in (a, before)]
    header = ["# Packaging benchmark%s" % (" (quick)" if args.quick else ""), "",
              "- Machine: %s" % machine_info(),
              "- Date: %s; took %.0f s; load average (1 min) %.2f before, %.2f after, "
              "%.2f on average and at most %.2f during the run (by phase, mean/most: %s)%s"
              % (started.strftime("%Y-%m-%d %H:%M UTC"),
                 (datetime.datetime.now(datetime.timezone.utc) - started).total_seconds(),
                 load_before, load_after, sum(loads) / len(loads), max(loads),
                 ", ".join("%s %.2f/%.2f" % (name, sum(v) / len(v), max(v))
                           for name, v in by_phase.items() if name not in ("start", "end")),
                 " (the machine was loaded: other work shared its cores, so wall times and "
                 "GUI stalls include waiting for a core; CPU times are the steadier figure)"
                 if loaded else " (the machine was quiet besides the benchmark)"),
              "- Revision: %s" % revision(root),
              "- Command: bash bench/run.sh %s" % " ".join(options), ""]
    failures = ["FAIL tool run: %s" % f for f in bench.failures]
    text = "\n".join(header + lines + [""] + ["    " + v for v in verdicts + failures]) + "\n"
    print()
    print(text, end="")
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write(text)
    written = [os.path.join(out_dir, "results.md")]
    if m.get("ladder"):
        tsv = os.path.join(out_dir, "memory-curve.tsv")
        with open(tsv, "w") as f:
            f.writelines("%d\t%.2f\t%.2f\t%.2f\n" % (size, r["peak_rss_mib"],
                                                    r["baseline_rss_mib"], mr["peak_rss_mib"])
                         for size, r, mr in m["ladder"])
        png = os.path.join(out_dir, "memory-curve.png")
        if subprocess.run([bench.curve_tool, tsv, png, str(RSS_LIMIT_MIB)],
                          stderr=subprocess.DEVNULL).returncode == 0:
            written.append(png)
        os.remove(tsv)
    print("\nWritten: " + ", ".join(written))
    return 1 if bench.failures else 0


if __name__ == "__main__":
    sys.exit(main())
