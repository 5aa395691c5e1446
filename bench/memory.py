#!/usr/bin/env python3
"""Memory benchmark: the peak resident memory of one `--headless --once --originals keep`
run of the program on a single source of 12, 24 and 50 megapixels per format, on a 16-bit
PNG, and on the whole corpus of bench/batch.sh at the default jobs, per process of the
run's tree, printed beside the goals. With --baseline, other builds are run beside the
program, row by row, and the ratios printed. Run through bench/memory.sh, which builds the
program; see bench/README.md.

Standard library only; the sources are made with the `vips` and `heif-enc` command-line
tools.
"""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import threading
import time
import zlib
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

MATE = Path("/usr/share/backgrounds/mate")
# Four photographs, one per quadrant, so that even the largest source has a camera's
# detail rather than one photo blown up.
QUADRANTS = [
    MATE / "abstract/Elephants_5640x3172.jpg",
    MATE / "nature/TwoWings.jpg",
    MATE / "nature/Wood.jpg",
    MATE / "nature/Garden.jpg",
]
# 3:2, as cameras shoot; 8660 × 5772 is just under the 50,000,000-pixel decode limit
# (even sides: the four quadrants must be of one size).
SIZES = {12: (4242, 2828), 24: (6000, 4000), 50: (8660, 5772)}
# How the sources are saved: as a camera or a phone would write them.
FORMATS = {
    "jpeg": ("jpg", "[Q=92,strip]"),
    "png": ("png", "[compression=6,strip]"),
    "webp": ("webp", "[Q=90,strip]"),
    "avif": ("avif", "[Q=60,compression=av1,effort=0,strip]"),
    "heic": ("heic", "heif-enc -q 60, x265 preset fast"),
}
MiB = 1024 * 1024
# A single JPEG or WebP is re-encoded by a tool from a raster; a PNG by tools that each
# hold several filtered copies of it, and AVIF and HEIC in-process.
GOAL = {"jpeg": 256 * MiB, "png": 1024 * MiB, "webp": 256 * MiB, "avif": 1024 * MiB,
        "heic": 1024 * MiB}
# An ordinary folder (photos up to 18 MP, PNGs up to 15 MP) at the default jobs.
BATCH_GOAL = 512 * MiB


def run(*command):
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def make_photo(path: Path, fmt: str, width: int, height: int, scratch: Path) -> None:
    half_w, half_h = width // 2, height // 2
    parts = []
    for index, photo in enumerate(QUADRANTS):
        part = scratch / f"q{index}.v"
        w = half_w if index % 2 == 0 else width - half_w
        h = half_h if index < 2 else height - half_h
        run("vips", "thumbnail", str(photo), str(part), str(w), "--height", str(h),
            "--size", "force")
        parts.append(str(part))
    joined = scratch / "joined.v"
    run("vips", "arrayjoin", " ".join(parts), str(joined), "--across", "2")
    extension, options = FORMATS[fmt]
    if fmt == "heic":
        # heif-enc, whose x265 preset can be chosen: libvips leaves x265 at its slow
        # default, about a minute per megapixel on a busy machine.
        lossless = scratch / "joined.png"
        run("vips", "copy", str(joined), f"{lossless}[compression=1,strip]")
        run("heif-enc", "-p", "preset=fast", "-p", "chroma=420", "-q", "60", "-o", str(path),
            str(lossless))
        parts.append(str(lossless))
    else:
        run("vips", "copy", str(joined), f"{path}{options}")
    for part in parts + [str(joined)]:
        os.remove(part)


def make_gradient_png16(path: Path, width: int, height: int) -> None:
    """A smooth 16-bit RGB gradient, red across and green and blue down: a few hundred
    kilobytes of file that decode to hundreds of megabytes. Red depends on the column
    only and green and blue on the row only, so with PNG's "up" filter every row but the
    first is one 6-byte pattern over and over."""
    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    def sample(value: int) -> bytes:
        return struct.pack(">H", value)

    step = 65535 // max(width - 1, height - 1)
    colour = lambda y: (sample(step * y), sample(65535 - step * y))
    first = bytearray(b"\0")
    green, blue = colour(0)
    for x in range(width):
        first += sample(step * x) + green + blue
    compressor = zlib.compressobj(9)
    parts = [compressor.compress(bytes(first))]
    for y in range(1, height):
        (g1, b1), (g0, b0) = colour(y), colour(y - 1)
        up = bytes((a - b) & 0xFF for a, b in zip(g1 + b1, g0 + b0))
        parts.append(compressor.compress(b"\2" + (b"\0\0" + up) * width))
    parts.append(compressor.flush())
    header = struct.pack(">IIBBBBB", width, height, 16, 2, 0, 0, 0)
    path.write_bytes(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                     chunk(b"IDAT", b"".join(parts)) + chunk(b"IEND", b""))


