#!/usr/bin/env python3
"""The lossless floor under pngquant's files: see bench/png-floor.sh."""
import argparse
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import png  # noqa: E402  (the PNG benchmark's corpus)

# The balanced preset's PNG quality, 82, as the program hands it to pngquant.
PNGQUANT = ["--force", "--skip-if-larger", "--quality", "62-82", "--speed", "3"]
LEVELS = {"o2": ["-o", "2"], "o4": ["-o", "4"], "o6": ["-o", "6"], "o2 zopfli": ["-o", "2", "-Z"]}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--out", type=Path, required=True)
    args = parser.parse_args()
    tools = Path(args.program).resolve().parent.parent / "Resources" / "bin"
    work = args.out / "png-floor"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    totals = {level: [0, 0.0] for level in LEVELS}
    print(f"{'file':14} {'pngquant':>9} " + " ".join(f"{k:>20}" for k in LEVELS))
    for item in png.build_corpus(args.out / "png-corpus"):
        quantised = work / f"{item['name']}.png"
        subprocess.run([tools / "pngquant", *PNGQUANT, "--output", quantised, item["path"]],
                       check=False)
        if not quantised.exists():
            print(f"{item['name']:14} {'no file':>9}")
            continue
        cells = []
        for level, options in LEVELS.items():
            trial = work / "trial.png"
            shutil.copyfile(quantised, trial)
            started = time.perf_counter()
            subprocess.run([tools / "oxipng", "-q", *options, "--strip", "safe", trial],
                           check=True)
            seconds = time.perf_counter() - started
            totals[level][0] += trial.stat().st_size
            totals[level][1] += seconds
            cells.append(f"{trial.stat().st_size:>10} {seconds:7.2f} s")
        print(f"{item['name']:14} {quantised.stat().st_size:>9} " + " ".join(cells), flush=True)
    first = totals["o2"]
    for level, (size, seconds) in totals.items():
        print(f"{level:10} {size:>9} bytes (x{size / first[0]:.4f}) in {seconds:6.1f} s "
              f"(x{seconds / first[1]:.1f})")
    shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
