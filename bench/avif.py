#!/usr/bin/env python3
"""AVIF and HEIC benchmark: the program's in-process AVIF and HEIC encodes of the
photos of bench/encoders.sh, in bytes, SSIM and seconds per megapixel, beside
ImageMagick's on the same files; optionally against other builds of the program in the
same run, interleaved file by file. Run through bench/avif.sh; see bench/README.md.

Standard library only; reuses the corpus, the program runner and the helpers of
bench/encoders.py.
"""
import argparse
import datetime
import json
import os
import resource
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import encoders as enc  # noqa: E402

# The program's default ("balanced") qualities; ImageMagick gets the same.
QUALITY = {"avif": enc.AVIF_Q, "heic": 72}
GOAL_S_MP = {"avif": 0.6, "heic": 1.2}


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_program(label, exe, item, fmt, args, work, ssim):
    base = work / label / fmt / item["name"]
    base.mkdir(parents=True)
    before = children_cpu()
    result = enc.engine_run("run", [item], fmt, exe, args.toolwrap, base)
    cpu = children_cpu() - before
    if result["rc"] != 0:
        raise SystemExit(f"{label} exited with {result['rc']}: {result['stderr'][-2000:]}")
    (r,) = result["records"]
    if r["output"] is None:
        raise SystemExit(f"{label} wrote no {fmt} for {item['name']}: {r['line']}")
    return {"bytes": r["out_bytes"], "ssim": ssim(item["path"], r["output"])[0],
            "seconds": r["engine_s"], "cpu": cpu}


def imagemagick(item, fmt, quality, scratch, ssim):
    out = scratch / f"{item['name']}.im{quality}.{fmt}"
    before = children_cpu()
    seconds = enc.timed([enc.IM_CONVERT, item["path"], "-quality", str(quality), out])
    return (out.stat().st_size, ssim(item["path"], out)[0], seconds, children_cpu() - before)


def measure(programs, items, formats, args, work, ssim):
    """Every program on every file and format, the programs' order rotating from file to
    file, and ImageMagick right after them on the same file."""
    rows = {fmt: {label: {} for label, _ in programs} for fmt in formats}
    im = {fmt: {} for fmt in formats}
    scratch = work / "imagemagick"
    scratch.mkdir(parents=True)
    for k, item in enumerate(items):
        for fmt in formats:
            for j in range(len(programs)):
                label, exe = programs[(j + k) % len(programs)]
                print(f"  {item['name']} {fmt}: {label}", flush=True)
                rows[fmt][label][item["name"]] = run_program(label, exe, item, fmt, args, work,
                                                             ssim)
            print(f"  {item['name']} {fmt}: ImageMagick", flush=True)
            fixed = imagemagick(item, fmt, QUALITY[fmt], scratch, ssim)
            entry = {"fixed": {"bytes": fixed[0], "ssim": fixed[1], "seconds": fixed[2],
                               "cpu": fixed[3]}}
            if fmt == "avif":
                # ImageMagick's bytes at the SSIM of the program under test.
                target = rows[fmt][programs[-1][0]][item["name"]]["ssim"]
                entry["equal"] = enc.search_equal_ssim(
                    target, lambda q: imagemagick(item, fmt, q, scratch, ssim)[:3], QUALITY[fmt])
            im[fmt][item["name"]] = entry
    return rows, im


