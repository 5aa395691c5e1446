#!/usr/bin/env python3
"""Batch benchmark: one `--headless --once --originals keep` over a photo folder of all
five formats, with one file at a time and with two at once. Run through bench/batch.sh,
which builds the program (or takes --program); see bench/README.md.

Standard library only; the corpus is made with `vips`, `heif-enc` and headless `chromium`.
"""
import argparse
import datetime
import json
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import encoders  # noqa: E402  (the encoder benchmark's corpus helpers)
import headless  # noqa: E402

MATE = encoders.MATE
ADWAITA = encoders.ADWAITA
# Photographs to cut from, all of them from `mate-backgrounds`.
PHOTOS = ["nature/Aqua.jpg", "nature/Blinds.jpg", "nature/Dune.jpg", "nature/Garden.jpg",
          "nature/LadyBird.jpg", "nature/RainDrops.jpg", "nature/Storm.jpg",
          "nature/TwoWings.jpg", "nature/Wood.jpg", "nature/YellowFlower.jpg",
          "nature/GreenMeadow.jpg", "abstract/Elephants_5640x3172.jpg"]
ELEPHANTS = "abstract/Elephants_5640x3172.jpg"
# Camera and phone frame sizes.
FRAMES = {2: (1728, 1152), 3: (2048, 1536), 5: (2736, 1824), 8: (3264, 2448), 12: (4032, 3024)}
# How each format's photos are saved: as a camera, a phone or a download would have them.
# HEIC goes through heif-enc, whose x265 preset can be chosen: libvips leaves x265 at its
# slow default, a minute per megapixel on a busy machine.
HEIC_ENC = ["heif-enc", "-p", "preset=fast", "-p", "chroma=420"]
SAVE = {
    "jpg": "[Q={q},subsample_mode=on,strip]",
    "webp": "[Q={q},strip]",
    "avif": "[Q={q},compression=av1,effort=2,strip]",
}
# (format, megapixels, quality) per photo; a folder is mostly JPEG, then phone HEIC.
PHOTO_SET = (
    [("jpg", mp, q) for mp, q in ((2, 92), (2, 88), (2, 95), (2, 90), (2, 85), (2, 92),
                                  (3, 92), (3, 90), (3, 85), (3, 95), (3, 92),
                                  (5, 92), (5, 90), (5, 95), (5, 88),
                                  (8, 92), (8, 88), (8, 95), (12, 92), (12, 90))] +
    [("heic", mp, q) for mp, q in ((2, 85), (3, 85), (3, 80), (5, 82), (8, 85), (12, 80))] +
    [("webp", mp, q) for mp, q in ((2, 85), (2, 80), (2, 90), (3, 90), (3, 75))] +
    [("avif", mp, q) for mp, q in ((2, 65), (2, 55), (3, 60), (3, 70))]
)
# Graphics as shipped, byte copies: icons and flat wallpapers.
GRAPHICS = [
    ADWAITA / "256x256/mimetypes/x-package-repository.png",
    ADWAITA / "512x512/devices/camera-web.png",
    ADWAITA / "512x512/devices/computer.png",
    MATE / "desktop/Stripes.png",
    MATE / "abstract/Silk.png",
    MATE / "abstract/Spring.png",
]
# Screenshots of the encoder benchmark's page, window sizes of a laptop and a desktop.
SCREENS = [(1280, 800), (1440, 900), (1920, 1080)]


def layout():
    return {"version": 1, "photos": PHOTOS, "frames": FRAMES, "save": SAVE, "heic": HEIC_ENC,
            "photo_set": PHOTO_SET, "graphics": [str(g) for g in GRAPHICS], "screens": SCREENS,
            "page": encoders.corpus_layout(False)["page"]}


