#!/usr/bin/env python3
"""PNG benchmark: the program's PNG path, in seconds per megapixel, on a corpus of PNGs
built from Debian packages; optionally against a second (baseline) build of the program
in the same run. Run through bench/png.sh; see bench/README.md.

Standard library only; reuses the program runner and helpers of bench/encoders.py.
"""
import argparse
import datetime
import json
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import encoders as enc  # noqa: E402

MATE = enc.MATE
ADWAITA = enc.ADWAITA

# (name, kind, how): "copy" of a shipped file, "photo" resized to a long edge and saved as
# PNG, "join" of four artworks resized to 2560x1440 and tiled 2x2, "screen" rendered by
# headless Chromium at (width, height, device scale).
CORPUS = [
    ("icon-trash", "icon", ("copy", ADWAITA / "256x256/status/user-trash-full.png")),
    ("icon-camera", "icon", ("copy", ADWAITA / "512x512/devices/camera-web.png")),
    ("icon-harddisk", "icon", ("copy", ADWAITA / "512x512/devices/drive-harddisk.png")),
    ("art-arc", "artwork", ("copy", MATE / "abstract/Arc-Colors-Transparent-Wallpaper.png")),
    ("art-gulp", "artwork", ("copy", MATE / "abstract/Gulp.png")),
    ("art-stripes", "artwork", ("copy", MATE / "desktop/MATE-Stripes-Dark.png")),
    ("art-warm", "artwork", ("copy", MATE / "desktop/Ubuntu-Mate-Warm-no-logo.png")),
    ("art-large", "artwork", ("join", [MATE / "abstract" / f"{n}.png" for n in
                                       ("Arc-Colors-Transparent-Wallpaper", "Flow", "Gulp",
                                        "Silk")])),
    ("screen-medium", "screenshot", ("screen", (1280, 800, 1))),
    ("screen-large", "screenshot", ("screen", (1920, 1080, 1))),
    ("screen-hidpi", "screenshot", ("screen", (2048, 1280, 2))),
    ("photo", "photo", ("photo", MATE / "abstract/Elephants_5640x3172.jpg", 2560)),
]
CANDIDATES = ("base", "oxipng", "pngquant")  # in the program's order: ties go to the earlier


def build_corpus(folder):
    layout = {"version": 1, "corpus": [[n, k, repr(h)] for n, k, h in CORPUS],
              "page": enc.hashlib.sha256(enc.page_html().encode()).hexdigest()}
    stamp = folder / "corpus.json"
    if not (stamp.exists() and json.loads(stamp.read_text()).get("layout") == layout):
        if folder.exists():
            shutil.rmtree(folder)
        (folder / "files").mkdir(parents=True)
        print("building the PNG corpus…", flush=True)
        page = folder / "page.html"
        page.write_text(enc.page_html())
        for name, _, how in CORPUS:
            target = folder / "files" / f"{name}.png"
            if how[0] == "copy":
                shutil.copyfile(how[1], target)
            elif how[0] == "photo":
                enc.run(["vips", "thumbnail", how[1], target, how[2], "--height", how[2],
                         "--size", "down"])
            elif how[0] == "join":
                parts = []
                for k, source in enumerate(how[1]):
                    part = folder / f"part{k}.png"
                    enc.run(["vips", "thumbnail", source, part, 2560, "--height", 1440,
                             "--size", "force"])
                    parts.append(str(part))
                enc.run(["vips", "arrayjoin", " ".join(parts), target, "--across", 2])
                for part in parts:
                    Path(part).unlink()
            else:
                width, height, scale = how[1]
                profile = folder / "chromium-profile"
                enc.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                         "--disable-quic", "--no-first-run", "--disable-background-networking",
                         "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                         f"--user-data-dir={profile}", f"--force-device-scale-factor={scale}",
                         f"--screenshot={target}", f"--window-size={width},{height}",
                         page.resolve().as_uri()], stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL, timeout=180)
                shutil.rmtree(profile, ignore_errors=True)
            if not target.exists():
                raise SystemExit(f"could not make {target}")
        stamp.write_text(json.dumps({"layout": layout}, indent=1))

    items = []
    for name, kind, _ in CORPUS:
        path = folder / "files" / f"{name}.png"
        width, height = enc.image_size(path)
        items.append({"name": name, "kind": kind, "path": path, "bytes": path.stat().st_size,
                      "mp": width * height / 1e6, "dims": f"{width}x{height}"})
    return items


