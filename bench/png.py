#!/usr/bin/env python3
"""PNG benchmark: the program's PNG path, in seconds per megapixel, on a corpus of PNGs
built from Debian packages; optionally against a second (baseline) build of the program
in the same run. Run through bench/png.sh; see bench/README.md.

Standard library only; reuses the program runner and helpers of bench/encoders.py.
"""
import argparse
import datetime
import json
import os
import resource
import shutil
import subprocess
import sys
import time
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


def full_oxipng_arguments(invocations, folder):
    """The arguments of the program's full oxipng run, less the file: those it gave oxipng
    for pngquant's file, which get the same as the lossless rewrite."""
    for i in invocations:
        if i["tool"] == "oxipng" and role_of(i["args"][-1], folder) == "pngquant":
            return i["args"][:-1]
    return ["-q", "-o", "4", "--strip", "safe"]


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_one(label, exe, item, toolwrap, work, same_pixels):
    """One run of the program on a folder holding one file: a row of the table."""
    base = work / label / item["name"]
    keep = base / "keep"
    keep.mkdir(parents=True)
    cpu_before = children_cpu()
    result = enc.engine_run("run", [item], "automatic", exe, toolwrap, base,
                            extra_env={"VELK_BENCH_KEEP_DIR": str(keep)})
    cpu = children_cpu() - cpu_before
    if result["rc"] != 0:
        raise SystemExit(f"{label} exited with {result['rc']}: {result['stderr'][-2000:]}")
    size_lines = []
    if (keep / "sizes.log").exists():
        for line in (keep / "sizes.log").read_text().splitlines():
            tool, end, path, size = line.split("\t")
            size_lines.append((tool, float(end), path, int(size)))
    (r,) = result["records"]
    folder, begin, end = enc.scratch_folders([item], result["events"]).get(
        item["name"], (None, None, None))
    sizes = candidate_sizes(folder, size_lines)
    winner = smallest(sizes)
    mine = [i for i in result["invocations"] if role_of(i["args"][-1], folder)]
    full = [i for i in mine if i["tool"] == "oxipng" and role_of(i["args"][-1], folder) == "oxipng"]
    row = {"name": item["name"], "mp": item["mp"], "cpu_s": cpu,
           "engine_s": (end - begin) if begin is not None and end is not None else None,
           "out_bytes": r["out_bytes"] if r["out_bytes"] is not None else r["bytes"],
           "sizes": sizes, "winner": winner,
           "skipped": "estimate" in sizes and "oxipng" not in sizes,
           "full_s": sum(i["end"] - i["start"] for i in full) if full else None}
    if row["skipped"]:
        # What the skipped run would have made and cost: the same run on the kept base.
        real_oxipng = exe.parent.parent / "Resources" / "bin" / "oxipng"
        source = [p for _, _, p, _ in size_lines if role_of(p, folder) == "png-source"]
        trial = base / f"{item['name']}.full-oxipng.png"
        shutil.copyfile(keep / Path(source[0]).name, trial)
        started = time.perf_counter()
        enc.run([real_oxipng, *full_oxipng_arguments(mine, folder), trial])
        row["full_s"] = time.perf_counter() - started
        would = dict(sizes, oxipng=trial.stat().st_size)
        row["would_be"] = {"winner": smallest(would), "oxipng": would["oxipng"],
                           "bytes_lost": sizes[winner] - would[smallest(would)]}
    if r["output"] is not None and winner in ("base", "oxipng"):
        row["same_pixels"] = same_pixels(item["path"], r["output"])
    return row


def run_interleaved(programs, items, toolwrap, work, same_pixels):
    """Every program on every file, one file at a time, the programs' order rotating from
    file to file: a change of the machine's load falls on all of them alike."""
    runs = [{"label": label, "exe": str(exe), "rows": {}} for label, exe in programs]
    for k, item in enumerate(items):
        for j in range(len(programs)):
            index = (j + k) % len(programs)
            label, exe = programs[index]
            print(f"  {item['name']}: {label}", flush=True)
            runs[index]["rows"][item["name"]] = run_one(label, exe, item, toolwrap, work,
                                                        same_pixels)
    return runs


