#!/usr/bin/env python3
"""Kills the engine with SIGKILL while it processes a folder, starts it again until the
folder settles, and checks that no image was lost:

- every source still exists under its own name with its original bytes, or (policy
  replace) a byte-identical backup of it exists and its output is in the folder;
- no ".velk-temp" or ".velk-replace" file is left in the folder;
- no file in the folder or the backup folder is empty or undecodable;
- nothing was encoded twice: no backup holds anything but an original, none holds one
  original twice, and no output was made from an output.

A third of the replace trials first let the folder settle, then kill either an engine
re-making every result from its original under another preset, or a --restore of every
result's original; every original must then still be in place or in the backup folder,
backed up once, and every picture be its original or a result made from it.

Every fifth trial starts two engines at once on the folder, each with its own registry:
one must refuse promptly, naming the other's process id, and the other is then killed as
usual. Every other trial runs the engine with two files in flight (--jobs 2), the rest
with one.

A kill lands either after a random delay or, watched through inotify, right as one of the
moments that matter happens: a scratch file created, a backup created, the source set
aside, a result renamed into place.

Under ThreadSanitizer every engine, killed or not, writes its reports into the trials'
folder; any report fails the trials, since a killed engine's standard error is not read.

    crash_trials.py DRIVER [--trials N] [--seed S]
"""
import argparse
import collections
import ctypes
import ctypes.util
import hashlib
import os
import random
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

FORMATS = ["automatic", "jpeg", "png", "webp"]
MOMENTS = ["scratch", "backup", "aside", "install"]
BACKUP_DIR = ".velk-compressor-backups"
OUTPUT_SUFFIX = "_velkcompressed"
TWIN_EVERY = 5
PARALLEL_EVERY = 2
REFUSED_STATUS = 3
REFUSE_WITHIN = 10.0

IN_CREATE = 0x100
IN_MOVED_TO = 0x80
IN_ONLYDIR = 0x1000000
IN_ISDIR = 0x40000000
libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)