def role_of(path, folder):
    """The scratch role of a file the program handed a tool ("png-source", "oxipng",
    "png-estimate", "pngquant"), or None when it is not in `folder`."""
    path = Path(path)
    if folder is None or path.parent.name != folder:
        return None
    name = path.name
    rest = name[name.find("velk-temp-") + len("velk-temp-"):]
    for role in ("png-source", "png-estimate", "oxipng", "pngquant"):
        if rest.startswith(role + "-"):
            return role
    return None


def candidate_sizes(folder, size_lines):
    """Sizes of the base and of the candidates the program made for one file, from the
    stand-ins' size log."""
    sizes = {}
    for tool, _, path, size in size_lines:
        role = role_of(path, folder)
        if role == "png-source":
            sizes["base"] = size
        elif role == "png-estimate":
            sizes["estimate"] = size
        elif role == "oxipng":
            sizes["oxipng"] = size
        elif role == "pngquant":
            # pngquant's own file first, then oxipng's rewrite of it (the log is in order).
            sizes.setdefault("quantised", size)
            sizes["pngquant"] = size
    return sizes


def smallest(sizes):
    present = [c for c in CANDIDATES if c in sizes]
    return min(present, key=lambda c: (sizes[c], CANDIDATES.index(c))) if present else None


def run_program(label, exe, items, toolwrap, work):
    keep = work / label / "keep"
    keep.mkdir(parents=True)
    print(f"running {label}: {exe}", flush=True)
    result = enc.engine_run(label, items, "automatic", exe, toolwrap, work,
                            extra_env={"VELK_BENCH_KEEP_DIR": str(keep)})
    if result["rc"] != 0:
        raise SystemExit(f"{label} exited with {result['rc']}: {result['stderr'][-2000:]}")
    size_lines = []
    if (keep / "sizes.log").exists():
        for line in (keep / "sizes.log").read_text().splitlines():
            tool, end, path, size = line.split("\t")
            size_lines.append((tool, float(end), path, int(size)))
    real_oxipng = exe.parent.parent / "Resources" / "bin" / "oxipng"
    folders = enc.scratch_folders(items, result["events"])
    rows = {}
    for r in result["records"]:
        folder, begin, end = folders.get(r["name"], (None, None, None))
        sizes = candidate_sizes(folder, size_lines)
        winner = smallest(sizes)
        engine_s = (end - begin) if begin is not None and end is not None else None
        row = {"name": r["name"], "mp": r["mp"], "engine_s": engine_s,
               "out_bytes": r["out_bytes"] if r["out_bytes"] is not None else r["bytes"],
               "sizes": sizes, "winner": winner, "skipped": "estimate" in sizes and
               "oxipng" not in sizes}
        if row["skipped"]:
            # What the skipped run would have made: the same run on the kept base.
            base = [p for _, _, p, _ in size_lines if role_of(p, folder) == "png-source"]
            trial = work / label / f"{r['name']}.full-oxipng.png"
            shutil.copyfile(keep / Path(base[0]).name, trial)
            enc.run([real_oxipng, "-q", "-o", "4", "--strip", "safe", trial])
            would = dict(sizes, oxipng=trial.stat().st_size)
            row["would_be"] = {"winner": smallest(would), "oxipng": would["oxipng"],
                               "bytes_lost": sizes[winner] - would[smallest(would)]}
        rows[r["name"]] = row
    return {"label": label, "exe": str(exe), "wall": result["wall"], "rows": rows}


