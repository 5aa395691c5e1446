#!/usr/bin/env python3
"""Kills the engine with SIGKILL at random moments while it processes a folder, starts it
again until the folder settles, and checks that no image was lost:

- every source still exists under its own name with its original bytes, or (policy
  replace) a byte-identical backup of it exists and its output is in the folder;
- no ".velk-temp" or ".velk-replace" file is left in the folder.

    crash_trials.py DRIVER [--trials N] [--seed S]
"""
import argparse
import hashlib
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FORMATS = ["automatic", "jpeg", "png"]
EXTENSIONS = {"jpeg": "jpg", "png": "png", "webp": "webp", "avif": "avif", "heic": "heic"}


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def backups(folder):
    root = folder / ".velk-compressor-backups"
    if not root.is_dir():
        return set()
    return {digest(p) for p in root.rglob("*") if p.is_file()}


def check(folder, originals, policy, fmt):
    problems = []
    leftovers = [p.name for p in folder.iterdir()
                 if ".velk-temp" in p.name or ".velk-replace" in p.name]
    if leftovers:
        problems.append(f"engine files left: {leftovers}")
    saved = backups(folder) if policy == "replace" else set()
    for name, original in originals.items():
        source = folder / name
        if source.exists() and digest(source) == original:
            continue
        if policy == "keep":
            problems.append(f"{name} changed or vanished under policy keep")
            continue
        if original not in saved:
            problems.append(f"{name}: no byte-identical backup")
        stem = Path(name).stem
        outputs = [p for p in folder.iterdir() if p.is_file() and p.stem == stem]
        if not outputs:
            problems.append(f"{name}: neither the source nor its output exists")
    return problems


def measure_run(driver, workdir):
    """How long an undisturbed run takes, so the kills land while files are processed."""
    folder = workdir / "calibration"
    folder.mkdir()
    subprocess.run([driver, "--make-images", str(folder)], check=True)
    started = time.monotonic()
    subprocess.run([driver, str(folder), str(workdir / "calibration.json"), "replace", "jpeg"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - started


def run_trial(driver, rng, index, workdir, duration):
    policy = rng.choice(["keep", "replace"])
    fmt = rng.choice(FORMATS)
    folder = workdir / f"trial-{index}"
    folder.mkdir()
    registry = workdir / f"registry-{index}.json"
    subprocess.run([driver, "--make-images", str(folder)], check=True)
    originals = {p.name: digest(p) for p in folder.iterdir() if p.is_file()}

    # Mostly inside the processing window (after the first stability wait), sometimes
    # earlier, while the engine is starting or recovering.
    delay = rng.uniform(0.7, duration) if rng.random() < 0.85 else rng.uniform(0.0, 0.7)
    process = subprocess.Popen([driver, str(folder), str(registry), policy, fmt],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(delay)
    killed = process.poll() is None
    if killed:
        process.send_signal(signal.SIGKILL)
    process.wait()

    settle = subprocess.run([driver, str(folder), str(registry), policy, fmt],
                            capture_output=True, text=True, timeout=300)
    problems = check(folder, originals, policy, fmt)
    if settle.returncode != 0:
        problems.append(f"restart exited {settle.returncode}: {settle.stderr.strip()}")
    return policy, fmt, delay, killed, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("driver")
    parser.add_argument("--trials", type=int, default=100)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    args = parser.parse_args()
    rng = random.Random(args.seed)
    print(f"crash trials: {args.trials}, seed {args.seed}")
    failures = 0
    killed_count = 0
    with tempfile.TemporaryDirectory(prefix="velk-crash-") as tmp:
        workdir = Path(tmp)
        env_dir = workdir / "support"
        env_dir.mkdir()
        os.environ["VELK_LOG_DIR"] = str(env_dir)
        duration = measure_run(args.driver, workdir)
        print(f"an undisturbed run takes {duration:.2f}s")
        for index in range(args.trials):
            policy, fmt, delay, killed, problems = run_trial(args.driver, rng, index, workdir,
                                                             duration)
            killed_count += killed
            if problems:
                failures += 1
                print(f"trial {index} ({policy}, {fmt}, kill at {delay:.2f}s): FAILED")
                for problem in problems:
                    print(f"  {problem}")
    print(f"{args.trials} trials, {killed_count} killed mid-run, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