class FolderWatch:
    """inotify on the watched folder, its backup folder and the backup's day folders."""

    def __init__(self, folder):
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        self.paths = {}
        self.add(folder)
        if (folder / BACKUP_DIR).is_dir():
            self.add(folder / BACKUP_DIR)

    def add(self, path):
        wd = libc.inotify_add_watch(self.fd, str(path).encode(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR)
        if wd >= 0:
            self.paths[wd] = path

    def events(self, timeout):
        """(folder, name, mask) of the events that arrive within `timeout` seconds."""
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return []
        try:
            data = os.read(self.fd, 65536)
        except BlockingIOError:
            return []
        found = []
        offset = 0
        while offset < len(data):
            wd, mask, _, length = struct.unpack_from("iIII", data, offset)
            name = data[offset + 16:offset + 16 + length].rstrip(b"\0").decode(errors="replace")
            offset += 16 + length
            folder = self.paths.get(wd)
            if folder is None:
                continue
            if mask & IN_ISDIR and (name == BACKUP_DIR or folder.name == BACKUP_DIR):
                self.add(folder / name)
            found.append((folder, name, mask))
        return found

    def close(self):
        os.close(self.fd)


def moment_of(folder, name, mask, watched):
    """Which of the moments that matter an inotify event is, if any."""
    if mask & IN_ISDIR:
        return None
    in_backups = folder != watched
    if in_backups:
        return "backup"
    if mask & IN_CREATE and ".velk-temp" in name:
        return "scratch"
    if mask & IN_MOVED_TO and ".velk-replace" in name:
        return "aside"
    if mask & IN_MOVED_TO and not name.startswith("."):
        return "install"
    return None
EXTENSIONS = {"jpeg": "jpg", "png": "png", "webp": "webp", "avif": "avif", "heic": "heic"}


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def backups(folder):
    """How many backup files hold each content."""
    root = folder / BACKUP_DIR
    if not root.is_dir():
        return collections.Counter()
    return collections.Counter(digest(p) for p in root.rglob("*") if p.is_file())


def check(driver, folder, originals, policy, fmt):
    problems = []
    images = [p for p in folder.rglob("*") if p.is_file()]
    damaged = subprocess.run([driver, "--check-images", *map(str, images)],
                             capture_output=True, text=True)
    if damaged.returncode != 0:
        problems.append(f"damaged files: {damaged.stdout.strip()}")
    leftovers = [p.name for p in folder.iterdir()
                 if ".velk-temp" in p.name or ".velk-replace" in p.name]
    if leftovers:
        problems.append(f"engine files left: {leftovers}")
    saved = backups(folder)
    known = set(originals.values())
    foreign = sum(count for content, count in saved.items() if content not in known)
    if foreign:
        problems.append(f"{foreign} backup(s) of something other than an original: an output encoded again")
    twice = [name for name, original in originals.items() if saved[original] > 1]
    if twice:
        problems.append(f"backed up more than once: {twice}")
    nested = [p.name for p in folder.iterdir() if p.name.count(OUTPUT_SUFFIX) > 1]
    if nested:
        problems.append(f"outputs made from outputs: {nested}")
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


def start_twins(command, workdir, index):
    """Starts two engines at once on one folder, the second with a registry of its own,
    and waits for one to refuse. Returns the engines left running, the command that
    continues the survivor's work, and the problems seen."""
    logs = [workdir / f"engine-{index}-{n}.err" for n in (0, 1)]
    commands = [command, [*command[:2], str(workdir / f"registry-{index}-b.json"), *command[3:]]]
    processes = []
    for log, each in zip(logs, commands):
        with open(log, "w") as err:
            processes.append(subprocess.Popen(each, stdout=subprocess.DEVNULL, stderr=err))
    deadline = time.monotonic() + REFUSE_WITHIN
    while time.monotonic() < deadline and all(p.poll() is None for p in processes):
        time.sleep(0.01)
    ended = [n for n, p in enumerate(processes) if p.poll() is not None]
    if not ended:
        return processes, command, [f"neither engine refused within {REFUSE_WITHIN:.0f}s"]
    problems = []
    loser = ended[0]
    other = processes[1 - loser]
    status = processes[loser].returncode
    message = logs[loser].read_text().strip()
    if status != REFUSED_STATUS:
        problems.append(f"second engine ran instead of refusing (exit {status}): {message}")
    elif f"process {other.pid})" not in message:
        problems.append(f"refusal does not name the holder, process {other.pid}: {message}")
    return [other], commands[1 - loser], problems


def settled_stage(driver, rng, policy, folder, registry, command):
    """For a third of the replace trials: the folder settled first, then what is killed
    (a re-make under another preset, or a restore) and the command that settles it again."""
    if policy != "replace" or rng.random() >= 1 / 3:
        return None, command, command
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if rng.random() < 0.5:
        remake = [*command, "--preset", rng.choice(["maximum", "gentle"])]
        return "re-make", remake, remake
    results = sorted(str(p) for p in folder.iterdir() if p.is_file())
    return "restore", [driver, "--restore", str(folder), str(registry), *results], command


def run_trial(driver, rng, index, workdir, duration):
    policy = rng.choice(["keep", "replace"])
    fmt = rng.choice(FORMATS)
    folder = workdir / f"trial-{index}"
    folder.mkdir()
    registry = workdir / f"registry-{index}.json"
    subprocess.run([driver, "--make-images", str(folder)], check=True)
    originals = {p.name: digest(p) for p in folder.iterdir() if p.is_file()}
    watch = FolderWatch(folder)

    jobs = 2 if index % PARALLEL_EVERY == 1 else 1
    command = [driver, str(folder), str(registry), policy, fmt, "--jobs", str(jobs)]
    stage, killed_command, settle_command = settled_stage(driver, rng, policy, folder,
                                                          registry, command)
    if stage:
        watch.close()
        watch = FolderWatch(folder)
        command = killed_command
    twins = index % TWIN_EVERY == TWIN_EVERY - 1 and not stage
    problems = []
    if twins:
        running, command, problems = start_twins(command, workdir, index)
    else:
        running = [subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)]
    process = running[0]
    if rng.random() < 0.5:
        # Mostly inside the processing window (after the first stability wait),
        # sometimes earlier, while the engine is starting or recovering.
        delay = rng.uniform(0.7, duration) if rng.random() < 0.85 else rng.uniform(0.0, 0.7)
        if stage == "restore":
            delay = rng.uniform(0.0, 0.5)
        when = f"at {delay:.2f}s"
        time.sleep(delay)
    else:
        moment = rng.choice(MOMENTS)
        nth = rng.randint(1, 3)
        when = f"at {moment} #{nth}"
        seen = 0
        while process.poll() is None and seen < nth:
            for event in watch.events(0.05):
                if moment_of(*event, folder) == moment:
                    seen += 1
                    if seen == nth:
                        break
    watch.close()
    killed = process.poll() is None
    for each in running:
        if each.poll() is None:
            each.send_signal(signal.SIGKILL)
        each.wait()
    if twins:
        when = "twins, " + when
    if stage:
        when = f"during {stage}, " + when
        command = settle_command
    when = f"N={jobs}, " + when

    settle = subprocess.run(command, capture_output=True, text=True, timeout=300)
    problems += check(driver, folder, originals, policy, fmt)
    if settle.returncode != 0:
        problems.append(f"restart exited {settle.returncode}: {settle.stderr.strip()}")
    return policy, fmt, when, killed, problems


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
    kills_by_moment = {}
    with tempfile.TemporaryDirectory(prefix="velk-crash-") as tmp:
        workdir = Path(tmp)
        env_dir = workdir / "support"
        env_dir.mkdir()
        os.environ["VELK_LOG_DIR"] = str(env_dir)
        race_dir = workdir / "tsan"
        race_dir.mkdir()
        os.environ["TSAN_OPTIONS"] = ":".join(
            part for part in (os.environ.get("TSAN_OPTIONS", ""), f"log_path={race_dir}/report")
            if part)
        duration = measure_run(args.driver, workdir)
        print(f"an undisturbed run takes {duration:.2f}s")
        for index in range(args.trials):
            policy, fmt, when, killed, problems = run_trial(args.driver, rng, index, workdir,
                                                             duration)
            killed_count += killed
            if killed:
                moment = when.split(" ")[-2] if " #" in when else "random"
                if "during " in when:
                    moment = when.split("during ")[1].split(",")[0] + " " + moment
                kills_by_moment[moment] = kills_by_moment.get(moment, 0) + 1
            if problems:
                failures += 1
                print(f"trial {index} ({policy}, {fmt}, kill {when}): FAILED")
                for problem in problems:
                    print(f"  {problem}")
        reports = sorted(race_dir.iterdir())
        for report in reports:
            failures += 1
            print(f"ThreadSanitizer report {report.name}:")
            print(report.read_text())
    twin_trials = args.trials // TWIN_EVERY
    parallel_trials = args.trials // PARALLEL_EVERY
    print(f"{args.trials} trials ({twin_trials} with two engines at once, "
          f"{parallel_trials} with two files in flight), "
          f"{killed_count} killed mid-run, {failures} failed")
    print("kills: " + ", ".join(f"{moment} {count}" for moment, count in sorted(kills_by_moment.items())))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