def report(items, programs, formats, rows, im):
    out = []
    mp = sum(i["mp"] for i in items)
    labels = [label for label, _ in programs]
    for fmt in formats:
        out.append(f"\n{fmt.upper()} at Q {QUALITY[fmt]} — {len(items)} photos, {mp:.1f} MP, sources "
                   f"{sum(i['bytes'] for i in items) / 1e6:.2f} MB")
        head = f"  {'file':<10} {'MP':>5}"
        for label in labels + ["ImageMagick"]:
            head += f" | {label[:11]:>11} {'SSIM':>6} {'s/MP':>5} {'cpu/MP':>6}"
        if fmt == "avif":
            head += f" | {'IM at ' + labels[-1][:8] + ' SSIM':>22}"
        out.append(head)
        for item in items:
            line = f"  {item['name']:<10} {item['mp']:>5.2f}"
            for row in [rows[fmt][label][item["name"]] for label in labels] + \
                    [im[fmt][item["name"]]["fixed"]]:
                line += (f" | {row['bytes']:>11} {row['ssim']:.4f} {row['seconds'] / item['mp']:>5.2f} "
                         f"{row['cpu'] / item['mp']:>6.2f}")
            if fmt == "avif":
                equal = im[fmt][item["name"]]["equal"]
                line += f" | {equal['bytes']:>13.0f} (q {equal['q']:>5.1f})"
            out.append(line)
        totals = {}
        for label in labels:
            set_rows = rows[fmt][label].values()
            totals[label] = {"bytes": sum(r["bytes"] for r in set_rows),
                             "ssim": sum(r["ssim"] for r in set_rows) / len(items),
                             "seconds": sum(r["seconds"] for r in set_rows),
                             "cpu": sum(r["cpu"] for r in set_rows),
                             "worst": max(r["seconds"] / i["mp"] for r, i in zip(
                                 (rows[fmt][label][i["name"]] for i in items), items))}
            t = totals[label]
            out.append(f"  {label}: {t['bytes']} bytes, mean SSIM {t['ssim']:.4f}, "
                       f"{t['seconds'] / mp:.3f} s/MP (slowest file {t['worst']:.2f}), "
                       f"{t['cpu'] / mp:.3f} CPU s/MP")
        fixed = [im[fmt][i["name"]]["fixed"] for i in items]
        out.append(f"  ImageMagick q{QUALITY[fmt]}: {sum(r['bytes'] for r in fixed)} bytes, mean SSIM "
                   f"{sum(r['ssim'] for r in fixed) / len(items):.4f}, "
                   f"{sum(r['seconds'] for r in fixed) / mp:.3f} s/MP (the whole command), "
                   f"{sum(r['cpu'] for r in fixed) / mp:.3f} CPU s/MP")
        last = totals[labels[-1]]
        for label in labels[:-1]:
            t = totals[label]
            out.append(f"  {labels[-1]} vs {label}: bytes x{last['bytes'] / t['bytes']:.4f}, "
                       f"SSIM {last['ssim'] - t['ssim']:+.4f}, time x{last['seconds'] / t['seconds']:.3f}, "
                       f"CPU x{last['cpu'] / t['cpu']:.3f}")
        if fmt == "avif":
            equal = sum(im[fmt][i["name"]]["equal"]["bytes"] for i in items)
            clamped = sum(1 for i in items if im[fmt][i["name"]]["equal"]["clamped"])
            ratio = last["bytes"] / equal
            out.append(f"  at equal SSIM: {labels[-1]} {100 * (ratio - 1):+.1f} % bytes vs "
                       f"ImageMagick ({equal:.0f} bytes"
                       + (f"; {clamped} files clamped at a quality bound" if clamped else "") + ")")
            out.append(f"  goal AVIF no larger than ImageMagick at equal SSIM: "
                       f"{'met' if ratio <= 1 else 'NOT met'}")
        s_mp = last["seconds"] / mp
        out.append(f"  goal {fmt.upper()} <= {GOAL_S_MP[fmt]} s/MP: "
                   f"{'met' if s_mp <= GOAL_S_MP[fmt] else 'NOT met'} ({s_mp:.3f})")
    return "\n".join(out)


def program_argument(text, default_label):
    label, sep, path = text.partition("=")
    return (label, Path(path)) if sep and "/" not in label else (default_label, Path(text))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--program", required=True)
    parser.add_argument("--baseline", action="append", default=[],
                        help="[LABEL=]PROGRAM, repeatable")
    parser.add_argument("--ssim", type=Path, required=True)
    parser.add_argument("--toolwrap", type=Path, required=True)
    parser.add_argument("--out", type=Path, required=True)
    parser.add_argument("--formats", default="avif,heic")
    parser.add_argument("--quick", action="store_true", help="3 of the 9 photos")
    args = parser.parse_args()

    items = [i for i in enc.build_corpus(args.out / "corpus", args.quick)
             if i["kind"] == "photo"]
    formats = [f for f in args.formats.split(",") if f]
    if any(f not in GOAL_S_MP for f in formats):
        raise SystemExit(f"formats are avif and heic, not {args.formats}")
    programs = [program_argument(b, "baseline" if k == 0 else f"baseline{k + 1}")
                for k, b in enumerate(args.baseline)]
    programs.append(program_argument(args.program, "program"))
    if len({label for label, _ in programs}) != len(programs):
        raise SystemExit("two programs have the same label")
    programs = [(label, path.resolve()) for label, path in programs]

    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    work = args.out / f"avif-run-{stamp}"
    load = os.getloadavg()[0]
    rows, im = measure(programs, items, formats, args, work, enc.SSIM(args.ssim))
    im_version = enc.output_of([enc.IM_CONVERT, "-version"]).splitlines()[0].split(" https")[0]
    text = (f"AVIF/HEIC benchmark {stamp}{' (--quick)' if args.quick else ''}: "
            f"{os.cpu_count()} cores, load average {load:.2f} at start, "
            f"{os.getloadavg()[0]:.2f} at the end; {im_version}\n"
            + "\n".join(f"{label}: {path}" for label, path in programs)
            + "\ns/MP: the program's time per file (from its first read of the source to the "
              "output's install) per megapixel; cpu/MP: CPU seconds of the whole run "
              "(start-up, decode, encode, checks) per megapixel; ImageMagick: the whole "
              "`convert` command\n"
            + report(items, programs, formats, rows, im))
    print(text)
    (work / "table.txt").write_text(text + "\n")
    (args.out / "latest-avif-table.txt").write_text(text + "\n")
    (work / "results.json").write_text(json.dumps({"rows": rows, "im": im}, indent=1,
                                                  default=str))


if __name__ == "__main__":
    main()