def make_photo(target, index, mp, scratch):
    """A frame of mp megapixels: one photograph where it is large enough, else four
    joined 2x2 so that every pixel still has a camera's detail."""
    width, height = FRAMES[mp]
    if mp >= 5 and index % 3 == 0:
        # The one photograph larger than 12 MP, at 16:9 as a phone's wide mode writes it.
        width, height = int((width * height * 16 / 9) ** 0.5), int((width * height * 9 / 16) ** 0.5)
        encoders.run(["vips", "thumbnail", MATE / ELEPHANTS, target, width, "--height", height,
                      "--crop", "centre"])
        return
    if mp <= 3:
        photo = PHOTOS[index % len(PHOTOS)]
        encoders.run(["vips", "thumbnail", MATE / photo, target, width, "--height", height,
                      "--crop", "centre"])
        return
    parts = []
    for k in range(4):
        part = scratch / f"part{k}.v"
        photo = PHOTOS[(index + 3 * k) % (len(PHOTOS) - 1)]
        encoders.run(["vips", "thumbnail", MATE / photo, part, width // 2, "--height", height // 2,
                      "--crop", "centre"])
        parts.append(str(part))
    encoders.run(["vips", "arrayjoin", " ".join(parts), target, "--across", 2])
    for part in parts:
        os.remove(part)


def build_corpus(folder):
    """Builds the corpus into folder/files once; reuses it while its recipe is unchanged."""
    stamp = folder / "corpus.json"
    wanted = json.loads(json.dumps(layout()))
    if stamp.exists() and json.loads(stamp.read_text()).get("layout") == wanted:
        return sorted((folder / "files").iterdir())
    if folder.exists():
        shutil.rmtree(folder)
    files, scratch = folder / "files", folder / "scratch"
    files.mkdir(parents=True)
    scratch.mkdir()
    print(f"building the batch corpus in {folder} (once)…", flush=True)
    for index, (fmt, mp, quality) in enumerate(PHOTO_SET):
        frame = scratch / "frame.v"
        make_photo(frame, index, mp, scratch)
        name = f"photo-{index + 1:02d}-{mp}mp.{fmt}"
        if fmt == "heic":
            lossless = scratch / "frame.png"
            encoders.run(["vips", "copy", frame, f"{lossless}[compression=1,strip]"])
            encoders.run([*HEIC_ENC, "-q", quality, "-o", files / name, lossless],
                         stdout=subprocess.DEVNULL)
            lossless.unlink()
        else:
            encoders.run(["vips", "copy", frame, str(files / name) + SAVE[fmt].format(q=quality)])
        frame.unlink()
    for path in GRAPHICS:
        shutil.copyfile(path, files / f"graphic-{path.stem}.png")
    page = scratch / "page.html"
    page.write_text(encoders.page_html())
    for width, height in SCREENS:
        target = files / f"screen-{width}x{height}.png"
        encoders.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                      "--no-first-run", "--disable-background-networking",
                      "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                      f"--user-data-dir={scratch / 'chromium-profile'}", f"--screenshot={target}",
                      f"--window-size={width},{height}", page.resolve().as_uri()],
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        if not target.exists():
            raise SystemExit(f"chromium wrote no screenshot {target}")
    shutil.rmtree(scratch)
    stamp.write_text(json.dumps({"layout": wanted}, indent=1))
    return sorted(files.iterdir())


def describe(sources):
    """One record per source: its format, bytes and megapixels."""
    items = []
    for path in sources:
        width, height = encoders.image_size(path)
        items.append({"name": path.name, "path": path, "format": path.suffix[1:].upper(),
                      "bytes": path.stat().st_size, "mp": width * height / 1e6})
    return items


def batch_run(exe, items, base, jobs):
    folder = base / "folder"
    folder.mkdir(parents=True)
    for item in items:
        shutil.copyfile(item["path"], folder / item["name"])
    extra = ["--jobs", str(jobs)] if jobs else []
    result = headless.run_once(exe, folder, base, extra)
    result["folder"] = folder
    result["outputs"] = headless.outputs_in(folder)
    result["strays"] = headless.strays_in(folder, {item["name"] for item in items})
    return result