def corpus(out: Path, formats, sizes):
    folder = out / "memory-corpus"
    folder.mkdir(parents=True, exist_ok=True)
    scratch = out / "memory-scratch"
    scratch.mkdir(exist_ok=True)
    sources = []
    for fmt in formats:
        for mp in sizes:
            width, height = SIZES[mp]
            path = folder / f"photo-{mp}mp.{FORMATS[fmt][0]}"
            if not path.exists():
                print(f"making {path.name}…", flush=True)
                partial = path.with_name("partial-" + path.name)
                make_photo(partial, fmt, width, height, scratch)
                partial.rename(path)
            sources.append((fmt, f"{mp} MP", width * height, path))
    gradient = folder / "gradient16-7000x7000.png"
    if "png" in formats:
        if not gradient.exists():
            print(f"making {gradient.name}…", flush=True)
            partial = gradient.with_name("partial-" + gradient.name)
            make_gradient_png16(partial, 7000, 7000)
            partial.rename(gradient)
        sources.append(("png", "49 MP 16-bit", 7000 * 7000, gradient))
    shutil.rmtree(scratch, ignore_errors=True)
    return sources


def status_fields(pid: int):
    """Name and VmHWM (bytes) of a process, or None once it has gone."""
    try:
        with open(f"/proc/{pid}/status") as status:
            name, hwm = None, None
            for line in status:
                if line.startswith("Name:"):
                    name = line.split(None, 1)[1].strip()
                elif line.startswith("VmHWM:"):
                    hwm = int(line.split()[1]) * 1024
            return (name, hwm) if name and hwm is not None else None
    except OSError:
        return None


def descendants(pid: int):
    """The process and every process below it, through /proc/PID/task/TID/children."""
    found, todo = [], [pid]
    while todo:
        current = todo.pop()
        found.append(current)
        try:
            for task in os.listdir(f"/proc/{current}/task"):
                with open(f"/proc/{current}/task/{task}/children") as children:
                    todo.extend(int(c) for c in children.read().split())
        except OSError:
            pass
    return found