def with_full_lossless(row):
    """The row's candidate sizes with the full lossless run's file, made or would-be."""
    sizes = dict(row["sizes"])
    if row["skipped"]:
        sizes["oxipng"] = row["would_be"]["oxipng"]
    return sizes


def threshold_study(rows, thresholds):
    """For each threshold t of estimate / pngquant's file above which the full lossless run
    is skipped: how many files skip it, how often the winner changes, the bytes that costs
    and the full runs' seconds it saves."""
    lines = []
    known = [r for r in rows if "estimate" in r["sizes"] and "quantised" in r["sizes"]
             and r["full_s"] is not None]
    for t in thresholds:
        skipped = changed = lost = 0
        saved = 0.0
        for r in known:
            sizes = with_full_lossless(r)
            if sizes["estimate"] <= t * sizes["quantised"]:
                continue
            skipped += 1
            saved += r["full_s"]
            without = {c: v for c, v in sizes.items() if c != "oxipng"}
            if smallest(without) != smallest(sizes):
                changed += 1
                lost += sizes[smallest(without)] - sizes[smallest(sizes)]
        name = "never" if t == float("inf") else f"{t:.2f}"
        lines.append(f"  skip above {name:>5}: {skipped:2d} of {len(known)} files skip it, "
                     f"winner changes on {changed} ({lost} B more), full runs' time saved "
                     f"{saved:.1f} s")
    return lines


def report(items, runs, goals):
    out = []
    labels = [run["label"] for run in runs]
    head = f"{'file':<14} {'size':>10} {'MP':>6}"
    for label in labels:
        head += f" | {label[:9] + ' s/MP':>14} {'cpu/MP':>6} {'bytes':>9} {'winner':<8}"
    head += " | estimate/pngquant  skip changed winner?"
    out.append(head)
    out.append("-" * len(head))
    for item in items:
        line = f"{item['name']:<14} {item['dims']:>10} {item['mp']:>6.2f}"
        for run in runs:
            row = run["rows"][item["name"]]
            s_mp = (row["engine_s"] / row["mp"]) if row["engine_s"] is not None else float("nan")
            line += (f" | {s_mp:>14.2f} {row['cpu_s'] / row['mp']:>6.2f} {row['out_bytes']:>9} "
                     f"{row['winner'] or '-':<8}")
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
    out.append("s/MP: the program's time per file (wall) per megapixel; cpu/MP: CPU seconds of "
               "the whole run (start-up, the program and its tools) per megapixel")
    total_mp = sum(i["mp"] for i in items)
    totals = {}
    for run in runs:
        rows = list(run["rows"].values())
        engine = sum(r["engine_s"] or 0 for r in rows)
        cpu = sum(r["cpu_s"] for r in rows)
        worst = max(rows, key=lambda r: (r["engine_s"] or 0) / r["mp"])
        size = sum(r["out_bytes"] for r in rows)
        totals[run["label"]] = (engine, cpu, size)
        lossless = [r for r in rows if "same_pixels" in r]
        out.append(f"{run['label']}: {engine:.1f} s over {total_mp:.1f} MP = "
                   f"{engine / total_mp:.2f} s/MP ({cpu:.1f} s CPU); slowest "
                   f"{(worst['engine_s'] or 0) / worst['mp']:.2f} s/MP ({worst['name']}); "
                   f"bytes {size}; lossless winners with the source's pixels: "
                   f"{sum(1 for r in lossless if r['same_pixels'])} of {len(lossless)}")
    first = labels[0]
    for label in labels[1:]:
        (t0, c0, b0), (t1, c1, b1) = totals[first], totals[label]
        out.append(f"{label} vs {first}: time x{t1 / t0:.3f}, CPU x{c1 / c0:.3f}, "
                   f"bytes x{b1 / b0:.4f}, bytes x time {b1 * t1 / (b0 * t0):.3f}")
    for run in runs:
        rows = list(run["rows"].values())
        skipped = [r for r in rows if r["skipped"]]
        changed = [r for r in skipped if r["would_be"]["winner"] != r["winner"]]
        out.append(f"{run['label']}: full oxipng skipped on {len(skipped)} of {len(rows)} files; "
                   f"the winner would have differed on {len(changed)}")
    out.append(f"{labels[-1]}: the rule that skips the full lossless run, at other thresholds "
               f"(the program's is 1.50):")
    out.extend(threshold_study(list(runs[-1]["rows"].values()),
                               (1.1, 1.2, 1.3, 1.4, 1.5, 1.75, 2.0, 3.0, float("inf"))))
    last = list(runs[-1]["rows"].values())
    worst = max((r["engine_s"] or 0) / r["mp"] for r in last)
    out.append(f"goal every PNG <= 2.0 s/MP: {'met' if worst <= 2.0 else 'NOT met'} "
               f"({worst:.2f})")
    if len(runs) > 1:
        (t0, _, b0), (t1, _, b1) = totals[first], totals[labels[-1]]
        out.append(f"goal bytes <= {goals['bytes']:.2f} x {first}: "
                   f"{'met' if b1 <= goals['bytes'] * b0 else 'NOT met'} (x{b1 / b0:.4f})")
        out.append(f"goal time <= {goals['time']:.2f} x {first}: "
                   f"{'met' if t1 <= goals['time'] * t0 else 'NOT met'} (x{t1 / t0:.3f})")
    lossless = [r for r in last if "same_pixels" in r]
    out.append(f"goal lossless winners decode to the source's pixels: "
               f"{'met' if all(r['same_pixels'] for r in lossless) else 'NOT met'}")
    return "\n".join(out)


