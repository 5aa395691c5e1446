#!/usr/bin/env python3
"""Memory benchmark: the peak resident memory of one `--headless --once --originals keep`
run of the program on a single source of 12, 24 and 50 megapixels per format, printed
beside the goals. Run through bench/memory.sh, which builds the program; see
bench/README.md.

Standard library only; the sources are made with the `vips` command-line tool.
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
    "heic": ("heic", "[Q=60,compression=hevc,strip]"),
}
MiB = 1024 * 1024
GOAL = {"jpeg": 256 * MiB, "png": 256 * MiB, "webp": 256 * MiB, "avif": 1024 * MiB,
        "heic": 1024 * MiB}


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


def resident_high_water(pid: int):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def measure(exe: Path, source: Path, work: Path):
    """Runs the program once on a folder holding only `source`. Returns the program's
    own peak (its VmHWM, read every 20 ms), the peak of the largest process of the run
    (the program or one of its tools, from wait4), the wall time and the outcome."""
    shutil.rmtree(work, ignore_errors=True)
    inbox = work / "inbox"
    inbox.mkdir(parents=True)
    shutil.copy(source, inbox / source.name)
    env = dict(os.environ, HOME=str(work), VELK_CONFIG_DIR=str(work / "config"),
               VELK_LOG_DIR=str(work / "logs"))
    env.pop("VELK_TOOL_DIR", None)
    start = time.monotonic()
    process = subprocess.Popen(
        [str(exe), "--headless", "--watch", str(inbox), "--once", "--originals", "keep",
         "--format", "automatic"],
        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    own = [0]
    done = threading.Event()

    def sample():
        while not done.is_set():
            value = resident_high_water(process.pid)
            if value:
                own[0] = max(own[0], value)
            done.wait(0.02)

    sampler = threading.Thread(target=sample)
    sampler.start()
    # wait4 rather than Popen.wait: its rusage covers the tools the program waited for.
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    done.set()
    sampler.join()
    seconds = time.monotonic() - start
    outputs = [p.name for p in inbox.iterdir() if "_velkcompressed" in p.name]
    log = (work / "logs" / "native.log")
    outcome = "compressed" if outputs else "no output"
    if process.returncode != 0:
        outcome = f"exit {process.returncode}"
        if log.exists():
            failures = [line for line in log.read_text(errors="replace").splitlines()
                        if "Process error" in line]
            if failures:
                outcome += ": " + failures[-1].split(": ", 2)[-1][:60]
    return own[0], usage.ru_maxrss * 1024, seconds, outcome


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--formats", default=",".join(FORMATS))
    parser.add_argument("--sizes", default="12,24,50")
    args = parser.parse_args()
    out = Path(args.out)
    formats = [f for f in args.formats.split(",") if f]
    sizes = [int(s) for s in args.sizes.split(",") if s]
    sources = corpus(out, formats, sizes)

    rows = []
    header = ("source", "size", "file MB", "program MiB", "largest process MiB", "goal MiB",
              "met", "seconds", "outcome")
    print("\t".join(header), flush=True)
    for fmt, label, pixels, source in sources:
        own, largest, seconds, outcome = measure(Path(args.exe), source, out / "memory-run")
        goal = GOAL[fmt]
        row = (fmt.upper(), label, f"{source.stat().st_size / 1e6:.1f}", f"{own / MiB:.0f}",
               f"{largest / MiB:.0f}", f"{goal // MiB}", "yes" if largest <= goal else "NO",
               f"{seconds:.1f}", outcome)
        rows.append(row)
        print("\t".join(row), flush=True)
    shutil.rmtree(out / "memory-run", ignore_errors=True)

    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    table = "\n".join("  ".join(str(v).ljust(w) for v, w in zip(r, widths))
                      for r in [header] + rows)
    print("\n" + table)
    (out / "latest-memory.txt").write_text(table + "\n")
    missed = [r for r in rows if r[6] != "yes"]
    print(f"\ngoals met: {len(rows) - len(missed)} of {len(rows)}")


if __name__ == "__main__":
    main()