def report(items, runs):
    out = []
    labels = [run["label"] for run in runs]
    head = f"{'file':<14} {'size':>10} {'MP':>6}"
    for label in labels:
        head += f" | {label + ' s/MP':>13} {'bytes':>9} {'winner':<8}"
    head += " | estimate/pngquant  skip changed winner?"
    out.append(head)
    out.append("-" * len(head))
    for item in items:
        line = f"{item['name']:<14} {item['dims']:>10} {item['mp']:>6.2f}"
        for run in runs:
            row = run["rows"][item["name"]]
            s_mp = (row["engine_s"] / row["mp"]) if row["engine_s"] is not None else float("nan")
            line += f" | {s_mp:>13.2f} {row['out_bytes']:>9} {row['winner'] or '-':<8}"
        last = runs[-1]["rows"][item["name"]]
        sizes = last["sizes"]
        if "estimate" in sizes and "quantised" in sizes:
            line += f" | {sizes['estimate'] / sizes['quantised']:>17.2f}"
        else:
            line += f" | {'-':>17}"
        if last["skipped"]:
            would = last["would_be"]
            line += ("  skipped, no" if would["winner"] == last["winner"] else
                     f"  skipped, YES ({would['winner']}, {would['bytes_lost']} B)")
        out.append(line)
    out.append("")
    total_mp = sum(i["mp"] for i in items)
    for run in runs:
        rows = run["rows"].values()
        engine = sum(r["engine_s"] or 0 for r in rows)
        worst = max((r["engine_s"] or 0) / r["mp"] for r in rows)
        out.append(f"{run['label']}: {engine:.1f} s over {total_mp:.1f} MP = "
                   f"{engine / total_mp:.2f} s/MP; slowest file {worst:.2f} s/MP; "
                   f"bytes {sum(r['out_bytes'] for r in rows)}")
    if len(runs) == 2:
        old, new = ([sum(r["out_bytes"] for r in run["rows"].values()) for run in runs])
        t_old, t_new = ([sum(r["engine_s"] or 0 for r in run["rows"].values()) for run in runs])
        out.append(f"{labels[1]} vs {labels[0]}: time x{t_new / t_old:.2f}, "
                   f"bytes {100 * (new - old) / old:+.3f} %")
    last = runs[-1]["rows"].values()
    skipped = [r for r in last if r["skipped"]]
    changed = [r for r in skipped if r["would_be"]["winner"] != r["winner"]]
    out.append(f"{labels[-1]}: full oxipng skipped on {len(skipped)} of {len(last)} files; "
               f"the winner would have differed on {len(changed)}")
    worst = max((r["engine_s"] or 0) / r["mp"] for r in last)
    out.append(f"goal every PNG <= 2.0 s/MP: {'met' if worst <= 2.0 else 'NOT met'} "
               f"({worst:.2f})")
    if len(runs) == 2:
        ok = abs(new - old) <= 0.005 * old
        out.append(f"goal bytes within 0.5 % of {labels[0]}: {'met' if ok else 'NOT met'}")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", type=Path, required=True)
    parser.add_argument("--baseline", type=Path)
    parser.add_argument("--toolwrap", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--files", help="comma-separated names: run only these files")
    args = parser.parse_args()

    items = build_corpus(args.out / "png-corpus")
    if args.files:
        items = [i for i in items if i["name"] in args.files.split(",")]
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    work = args.out / f"png-run-{stamp}"
    runs = []
    if args.baseline:
        runs.append(run_program("baseline", args.baseline.resolve(), items, args.toolwrap, work))
    runs.append(run_program("program", args.program.resolve(), items, args.toolwrap, work))
    text = report(items, runs)
    print(text)
    (work / "table.txt").write_text(text + "\n")
    (args.out / "latest-png-table.txt").write_text(text + "\n")
    (work / "results.json").write_text(json.dumps(runs, indent=1, default=str))


if __name__ == "__main__":
    main()