def program_argument(text, default_label):
    label, sep, path = text.partition("=")
    return (label, Path(path)) if sep and "/" not in label else (default_label, Path(text))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--baseline", action="append", default=[],
                        help="[LABEL=]PROGRAM, repeatable; the first is the reference")
    parser.add_argument("--toolwrap", type=Path, required=True)
    parser.add_argument("--samepixels", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--files", help="comma-separated names: run only these files")
    parser.add_argument("--goal-bytes", type=float, default=0.93)
    parser.add_argument("--goal-time", type=float, default=0.75)
    args = parser.parse_args()

    items = build_corpus(args.out / "png-corpus")
    if args.files:
        items = [i for i in items if i["name"] in args.files.split(",")]
    programs = [program_argument(b, "baseline" if k == 0 else f"baseline{k + 1}")
                for k, b in enumerate(args.baseline)]
    programs.append(program_argument(args.program, "program"))
    if len({label for label, _ in programs}) != len(programs):
        raise SystemExit("two programs have the same label")
    programs = [(label, path.resolve()) for label, path in programs]
    for label, path in programs:
        print(f"{label}: {path}", flush=True)

    def same_pixels(reference, candidate):
        done = subprocess.run([str(args.samepixels), str(reference), str(candidate)],
                              capture_output=True, text=True)
        return done.stdout.strip() == "same"

    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    work = args.out / f"png-run-{stamp}"
    load = os.getloadavg()[0]
    runs = run_interleaved(programs, items, args.toolwrap, work, same_pixels)
    text = (f"PNG benchmark {stamp}: {os.cpu_count()} cores, load average {load:.2f} at start, "
            f"{os.getloadavg()[0]:.2f} at the end\n" +
            "\n".join(f"{label}: {path}" for label, path in programs) + "\n\n" +
            report(items, runs, {"bytes": args.goal_bytes, "time": args.goal_time}))
    print(text)
    (work / "table.txt").write_text(text + "\n")
    (args.out / "latest-png-table.txt").write_text(text + "\n")
    (work / "results.json").write_text(json.dumps(runs, indent=1, default=str))


if __name__ == "__main__":
    main()