def measure(exe: Path, sources, work: Path, jobs=None):
    """Runs the program once on a folder holding only `sources`. Returns the peak of each
    process name in its tree (VmHWM, polled every 20 ms: the program, and the tools it
    ran, of which a short run can slip between two looks), the peak of the largest
    process of the run (from wait4: the program or any tool it waited for), the wall time
    and the outcome."""
    shutil.rmtree(work, ignore_errors=True)
    inbox = work / "inbox"
    inbox.mkdir(parents=True)
    for source in sources:
        shutil.copy(source, inbox / source.name)
    env = dict(os.environ, HOME=str(work), VELK_CONFIG_DIR=str(work / "config"),
               VELK_LOG_DIR=str(work / "logs"))
    env.pop("VELK_TOOL_DIR", None)
    env.pop("VELK_JOBS", None)
    command = [str(exe), "--headless", "--watch", str(inbox), "--once", "--originals", "keep",
               "--format", "automatic"]
    if jobs:
        command += ["--jobs", str(jobs)]
    start = time.monotonic()
    process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True)
    peaks = {}
    done = threading.Event()

    def sample():
        while not done.is_set():
            for pid in descendants(process.pid):
                fields = status_fields(pid)
                if fields:
                    name, hwm = fields
                    peaks[name] = max(peaks.get(name, 0), hwm)
            done.wait(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    printed = []
    reader = threading.Thread(target=lambda: printed.extend(process.stdout))
    reader.start()
    # wait4 rather than Popen.wait: its rusage covers the tools the program waited for.
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    done.set()
    sampler.join()
    reader.join()
    seconds = time.monotonic() - start
    outputs = [p.name for p in inbox.iterdir() if "_velkcompressed" in p.name]
    failed = [line.strip() for line in printed if "failed (" in line or "ошибка (" in line]
    outcome = f"{len(outputs)} of {len(sources)} compressed" if len(sources) > 1 else (
        "compressed" if outputs else "no output")
    if failed:
        outcome += f", {len(failed)} failed: " + failed[-1][:70]
    elif process.returncode != 0:
        outcome += f", exit {process.returncode}"
    return peaks, usage.ru_maxrss * 1024, seconds, outcome


def parse_program(text: str):
    label, _, path = text.rpartition("=")
    return (label or Path(path).parent.parent.parent.name, Path(path))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--baseline", action="append", default=[],
                        help="[LABEL=]PROGRAM measured beside --exe, row by row")
    parser.add_argument("--out", required=True)
    parser.add_argument("--formats", default=",".join(FORMATS))
    parser.add_argument("--sizes", default="12,24,50")
    parser.add_argument("--no-batch", action="store_true",
                        help="leave out the batch of bench/batch.sh's corpus")
    parser.add_argument("--table", help="also write the table here")
    args = parser.parse_args()
    out = Path(args.out)
    formats = [f for f in args.formats.split(",") if f]
    sizes = [int(s) for s in args.sizes.split(",") if s]
    programs = [parse_program(b) for b in args.baseline] + [("this", Path(args.exe))]
    runs = [(fmt.upper(), label, [source], GOAL[fmt])
            for fmt, label, _, source in corpus(out, formats, sizes)]
    if not args.no_batch:
        import batch  # the batch benchmark's corpus, built once into bench/out/batch-corpus
        files = batch.build_corpus(out / "batch-corpus")
        runs.append(("batch", f"{len(files)} files", files, BATCH_GOAL))

    header = ("source", "size", "file MB", "program", "program MiB", "largest tool MiB",
              "largest process MiB", "goal MiB", "met", "seconds", "outcome")
    rows = []
    load = os.getloadavg()
    print(f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}", flush=True)
    print("\t".join(header), flush=True)
    largest_by = {}
    for kind, label, sources, goal in runs:
        megabytes = sum(s.stat().st_size for s in sources) / 1e6
        for name, exe in programs:
            peaks, largest, seconds, outcome = measure(exe, sources, out / f"memory-run-{os.getpid()}")
            own = peaks.pop("VelkCompressor", 0)
            tool = max(peaks.items(), key=lambda item: item[1], default=("-", 0))
            largest = max(largest, own, tool[1])
            largest_by[(kind, label, name)] = largest
            row = (kind, label, f"{megabytes:.1f}", name, f"{own / MiB:.0f}",
                   f"{tool[1] / MiB:.0f} {tool[0]}" if tool[1] else "-",
                   f"{largest / MiB:.0f}", f"{goal // MiB}", "yes" if largest <= goal else "NO",
                   f"{seconds:.1f}", outcome)
            rows.append(row)
            print("\t".join(row), flush=True)
    shutil.rmtree(out / f"memory-run-{os.getpid()}", ignore_errors=True)

    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    lines = [f"load average before: {load[0]:.2f} {load[1]:.2f} {load[2]:.2f}; "
             f"after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}"]
    lines += ["  ".join(str(v).ljust(w) for v, w in zip(r, widths)).rstrip()
              for r in [header] + rows]
    if len(programs) > 1:
        first, last = programs[0][0], programs[-1][0]
        lines.append(f"\nlargest process, {last} / {first}:")
        for kind, label, _, _ in runs:
            before, after = largest_by[(kind, label, first)], largest_by[(kind, label, last)]
            lines.append(f"  {kind} {label}: {after / MiB:.0f} / {before / MiB:.0f} MiB = "
                         f"{after / before:.2f}")
    mine = [r for r in rows if r[3] == programs[-1][0]]
    missed = [r for r in mine if r[8] != "yes"]
    lines.append(f"\ngoals met by {programs[-1][0]}: {len(mine) - len(missed)} of {len(mine)}")
    table = "\n".join(lines)
    print("\n" + table)
    (out / "latest-memory.txt").write_text(table + "\n")
    if args.table:
        Path(args.table).write_text(table + "\n")


if __name__ == "__main__":
    main()
