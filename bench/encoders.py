#!/usr/bin/env python3
"""Encoder benchmark: the program's encoding paths against sharp, ImageMagick and
libjpeg-turbo on a corpus built from Debian packages. Run through bench/encoders.sh,
which builds the program and the helpers and passes their paths; see bench/README.md.

Standard library only.
"""
import argparse
import ctypes
import datetime
import hashlib
import json
import os
import shutil
import statistics
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
MATE = Path("/usr/share/backgrounds/mate")
ADWAITA = Path("/usr/share/icons/Adwaita")
IM_CONVERT = "/usr/bin/convert"  # Debian's ImageMagick 6, never a stand-in earlier on PATH
TURBO_CJPEG = "/usr/bin/cjpeg"  # Debian's libjpeg-turbo
TOOLS = ("cjpeg", "cwebp", "webpmux", "oxipng", "pngquant")

# The program's default ("balanced") qualities; the comparison encoders get the same.
JPEG_Q, WEBP_Q, AVIF_Q = 76, 78, 50

LONG_EDGE = {"small": 640, "medium": 1600, "large": 2560}
# (name, file under MATE, size). Photographs, saved as the program's sources at
# Q 92 with 4:2:0 chroma, as a phone camera writes them.
PHOTOS = [
    ("dune", "nature/Dune.jpg", "small"),
    ("blinds", "nature/Blinds.jpg", "small"),
    ("ladybird", "nature/LadyBird.jpg", "small"),
    ("raindrops", "nature/RainDrops.jpg", "medium"),
    ("storm", "nature/Storm.jpg", "medium"),
    ("garden", "nature/Garden.jpg", "medium"),
    ("elephants", "abstract/Elephants_5640x3172.jpg", "large"),
    ("twowings", "nature/TwoWings.jpg", "large"),
    ("wood", "nature/Wood.jpg", "large"),
]
# Graphics with transparency, used as shipped (byte copies).
GRAPHICS = [
    ("icon-repository", ADWAITA / "256x256/mimetypes/x-package-repository.png", "small"),
    ("icon-trash", ADWAITA / "256x256/status/user-trash-full.png", "small"),
    ("icon-camera", ADWAITA / "512x512/devices/camera-web.png", "medium"),
    ("icon-harddisk", ADWAITA / "512x512/devices/drive-harddisk.png", "medium"),
    ("arc-transparent", MATE / "abstract/Arc-Colors-Transparent-Wallpaper.png", "large"),
]
# Screenshots of a local page, rendered by headless Chromium at these window sizes.
SCREENSHOTS = [
    ("screen-small", (640, 400), "small"),
    ("screen-medium", (1280, 800), "medium"),
    ("screen-large", (1920, 1080), "large"),
]
QUICK = {"dune", "storm", "elephants", "icon-trash", "arc-transparent", "screen-medium"}

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><title>Build status</title><style>
body { margin: 0; font: 14px/1.45 "DejaVu Sans", sans-serif; color: #1d2330; background: #f4f6fa; }
header { display: flex; align-items: center; gap: 16px; padding: 10px 20px; color: #fff;
         background: linear-gradient(90deg, #2b4d8c, #3f7fd8); }
header b { font-size: 18px; } header span { opacity: .8; }
nav { float: left; width: 190px; padding: 14px; }
nav a { display: block; padding: 6px 10px; margin: 2px 0; border-radius: 6px; color: #33415c;
        text-decoration: none; } nav a.on { background: #dbe6fb; color: #1a3f86; font-weight: bold; }
main { margin-left: 220px; padding: 18px 24px; }
.cards { display: flex; gap: 14px; flex-wrap: wrap; }
.card { flex: 1 1 160px; background: #fff; border-radius: 10px; padding: 12px 16px;
        box-shadow: 0 1px 3px rgba(0,0,0,.15); }
.card em { display: block; font-style: normal; font-size: 26px; font-weight: bold; color: #2b4d8c; }
table { border-collapse: collapse; width: 100%; margin-top: 18px; background: #fff; }
th, td { text-align: left; padding: 6px 10px; border-bottom: 1px solid #e3e7ef; }
th { background: #eef2f8; } .ok { color: #1f8a3b; } .bad { color: #c62828; }
pre { background: #1e2430; color: #d5dbe6; padding: 12px; border-radius: 8px; font-size: 12px; }
.btn { display: inline-block; padding: 6px 14px; border-radius: 6px; background: #3f7fd8; color: #fff; }
</style></head><body>
<header><b>Pipelines</b><span>main &middot; 128 runs this week</span></header>
<nav><a class="on" href="#">Overview</a><a href="#">Runs</a><a href="#">Artifacts</a>
<a href="#">Schedules</a><a href="#">Settings</a></nav>
<main>
<div class="cards"><div class="card">Passed<em>112</em></div><div class="card">Failed<em>9</em></div>
<div class="card">Median time<em>6 min 41 s</em></div><div class="card">Queue<em>3</em></div></div>
<table><tr><th>Run</th><th>Branch</th><th>Commit</th><th>Status</th><th>Duration</th></tr>
ROWS
</table>
<p>Logs of the latest failed run: <span class="btn">Open</span> <span class="btn">Retry</span></p>
<pre>LOG</pre>
</main></body></html>
"""


def page_html():
    rows = []
    for i in range(40):
        ok = i % 7 != 3
        rows.append(
            f"<tr><td>#{4210 - i}</td><td>{['main', 'release/2.4', 'fix/cache', 'docs'][i % 4]}</td>"
            f"<td><code>{hashlib.sha1(str(i).encode()).hexdigest()[:10]}</code></td>"
            f"<td class=\"{'ok' if ok else 'bad'}\">{'passed' if ok else 'failed'}</td>"
            f"<td>{3 + i % 5} min {(i * 17) % 60} s</td></tr>")
    log = "\n".join(f"[{12 + i // 60:02d}:{i % 60:02d}:0{i % 10}] step {i}: "
                    f"{'compiling module ' + str(i) if i % 3 else 'running 48 tests ... ok'}"
                    for i in range(30))
    return PAGE.replace("ROWS", "\n".join(rows)).replace("LOG", log)


# ---------------------------------------------------------------------------- helpers

def run(command, **kwargs):
    return subprocess.run([str(c) for c in command], check=True, **kwargs)


def output_of(command):
    return subprocess.run([str(c) for c in command], check=True, capture_output=True,
                          text=True).stdout


def image_size(path):
    width = int(output_of(["vipsheader", "-f", "width", path]))
    height = int(output_of(["vipsheader", "-f", "height", path]))
    return width, height


class SSIM:
    def __init__(self, binary):
        self.binary = binary

    def __call__(self, reference, *candidates):
        text = output_of([self.binary, reference, *candidates])
        return [float(value) for value in text.split()]


class Sharp:
    """The encoding server in bench/node/encode.js, started once."""

    def __init__(self, node_dir):
        self.process = subprocess.Popen(["node", str(node_dir / "encode.js")], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, cwd=node_dir)

    def encode(self, source, out, fmt, quality):
        request = {"in": str(source), "out": str(out), "format": fmt, "quality": quality}
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        answer = json.loads(self.process.stdout.readline())
        if "error" in answer:
            raise RuntimeError(f"sharp {fmt} {source}: {answer['error']}")
        return answer["bytes"], answer["ms"] / 1000

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def timed(command):
    start = time.perf_counter()
    run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


# ---------------------------------------------------------------------------- corpus

def corpus_layout(quick):
    names = [p[0] for p in PHOTOS] + [g[0] for g in GRAPHICS] + [s[0] for s in SCREENSHOTS]
    return {"version": 1, "long_edge": LONG_EDGE, "photos": [list(p) for p in PHOTOS],
            "graphics": [[n, str(p), s] for n, p, s in GRAPHICS],
            "screens": [[n, list(w), s] for n, w, s in SCREENSHOTS],
            "page": hashlib.sha256(page_html().encode()).hexdigest(), "names": names}


def build_corpus(folder, quick):
    """Builds the corpus into folder once; reuses it while its description is unchanged."""
    layout = corpus_layout(quick)
    stamp = folder / "corpus.json"
    if not (stamp.exists() and json.loads(stamp.read_text()).get("layout") == layout):
        if folder.exists():
            shutil.rmtree(folder)
        (folder / "files").mkdir(parents=True)
        print("building the corpus…", flush=True)
        for name, relative, size in PHOTOS:
            edge = LONG_EDGE[size]
            run(["vips", "thumbnail", MATE / relative,
                 f"{folder / 'files' / name}.jpg[Q=92,subsample_mode=on,strip]", edge,
                 "--height", edge, "--size", "down"])
        for name, path, size in GRAPHICS:
            shutil.copyfile(path, folder / "files" / f"{name}.png")
        page = folder / "page.html"
        page.write_text(page_html())
        for name, (width, height), size in SCREENSHOTS:
            profile = folder / "chromium-profile"
            target = folder / "files" / f"{name}.png"
            run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                 "--no-first-run", "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--hide-scrollbars", f"--user-data-dir={profile}",
                 f"--screenshot={target}", f"--window-size={width},{height}",
                 page.resolve().as_uri()], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                timeout=120)
            shutil.rmtree(profile, ignore_errors=True)
            if not target.exists():
                raise SystemExit(f"chromium wrote no screenshot {target}")
        stamp.write_text(json.dumps({"layout": layout}, indent=1))

    items = []
    kinds = ([(n, "photo", s, "jpg") for n, _, s in PHOTOS] +
             [(n, "graphic", s, "png") for n, _, s in GRAPHICS] +
             [(n, "screenshot", s, "png") for n, _, s in SCREENSHOTS])
    for name, kind, size, ext in kinds:
        if quick and name not in QUICK:
            continue
        path = folder / "files" / f"{name}.{ext}"
        width, height = image_size(path)
        items.append({"name": name, "kind": kind, "size": size, "path": path,
                      "bytes": path.stat().st_size, "mp": width * height / 1e6,
                      "dims": f"{width}x{height}"})
    return items


# ---------------------------------------------------------------------------- folder events

IN_OPEN, IN_CLOSE_WRITE, IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x20, 0x08, 0x80, 0x100, 0x200


class FolderEvents:
    """Records (time, mask, name) for every inotify event in one folder, on a thread."""

    SENTINEL = "zz-bench-events-end"

    def __init__(self, folder):
        self.folder = folder
        self.events = []
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = libc.inotify_init1(0)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        mask = IN_OPEN | IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE
        if libc.inotify_add_watch(self.fd, str(folder).encode(), mask) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while True:
            data = os.read(self.fd, 1 << 16)
            stamp = time.time()
            offset = 0
            while offset < len(data):
                _, mask, _, length = struct.unpack_from("iIII", data, offset)
                name = data[offset + 16:offset + 16 + length].split(b"\0", 1)[0].decode(
                    errors="replace")
                offset += 16 + length
                self.events.append((stamp, mask, name))
                if name == self.SENTINEL:
                    return

    def stop(self):
        (self.folder / self.SENTINEL).touch()
        self.thread.join(10)
        (self.folder / self.SENTINEL).unlink()
        os.close(self.fd)


# ---------------------------------------------------------------------------- the program

def busy_seconds(invocations):
    """How long at least one of the tool runs was going: the PNG path runs some side by
    side, and summing them would count that time twice."""
    total, reach = 0.0, None
    for start, end in sorted((i["start"], i["end"]) for i in invocations):
        if reach is None or start > reach:
            total += end - start
            reach = end
        elif end > reach:
            total += end - reach
            reach = end
    return total


def scratch_folders(items, events):
    """The program's private scratch folders in the watched folder, by item: each is
    credited to the source opened last before it was made (one file at a time, so that
    is the file it works on). Returns name -> [folder, begin, end]: begin is the first of
    the source's opens just before the folder appears (the scan that processes a file
    fingerprints and decodes it; the scan before, which found it new, did so at least the
    stability interval earlier), end when the output is installed or else the folder
    removed. The source is read again after the install; that is not counted. A scan judges
    every file before it processes the first, so the opens reach back no further than the
    previous file's end: a small file after a quick one would be charged with both."""
    sources = {i["path"].name: i["name"] for i in items}
    stems = {f"{i['path'].stem}_velkcompressed.": i["name"] for i in items}
    opened = {}  # item -> times of its source's opens so far
    made = {}
    previous_end = None
    for k, (t, mask, name) in enumerate(events):
        if mask & (IN_MOVED_TO | IN_CLOSE_WRITE) and not name.startswith("."):
            owner = next((v for prefix, v in stems.items() if name.startswith(prefix)), None)
            entry = made.get(owner)
            if entry and entry[2] is None:
                entry[2] = previous_end = t
        elif mask & IN_OPEN and name in sources:
            opened.setdefault(sources[name], []).append((k, t))
        elif mask & IN_CREATE and name.startswith(".velk-temp-"):
            last = max(opened.items(), key=lambda kv: kv[1][-1][0], default=None)
            if last is None:
                continue
            times = [t for _, t in last[1]]
            begin = times[-1]
            for earlier in reversed(times[:-1]):
                if begin - earlier > 0.5 or (previous_end is not None and earlier < previous_end):
                    break
                begin = earlier
            made[last[0]] = [name, begin, None]
        elif mask & IN_DELETE and name.startswith(".velk-temp-"):
            for entry in made.values():
                if entry[0] == name and entry[2] is None:
                    entry[2] = previous_end = t
    return made


def engine_run(label, items, fmt, bundle_exe, toolwrap, work, extra_env=None):
    """Runs the program once over a folder holding items; returns one record per item.
    extra_env adds variables to the program's environment (and so the stand-ins')."""
    base = work / label
    folder, tools = base / "folder", base / "tools"
    for sub in (folder, tools, base / "config", base / "logs", base / "home"):
        sub.mkdir(parents=True)
    real_tools = bundle_exe.parent.parent / "Resources" / "bin"
    for tool in TOOLS:
        if (real_tools / tool).exists():
            shutil.copy2(toolwrap, tools / tool)
    for item in items:
        shutil.copyfile(item["path"], folder / item["path"].name)
    tool_log = base / "tools.log"
    env = dict(os.environ, VELK_CONFIG_DIR=str(base / "config"), VELK_LOG_DIR=str(base / "logs"),
               VELK_TOOL_DIR=str(tools), VELK_BENCH_REAL_TOOLS=str(real_tools),
               VELK_BENCH_TOOL_LOG=str(tool_log), HOME=str(base / "home"),
               XDG_CONFIG_HOME=str(base / "home" / ".config"),
               XDG_DATA_HOME=str(base / "home" / ".local" / "share"), **(extra_env or {}))
    events = FolderEvents(folder)
    started = time.perf_counter()
    # One file at a time: a file's time is then its own, with no other file's tools in it.
    result = subprocess.run([str(bundle_exe), "--headless", "--watch", str(folder), "--once",
                             "--format", fmt, "--originals", "keep", "--jobs", "1"], env=env,
                            capture_output=True, text=True, timeout=1800)
    wall = time.perf_counter() - started
    events.stop()
    (base / "stdout.txt").write_text(result.stdout + result.stderr)

    invocations = []
    if tool_log.exists():
        for line in tool_log.read_text().splitlines():
            name, start, end, status, *args = line.split("\t")
            invocations.append({"tool": name, "start": float(start), "end": float(end),
                                "status": int(status), "args": args})

    folders = scratch_folders(items, events.events)
    records = []
    for item in items:
        source = item["path"].name
        stem = item["path"].stem
        outputs = sorted(folder.glob(f"{stem}_velkcompressed.*"))
        output = outputs[0] if outputs else None
        _, begin, end = folders.get(item["name"], (None, None, None))
        if end is None:
            begin = None
        mine = [i for i in invocations if begin is not None and begin <= i["start"] <= end]
        lines = [line for line in result.stdout.splitlines() if line.startswith(source + " ")
                 or line.startswith(source + ":")]
        records.append({
            **item, "output": output, "out_bytes": output.stat().st_size if output else None,
            "engine_s": (end - begin) if begin is not None else None,
            "tool_s": busy_seconds(mine),
            # The program's own time before the first tool and after the last one.
            "pre_s": (min(i["start"] for i in mine) - begin) if mine else None,
            "post_s": (end - max(i["end"] for i in mine)) if mine else None,
            "tools": mine, "line": lines[0] if lines else None,
        })
    return {"records": records, "rc": result.returncode, "wall": wall, "stdout": result.stdout,
            "stderr": result.stderr, "invocations": invocations, "events": events.events}


def replay_tools(records, real_tools, scratch, repeats=3):
    """The raw tool time of each record: its one encoder run (cjpeg or cwebp) replayed on
    a ready PPM of the source with the same settings, median of `repeats`, in
    r["raw_tool_s"]: the tool alone, whatever the program does around it (a stand-in fed
    through a pipe while the raster is still rendered would time that wait as the tool's).
    For sources whose decoded pixels are the raster as it is (8-bit sRGB, no alpha, no
    orientation), which the photo corpus is."""
    for r in records:
        r["raw_tool_s"] = None
        runs = [i for i in r["tools"] if i["tool"] in ("cjpeg", "cwebp")]
        if len(runs) != 1 or r["output"] is None:
            continue
        args = list(runs[0]["args"])
        ppm = scratch / f"{r['name']}.raw.ppm"
        if not ppm.exists():
            run(["vips", "copy", r["path"], ppm])
        out = scratch / f"{r['name']}.raw-out"
        flag = "-outfile" if runs[0]["tool"] == "cjpeg" else "-o"
        args[args.index(flag) + 1] = str(out)
        # The input: a file named last (cjpeg) or before "-o" (cwebp), or standard input.
        from_stdin = args[-1] == "-" or runs[0]["tool"] == "cjpeg" and args[-2] == "-outfile"
        if not from_stdin:
            at = len(args) - 1 if runs[0]["tool"] == "cjpeg" else args.index("-o") - 1
            args[at] = str(ppm)
        times = []
        for _ in range(repeats):
            with open(ppm, "rb") as stdin:
                start = time.perf_counter()
                subprocess.run([str(real_tools / runs[0]["tool"]), *args], check=True,
                               stdin=stdin if from_stdin else subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                times.append(time.perf_counter() - start)
        r["raw_tool_s"] = statistics.median(times)


# ---------------------------------------------------------------------------- comparisons

def search_equal_ssim(target, encode, start, lo=1, hi=100):
    """Finds the qualities q, q+1 whose SSIM brackets target and interpolates the bytes
    there linearly in SSIM. encode(q) -> (bytes, ssim, seconds). Returns a dict."""
    cache = {}

    def at(q):
        if q not in cache:
            cache[q] = encode(q)
        return cache[q]

    # Gallop from the start quality to a bracket, then bisect.
    q = max(lo, min(hi, start))
    step = 6
    if at(q)[1] >= target:
        high = q
        low = q - step
        while low > lo and at(low)[1] >= target:
            high, low = low, low - step
            step *= 2
        low = max(lo, low)
        if at(low)[1] >= target:
            return {"bytes": at(low)[0], "ssim": at(low)[1], "q": low, "seconds": at(low)[2],
                    "encodes": len(cache), "clamped": True}
    else:
        low = q
        high = q + step
        while high < hi and at(high)[1] < target:
            low, high = high, high + step
            step *= 2
        high = min(hi, high)
        if at(high)[1] < target:
            return {"bytes": at(high)[0], "ssim": at(high)[1], "q": high, "seconds": at(high)[2],
                    "encodes": len(cache), "clamped": True}
    while high - low > 1:
        middle = (low + high) // 2
        if at(middle)[1] >= target:
            high = middle
        else:
            low = middle
    (b_lo, s_lo, _), (b_hi, s_hi, t_hi) = at(low), at(high)
    fraction = (target - s_lo) / (s_hi - s_lo) if s_hi > s_lo else 1.0
    return {"bytes": b_lo + fraction * (b_hi - b_lo), "ssim": target, "q": low + fraction,
            "seconds": t_hi, "encodes": len(cache), "clamped": False}


def compare_jpeg(records, sharp, ssim, scratch):
    for r in records:
        src = r["path"]
        ppm = scratch / f"{r['name']}.ppm"
        run(["vips", "copy", src, ppm])
        rows = {}
        out = scratch / f"{r['name']}.sharp.jpg"
        size, seconds = sharp.encode(src, out, "jpeg", JPEG_Q)
        rows["sharp"] = {"bytes": size, "ssim": ssim(src, out)[0], "seconds": seconds}
        out = scratch / f"{r['name']}.im.jpg"
        seconds = timed([IM_CONVERT, src, "-quality", str(JPEG_Q), out])
        rows["im"] = {"bytes": out.stat().st_size, "ssim": ssim(src, out)[0], "seconds": seconds}

        def turbo(q):
            out = scratch / f"{r['name']}.turbo{q}.jpg"
            seconds = timed([TURBO_CJPEG, "-quality", q, "-progressive", "-optimize", "-sample",
                             "2x2", "-outfile", out, ppm])
            return out.stat().st_size, ssim(src, out)[0], seconds

        def sharp_q(q):
            out = scratch / f"{r['name']}.sharp{q}.jpg"
            size, seconds = sharp.encode(src, out, "jpeg", q)
            return size, ssim(src, out)[0], seconds

        rows["turbo"] = turbo(JPEG_Q)
        rows["turbo"] = {"bytes": rows["turbo"][0], "ssim": rows["turbo"][1],
                         "seconds": rows["turbo"][2]}
        rows["turbo_eq"] = search_equal_ssim(r["ssim"], turbo, JPEG_Q)
        rows["sharp_eq"] = search_equal_ssim(r["ssim"], sharp_q, JPEG_Q)
        r["cmp"] = rows


def compare_webp(records, sharp, ssim, scratch):
    for r in records:
        src = r["path"]

        def sharp_q(q):
            out = scratch / f"{r['name']}.sharp{q}.webp"
            size, seconds = sharp.encode(src, out, "webp", q)
            return size, ssim(src, out)[0], seconds

        fixed = sharp_q(WEBP_Q)
        r["cmp"] = {"sharp": {"bytes": fixed[0], "ssim": fixed[1], "seconds": fixed[2]},
                    "sharp_eq": search_equal_ssim(r["ssim"], sharp_q, WEBP_Q)}


def compare_avif(records, ssim, scratch):
    for r in records:
        src = r["path"]

        def im(q):
            out = scratch / f"{r['name']}.im{q}.avif"
            seconds = timed([IM_CONVERT, src, "-quality", str(q), out])
            return out.stat().st_size, ssim(src, out)[0], seconds

        fixed = im(AVIF_Q)
        r["cmp"] = {"im": {"bytes": fixed[0], "ssim": fixed[1], "seconds": fixed[2]},
                    "im_eq": search_equal_ssim(r["ssim"], im, AVIF_Q)}


# ---------------------------------------------------------------------------- report

def pct_saved(out_total, src_total):
    return 100 * (1 - out_total / src_total)


def summarize(records, pick):
    """pick(record) -> (bytes, ssim, seconds or None)."""
    src = sum(r["bytes"] for r in records)
    mp = sum(r["mp"] for r in records)
    rows = [pick(r) for r in records]
    out = sum(b for b, _, _ in rows)
    ssims = [s for _, s, _ in rows if s is not None]
    secs = [t for _, _, t in rows]
    ms_mp = 1000 * sum(secs) / mp if all(t is not None for t in secs) else None
    return {"saved": pct_saved(out, src), "out": out, "src": src,
            "mean": statistics.fmean(ssims) if ssims else None,
            "min": min(ssims) if ssims else None, "ms_mp": ms_mp}


def fmt_row(label, s, note=""):
    mean = f"{s['mean']:.4f}" if s["mean"] is not None else "—"
    low = f"{s['min']:.4f}" if s["min"] is not None else "—"
    ms = f"{s['ms_mp']:.0f}" if s["ms_mp"] is not None else "—"
    return f"  {label:<44} {s['saved']:7.1f} {s['out'] / 1e6:9.3f} {mean:>8} {low:>8} {ms:>7}  {note}"


HEADER = f"  {'':<44} {'saved%':>7} {'out MB':>9} {'SSIM':>8} {'min':>8} {'ms/MP':>7}"


def section(title, records):
    src = sum(r["bytes"] for r in records) / 1e6
    mp = sum(r["mp"] for r in records)
    sizes = ", ".join(f"{k} {sum(1 for r in records if r['size'] == k)}" for k in LONG_EDGE)
    return f"\n{title} — {len(records)} files ({sizes}), {mp:.1f} MP, sources {src:.2f} MB\n{HEADER}"


def engine_pick(r):
    size = r["out_bytes"] if r["out_bytes"] is not None else r["bytes"]
    return size, r["ssim"], r["engine_s"]


def overhead_lines(label, records):
    timed_records = [r for r in records if r["engine_s"] is not None and r["tool_s"] > 0]
    if not timed_records:
        return [f"  {label}: no timed tool runs"], {}
    ratios = [r["engine_s"] / r["tool_s"] for r in timed_records]
    own_small = [1000 * (r["engine_s"] - r["tool_s"]) for r in timed_records if r["mp"] < 0.3]
    total = sum(r["engine_s"] for r in timed_records) / sum(r["tool_s"] for r in timed_records)
    worst = max(timed_records, key=lambda r: r["engine_s"] / r["tool_s"])
    over = sum(1 for x in ratios if x > 1.10)
    line = (f"  {label:<10} files {len(timed_records):2d}  engine/tools: total {total:.3f}, "
            f"median {statistics.median(ratios):.3f}, max {max(ratios):.3f} ({worst['name']}), "
            f"{over} over 1.10")
    pre = statistics.fmean(1000 * r["pre_s"] for r in timed_records)
    post = statistics.fmean(1000 * r["post_s"] for r in timed_records)
    runs = statistics.fmean(len(r["tools"]) for r in timed_records)
    line += (f"\n  {'':<10} own time per file: {pre:.1f} ms before the first tool (decode, "
             f"intermediate), {post:.1f} ms after the last (checks, install); {runs:.1f} tool runs")
    stats = {"total": total, "median": statistics.median(ratios), "max": max(ratios), "over": over,
             "own_small_max_ms": max(own_small) if own_small else None}
    lines = [line]
    raw = [r for r in timed_records if r.get("raw_tool_s")]
    if raw:
        raw_ratios = [r["engine_s"] / r["raw_tool_s"] for r in raw]
        raw_total = sum(r["engine_s"] for r in raw) / sum(r["raw_tool_s"] for r in raw)
        lines.append(f"  {'':<10} vs the tool alone on a ready file: total {raw_total:.3f}, "
                     f"median {statistics.median(raw_ratios):.3f}, max {max(raw_ratios):.3f}, "
                     f"{sum(1 for x in raw_ratios if x > 1.10)} over 1.10")
        stats["raw_total"] = raw_total
    if own_small:
        lines.append(f"  {'':<10} files < 0.3 MP: engine's own share {', '.join(f'{x:.1f}' for x in own_small)} ms "
                     f"(max {max(own_small):.1f})")
    return lines, stats


def stand_in_cost(toolwrap, work, rounds=60):
    """What the timing stand-in adds to one tool run beyond what it logs: a run of /bin/true
    through it, less the same run direct, alternated."""
    folder = work / "stand-in"
    (folder / "real").mkdir(parents=True)
    (folder / "real" / "true").symlink_to("/bin/true")
    shutil.copy2(toolwrap, folder / "true")
    env = dict(os.environ, VELK_BENCH_REAL_TOOLS=str(folder / "real"),
               VELK_BENCH_TOOL_LOG=str(folder / "log"))
    direct, wrapped = [], []
    for _ in range(rounds):
        for command, into in ((["/bin/true"], direct), ([str(folder / "true")], wrapped)):
            start = time.perf_counter()
            subprocess.run(command, env=env, check=True)
            into.append(time.perf_counter() - start)
    return 1000 * (statistics.median(wrapped) - statistics.median(direct))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bundle-exe", type=Path, required=True)
    parser.add_argument("--ssim", type=Path, required=True)
    parser.add_argument("--toolwrap", type=Path, required=True)
    parser.add_argument("--node-dir", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--keep", action="store_true", help="keep the run's work folder")
    args = parser.parse_args()

    began = time.perf_counter()
    load_before = os.getloadavg()
    items = build_corpus(args.out / "corpus", args.quick)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    work = args.out / f"run-{stamp}"
    scratch = work / "scratch"
    scratch.mkdir(parents=True)
    ssim = SSIM(args.ssim)
    photos = [i for i in items if i["kind"] == "photo"]
    pngs = [i for i in items if i["kind"] != "photo"]

    print(f"program: {len(items)} files, format automatic…", flush=True)
    auto = engine_run("automatic", items, "automatic", args.bundle_exe, args.toolwrap, work)
    print("program: photos, format webp…", flush=True)
    webp = engine_run("webp", photos, "webp", args.bundle_exe, args.toolwrap, work)
    print("program: photos, format avif…", flush=True)
    avif = engine_run("avif", photos, "avif", args.bundle_exe, args.toolwrap, work)
    problems = []
    for run_name, r in (("automatic", auto), ("webp", webp), ("avif", avif)):
        if r["rc"] != 0:
            problems.append(f"the {run_name} run exited with {r['rc']}: {r['stderr'].strip()[:300]}")
        for rec in r["records"]:
            if rec["engine_s"] is None:
                problems.append(f"{run_name}: no timing for {rec['name']} ({rec['line']})")
            if rec["output"] is None and "already optimal" not in (rec["line"] or ""):
                problems.append(f"{run_name}: no output for {rec['name']} ({rec['line']})")

    print("SSIM of the program's outputs…", flush=True)
    for r in auto["records"] + webp["records"] + avif["records"]:
        r["ssim"] = ssim(r["path"], r["output"])[0] if r["output"] else 1.0

    jpeg_records = [r for r in auto["records"] if r["kind"] == "photo"]
    png_records = [r for r in auto["records"] if r["kind"] != "photo"]
    sharp = Sharp(args.node_dir)
    try:
        print("sharp, ImageMagick and libjpeg-turbo on JPEG…", flush=True)
        compare_jpeg(jpeg_records, sharp, ssim, scratch)
        print("sharp on WebP…", flush=True)
        compare_webp(webp["records"], sharp, ssim, scratch)
    finally:
        sharp.close()
    print("the encoders alone on the same rasters…", flush=True)
    real_tools = args.bundle_exe.parent.parent / "Resources" / "bin"
    replay_tools(jpeg_records + webp["records"], real_tools, scratch)
    print("ImageMagick on AVIF…", flush=True)
    compare_avif(avif["records"], ssim, scratch)
    stand_in = stand_in_cost(args.toolwrap, work)

    # ------------------------------------------------------------------ the table
    out = []
    versions = json.loads(output_of(["node", args.node_dir / "encode.js", "--versions"]))
    im_version = output_of([IM_CONVERT, "-version"]).splitlines()[0].split(" https")[0]
    out.append(f"Encoder benchmark {stamp}{' (--quick)' if args.quick else ''}: "
               f"{os.cpu_count()} cores, load average {load_before[0]:.2f} at start")
    out.append(f"program defaults (balanced): JPEG q{JPEG_Q}, WebP q{WEBP_Q}, AVIF q{AVIF_Q}; "
               f"sharp {versions['sharp']} (libvips {versions['vips']}); {im_version}")
    root = HERE.parent
    head = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True,
                          text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--", "src", "CMakeLists.txt",
                            "cmake", "packaging"], capture_output=True, text=True).stdout.split("\n")
    dirty = [line[3:] for line in dirty if line.strip()]
    out.append(f"program built from {head or 'an unknown commit'}"
               + (f" plus uncommitted changes to {', '.join(dirty)}" if dirty else ""))
    out.append("saved% = 1 - output bytes / source bytes over the set; SSIM against the decoded "
               "source; ms/MP = wall time per megapixel")

    out.append(section("JPEG (photos, JPEG sources)", jpeg_records))
    eng = summarize(jpeg_records, engine_pick)
    sh = summarize(jpeg_records, lambda r: (r["cmp"]["sharp"]["bytes"], r["cmp"]["sharp"]["ssim"],
                                            r["cmp"]["sharp"]["seconds"]))
    im = summarize(jpeg_records, lambda r: (r["cmp"]["im"]["bytes"], r["cmp"]["im"]["ssim"],
                                            r["cmp"]["im"]["seconds"]))
    tj = summarize(jpeg_records, lambda r: (r["cmp"]["turbo"]["bytes"], r["cmp"]["turbo"]["ssim"],
                                            r["cmp"]["turbo"]["seconds"]))
    sh_eq = summarize(jpeg_records, lambda r: (r["cmp"]["sharp_eq"]["bytes"], r["ssim"], None))
    tj_eq = summarize(jpeg_records, lambda r: (r["cmp"]["turbo_eq"]["bytes"], r["ssim"], None))
    out.append(fmt_row(f"program: MozJPEG cjpeg q{JPEG_Q}", eng, "(engine time, drop to output)"))
    out.append(fmt_row(f"sharp mozjpeg q{JPEG_Q}", sh, "(encode only)"))
    out.append(fmt_row(f"ImageMagick -quality {JPEG_Q}", im, "(whole command)"))
    out.append(fmt_row(f"libjpeg-turbo cjpeg q{JPEG_Q}, same flags", tj, "(from PPM)"))
    q_sh = statistics.fmean(r["cmp"]["sharp_eq"]["q"] for r in jpeg_records)
    q_tj = statistics.fmean(r["cmp"]["turbo_eq"]["q"] for r in jpeg_records)
    out.append(fmt_row("sharp mozjpeg at the program's SSIM", sh_eq, f"(mean q {q_sh:.1f})"))
    out.append(fmt_row("libjpeg-turbo cjpeg at the program's SSIM", tj_eq, f"(mean q {q_tj:.1f})"))
    jpeg_vs_sharp = eng["out"] / sh_eq["out"] - 1
    jpeg_vs_turbo = 1 - eng["out"] / tj_eq["out"]
    out.append(f"  at equal SSIM: program {100 * jpeg_vs_sharp:+.1f}% bytes vs sharp, "
               f"{100 * jpeg_vs_turbo:.1f}% smaller than libjpeg-turbo")

    out.append(section("PNG (graphics with transparency + screenshots, PNG sources)", png_records))
    png = summarize(png_records, engine_pick)
    out.append(fmt_row("program: PNG path (best of 3 candidates)", png,
                       f"= {png['ms_mp'] / 1000:.2f} s/MP"))
    for kind in ("graphic", "screenshot"):
        subset = [r for r in png_records if r["kind"] == kind]
        if subset:
            out.append(fmt_row(f"  of which {kind}s", summarize(subset, engine_pick)))
    tool_time = {}
    for r in png_records:
        for inv in r["tools"]:
            tool_time[inv["tool"]] = tool_time.get(inv["tool"], 0) + inv["end"] - inv["start"]
    engine_png = sum(r["engine_s"] or 0 for r in png_records)
    if engine_png > 0:
        shares = ", ".join(f"{k} {100 * v / engine_png:.0f}%" for k, v in sorted(tool_time.items()))
        out.append(f"  share of the PNG path's time: {shares}, the rest {100 * (1 - sum(tool_time.values()) / engine_png):.0f}%")
    quant_skipped = [r["name"] for r in png_records
                     if any(i["tool"] == "pngquant" and i["status"] != 0 for i in r["tools"])]
    if quant_skipped:
        out.append(f"  pngquant made no candidate (exit 98/99) for: {', '.join(quant_skipped)}")
    per_file = ", ".join(f"{r['name']} {r['ssim']:.3f}" for r in png_records)
    out.append(f"  SSIM per file: {per_file}")

    out.append(section("AVIF (photos, JPEG sources, --format avif)", avif["records"]))
    av = summarize(avif["records"], engine_pick)
    av_im = summarize(avif["records"], lambda r: (r["cmp"]["im"]["bytes"], r["cmp"]["im"]["ssim"],
                                                  r["cmp"]["im"]["seconds"]))
    av_eq = summarize(avif["records"], lambda r: (r["cmp"]["im_eq"]["bytes"], r["ssim"],
                                                  r["cmp"]["im_eq"]["seconds"]))
    out.append(fmt_row(f"program: libvips heifsave q{AVIF_Q}", av, "(engine time, in-process)"))
    out.append(fmt_row(f"ImageMagick -quality {AVIF_Q}", av_im, "(whole command)"))
    q_av = statistics.fmean(r["cmp"]["im_eq"]["q"] for r in avif["records"])
    out.append(fmt_row("ImageMagick at the program's SSIM", av_eq, f"(mean q {q_av:.1f})"))
    avif_vs_im = av["out"] / av_eq["out"] - 1
    out.append(f"  at equal SSIM: program {100 * avif_vs_im:+.1f}% bytes vs ImageMagick; "
               f"time {av['ms_mp'] / av_eq['ms_mp']:.2f}x ImageMagick's")

    out.append(section("WebP (photos, JPEG sources, --format webp)", webp["records"]))
    wp = summarize(webp["records"], engine_pick)
    wp_sh = summarize(webp["records"], lambda r: (r["cmp"]["sharp"]["bytes"], r["cmp"]["sharp"]["ssim"],
                                                  r["cmp"]["sharp"]["seconds"]))
    wp_eq = summarize(webp["records"], lambda r: (r["cmp"]["sharp_eq"]["bytes"], r["ssim"], None))
    out.append(fmt_row(f"program: cwebp q{WEBP_Q}", wp, "(engine time, drop to output)"))
    out.append(fmt_row(f"sharp webp q{WEBP_Q}", wp_sh, "(encode only)"))
    q_wp = statistics.fmean(r["cmp"]["sharp_eq"]["q"] for r in webp["records"])
    out.append(fmt_row("sharp webp at the program's SSIM", wp_eq, f"(mean q {q_wp:.1f})"))
    webp_vs_sharp = wp["out"] / wp_eq["out"] - 1
    out.append(f"  at equal SSIM: program {100 * webp_vs_sharp:+.1f}% bytes vs sharp")

    out.append("\nOverhead: the program's time per file (first read of the source in the scan that "
               "handles it, to its output installed) vs the tool runs inside that time")
    out.append(f"  (each tool run goes through a timing stand-in; it adds about {stand_in:.1f} ms per "
               f"run to the program's own share, not subtracted below)")
    ov = {}
    for label, records in (("JPEG", jpeg_records), ("PNG", png_records), ("WebP", webp["records"])):
        lines, ov[label] = overhead_lines(label, records)
        out.extend(lines)

    same = [r for r in auto["records"]]
    larger = [r for r in same if r["out_bytes"] is not None and r["out_bytes"] > r["bytes"]]
    not_written = [r["name"] for r in same if r["out_bytes"] is None]
    out.append(f"\nSame format: {len(same) - len(larger)} of {len(same)} outputs no larger than "
               f"their source" + (f" (no output, already optimal: {', '.join(not_written)})"
                                  if not_written else ""))
    for r in larger:
        out.append(f"  LARGER: {r['name']} {r['bytes']} -> {r['out_bytes']}")

    # ------------------------------------------------------------------ goals
    goals = []

    def goal(text, ok):
        goals.append(f"  [{'met' if ok else 'NOT met'}] {text}")

    goal(f"JPEG no larger than sharp at equal SSIM: {100 * jpeg_vs_sharp:+.1f}%", jpeg_vs_sharp <= 0)
    goal(f"JPEG at least 7% smaller than libjpeg-turbo at equal SSIM: {100 * jpeg_vs_turbo:.1f}%",
         jpeg_vs_turbo >= 0.07)
    goal(f"PNG saves at least 59%: {png['saved']:.1f}%", png["saved"] >= 59)
    goal(f"PNG mean SSIM at least 0.98: {png['mean']:.4f}", png["mean"] >= 0.98)
    goal(f"PNG no file below SSIM 0.89: min {png['min']:.4f}", png["min"] >= 0.89)
    goal(f"PNG path at most 2.0 s/MP: {png['ms_mp'] / 1000:.2f} s/MP", png["ms_mp"] <= 2000)
    goal(f"AVIF no larger than ImageMagick at equal SSIM: {100 * avif_vs_im:+.1f}%", avif_vs_im <= 0)
    goal(f"AVIF at most 600 ms/MP: {av['ms_mp']:.0f} ms/MP", av["ms_mp"] <= 600)
    for label, stats in ov.items():
        if not stats:
            continue
        goal(f"{label} overhead within 1.10x per file: max {stats['max']:.3f}, "
             f"{stats['over']} files over", stats["over"] == 0)
        if stats["own_small_max_ms"] is not None:
            goal(f"{label} engine's own share under 15 ms for files < 0.3 MP: max "
                 f"{stats['own_small_max_ms']:.1f} ms", stats["own_small_max_ms"] < 15)
    goal(f"same-format output never larger than its source: {len(larger)} larger", not larger)
    out.append("\nGoals")
    out.extend(goals)
    if problems:
        out.append("\nProblems")
        out.extend(f"  {p}" for p in problems)
    load_after = os.getloadavg()
    out.append(f"\nrun took {time.perf_counter() - began:.0f} s; load average {load_after[0]:.2f} at end; "
               f"files in {work}")

    text = "\n".join(out)
    print("\n" + text)
    (work / "table.txt").write_text(text + "\n")

    def clean(record):
        return {k: (str(v) if isinstance(v, Path) else v) for k, v in record.items()}

    (work / "results.json").write_text(json.dumps(
        {"automatic": [clean(r) for r in auto["records"]], "webp": [clean(r) for r in webp["records"]],
         "avif": [clean(r) for r in avif["records"]]}, indent=1, default=str))
    shutil.copyfile(work / "table.txt", args.out / "latest-table.txt")
    if not args.keep:
        shutil.rmtree(scratch, ignore_errors=True)
        for label in ("automatic", "webp", "avif"):
            shutil.rmtree(work / label / "folder", ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