def saved(items, outputs, formats=None):
    """1 - bytes after / bytes before over the items (a source left alone counts as is)."""
    before = after = 0
    for item in items:
        if formats and item["format"] not in formats:
            continue
        name = headless.output_for(outputs, item["name"])
        before += item["bytes"]
        after += outputs[name][0] if name else item["bytes"]
    return 100 * (1 - after / before) if before else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--keep", action="store_true", help="keep the runs' folders")
    args = parser.parse_args()

    items = describe(build_corpus(args.out / "batch-corpus"))
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    work = args.out / f"batch-{stamp}"
    parallel = headless.help_offers(args.exe, "--jobs")
    plan = [1, 2] if parallel else [None]

    lines = []
    by_format = {}
    for item in items:
        count, mp = by_format.get(item["format"], (0, 0.0))
        by_format[item["format"]] = (count + 1, mp + item["mp"])
    lines.append(f"Batch benchmark {stamp}: {args.exe}")
    lines.append(f"corpus: {len(items)} files, {sum(i['mp'] for i in items):.1f} MP, "
                 f"{sum(i['bytes'] for i in items) / 1e6:.1f} MB: " +
                 ", ".join(f"{f} {c} ({mp:.1f} MP)" for f, (c, mp) in sorted(by_format.items())))
    if not parallel:
        lines.append("the program's --help has no --jobs: one run, its own (one file at a time)")
    print("\n".join(lines), flush=True)

    runs = {}
    for jobs in plan:
        label = f"N={jobs}" if jobs else "N=1 (no --jobs)"
        load = os.getloadavg()[0]
        print(f"running {label}…", flush=True)
        result = batch_run(args.exe, items, work / (f"jobs{jobs}" if jobs else "plain"), jobs)
        result["load"] = load
        runs[label] = result
        line = (f"  {label:<16} wall {result['wall']:7.1f} s, CPU {result['cpu']:7.1f} s "
                f"({result['cpu'] / result['wall']:.2f} cores), load {load:.2f} before, "
                f"exit {result['rc']}, {len(result['outputs'])} outputs, saved "
                f"{saved(items, result['outputs']):.1f}%")
        print(line, flush=True)
        lines.append(line)

    problems, notes = [], []
    for label, result in runs.items():
        if result["rc"] != 0:
            tail = result["output"].strip().splitlines()[-3:]
            problems.append(f"{label} exited with {result['rc']}: {' | '.join(tail)}")
        if result["strays"]:
            problems.append(f"{label} left {', '.join(result['strays'])}")
        # A source the program cannot make smaller is left alone: an outcome, not a fault.
        alone = [i["name"] for i in items if not headless.output_for(result["outputs"], i["name"])]
        if alone:
            notes.append(f"{label}: no smaller output, left as they were: {', '.join(alone)}")

    first = next(iter(runs.values()))
    lines.append("saved per format: " + ", ".join(
        f"{f} {saved(items, first['outputs'], {f}):.1f}%" for f in sorted(by_format)))
    if parallel:
        one, two = runs["N=1"], runs["N=2"]
        ratio = two["wall"] / one["wall"]
        names = sorted(set(one["outputs"]) | set(two["outputs"]))
        differ = [n for n in names if one["outputs"].get(n) != two["outputs"].get(n)]
        lines.append(f"wall N=2 / N=1: {ratio:.2f} (goal at most 0.60: "
                     f"{'met' if ratio <= 0.60 else 'NOT met'})")
        if differ:
            lines.append(f"outputs: {len(differ)} of {len(names)} differ between N=1 and N=2:")
            for name in differ:
                a, b = one["outputs"].get(name), two["outputs"].get(name)
                lines.append(f"  {name}: N=1 {a[0] if a else 'none'} bytes, "
                             f"N=2 {b[0] if b else 'none'} bytes")
        else:
            lines.append(f"outputs: all {len(names)} identical between N=1 and N=2 (sha256)")
    lines.extend(notes)
    if problems:
        lines.append("problems:")
        lines.extend(f"  {p}" for p in problems)
    lines.append(f"files in {work}")

    text = "\n".join(lines)
    print("\n" + text)
    (work / "table.txt").write_text(text + "\n")
    shutil.copyfile(work / "table.txt", args.out / "latest-batch.txt")
    (work / "runs.json").write_text(json.dumps(
        {label: {k: v for k, v in r.items() if k != "output"} for label, r in runs.items()},
        indent=1, default=str))
    if not args.keep:
        for result in runs.values():
            shutil.rmtree(result["folder"], ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
