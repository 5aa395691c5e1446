#!/usr/bin/env python3
"""Small-files benchmark: many small JPEG and PNG images (a few KB to about 100 KB, all
of distinct bytes) through one `--headless --once --originals keep`. Run through
bench/small-files.sh, which builds the program (or takes --program); see bench/README.md.

Standard library only; the images are cut with `vips` from Debian's photographs, and the
icons are Adwaita's.
"""
import argparse
import concurrent.futures
import datetime
import hashlib
import json
import os
import random
import shutil
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import encoders  # noqa: E402
import headless  # noqa: E402

MATE = encoders.MATE
PHOTOS = ["nature/Aqua.jpg", "nature/Blinds.jpg", "nature/Dune.jpg", "nature/Garden.jpg",
          "nature/LadyBird.jpg", "nature/RainDrops.jpg", "nature/Storm.jpg",
          "nature/TwoWings.jpg", "nature/Wood.jpg", "nature/YellowFlower.jpg"]
FLAT = ["desktop/Stripes.png", "abstract/Silk.png", "desktop/Float-into-MATE.png",
        "desktop/Ubuntu-Mate-Cold-no-logo.png"]
GOAL_SECONDS = 60


def icons():
    """Adwaita's full-colour icons of 2 KB or more, one per distinct content."""
    seen, found = set(), []
    for path in sorted(encoders.ADWAITA.glob("*x*/*/*.png")):
        if path.is_symlink() or path.stat().st_size < 2048:
            continue
        digest = hashlib.sha256(path.read_bytes()).hexdigest()
        if digest not in seen:
            seen.add(digest)
            found.append(path)
    return found


def plan(count):
    """What each file is: half JPEG crops of photographs; half PNG, of which Adwaita's
    icons as shipped (a third at most), the rest small crops of photographs and flat
    wallpapers."""
    rng = random.Random(20261208)
    available = icons()
    jobs = []
    for index in range(count):
        name = f"small-{index + 1:04d}"
        if index % 2 == 0:
            width = rng.randrange(240, 720)
            height = width * rng.choice((2, 3, 3, 4)) // 4
            jobs.append(("crop", f"{name}.jpg", rng.choice(PHOTOS), width, height,
                         f"[Q={rng.randrange(72, 96)},strip]", rng.random(), rng.random()))
        elif available and index % 6 == 1:
            jobs.append(("copy", f"{name}.png", available.pop(0)))
        else:
            flat = index % 6 == 3
            side = rng.randrange(128, 320) if flat else rng.randrange(80, 220)
            jobs.append(("crop", f"{name}.png", rng.choice(FLAT if flat else PHOTOS), side,
                         side * 3 // 4, "[compression=6,strip]", rng.random(), rng.random()))
    return jobs


def build_corpus(folder, count):
    stamp = folder / "corpus.json"
    wanted = {"version": 2, "count": count, "photos": PHOTOS, "flat": FLAT}
    if stamp.exists() and json.loads(stamp.read_text()).get("layout") == wanted:
        return sorted((folder / "files").iterdir())
    if folder.exists():
        shutil.rmtree(folder)
    files = folder / "files"
    files.mkdir(parents=True)
    print(f"making {count} small images in {folder} (once)…", flush=True)
    sizes = {}
    for relative in PHOTOS + FLAT:
        sizes[relative] = encoders.image_size(MATE / relative)

    def make(job, shift=0):
        if job[0] == "copy":
            shutil.copyfile(job[2], files / job[1])
            return
        _, name, source, width, height, options, fx, fy = job
        full_w, full_h = sizes[source]
        left = min(int(fx * (full_w - width)) + shift, full_w - width)
        top = int(fy * (full_h - height))
        encoders.run(["vips", "crop", MATE / source, str(files / name) + options, left, top,
                      width, height])

    jobs = plan(count)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        list(pool.map(make, jobs))
    # Distinct bytes: a crop that happens to repeat another is cut again a little aside.
    seen = {}
    for job in jobs:
        for shift in range(1, 20):
            digest = hashlib.sha256((files / job[1]).read_bytes()).hexdigest()
            if digest not in seen:
                break
            make(job, shift)
        else:
            raise SystemExit(f"{job[1]} repeats {seen[digest]}")
        seen[digest] = job[1]
    stamp.write_text(json.dumps({"layout": wanted}, indent=1))
    return sorted(files.iterdir())


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--exe", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("count", type=int, nargs="?", default=1200)
    args = parser.parse_args()
    if args.count < 1:
        parser.error("COUNT must be at least 1")

    sources = build_corpus(args.out / f"small-corpus-{args.count}", args.count)
    total = sum(p.stat().st_size for p in sources)
    sizes = sorted(p.stat().st_size for p in sources)
    jpeg = sum(1 for p in sources if p.suffix == ".jpg")
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    base = args.out / f"small-files-{stamp}"
    folder = base / "folder"
    folder.mkdir(parents=True)
    for path in sources:
        shutil.copyfile(path, folder / path.name)

    lines = [f"Small-files benchmark {stamp}: {args.exe}",
             f"{len(sources)} files ({jpeg} JPEG, {len(sources) - jpeg} PNG), {total / 1e6:.1f} MB, "
             f"{sizes[0] / 1e3:.1f} KB to {sizes[-1] / 1e3:.1f} KB, median "
             f"{sizes[len(sizes) // 2] / 1e3:.1f} KB"]
    print("\n".join(lines) + "\nrunning…", flush=True)
    load = os.getloadavg()[0]
    result = headless.run_once(args.exe, folder, base)
    outputs = headless.outputs_in(folder)
    strays = headless.strays_in(folder, {p.name for p in sources})
    after = sum(size for size, _ in outputs.values()) + sum(
        p.stat().st_size for p in sources if not headless.output_for(outputs, p.name))
    wall = result["wall"]
    lines.append(f"wall {wall:.1f} s, {1000 * wall / len(sources):.1f} ms per file; CPU "
                 f"{result['cpu']:.1f} s ({result['cpu'] / wall:.2f} cores); load {load:.2f} "
                 f"before; exit {result['rc']}")
    lines.append(f"{len(outputs)} outputs, {len(sources) - len(outputs)} sources left as they "
                 f"were; saved {100 * (1 - after / total):.1f}%")
    lines.append(f"goal at most {GOAL_SECONDS} s for 1,200 files: " +
                 ("met" if wall <= GOAL_SECONDS * len(sources) / 1200 else "NOT met") +
                 ("" if len(sources) == 1200 else " (scaled to this count)"))
    if result["rc"] != 0:
        lines.append("exit status not 0: " + " | ".join(result["output"].strip().splitlines()[-3:]))
    if strays:
        lines.append(f"left behind: {', '.join(strays[:10])}")
    text = "\n".join(lines)
    print("\n" + text)
    (base / "table.txt").write_text(text + "\n")
    shutil.copyfile(base / "table.txt", args.out / "latest-small-files.txt")
    shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
