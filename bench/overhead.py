#!/usr/bin/env python3
"""What the program spends on a file besides its encoder, in CPU time: robust where wall
time is not (shared cores). Runs `--headless --once --originals keep --jobs 1` over the
photos of bench/encoders.sh's corpus (built by that script first), as JPEG and as WebP,
ROUNDS times, alternating between the builds given, and samples the program's
/proc/PID/stat every 5 ms: its own CPU (every thread, no children) and that of the tools
it ran and waited for. Prints, per build and format, the own CPU per file and its ratio
to the tools' CPU, and whether the outputs were the same bytes across builds and rounds.

    bench/overhead.py [--rounds N] LABEL=PROGRAM [LABEL=PROGRAM ...]

Standard library only; the program's own CPU includes its start-up and shutdown, the
same for every build.
"""
import argparse
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import encoders as enc  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_of(pid):
    """(own, children) CPU seconds of a running process, or None once it is gone."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except OSError:
        return None
    # After the name: state is field 3, utime 14, stime 15, cutime 16, cstime 17.
    utime, stime, cutime, cstime = (int(fields[i - 3]) for i in (14, 15, 16, 17))
    return (utime + stime) / TICKS, (cutime + cstime) / TICKS


def one_run(exe, items, fmt, work):
    folder, config = work / "folder", work / "config"
    for sub in (folder, config, work / "logs", work / "home"):
        sub.mkdir(parents=True)
    for item in items:
        shutil.copyfile(item["path"], folder / item["path"].name)
    env = dict(os.environ, VELK_CONFIG_DIR=str(config), VELK_LOG_DIR=str(work / "logs"),
               HOME=str(work / "home"), XDG_CONFIG_HOME=str(work / "home" / ".config"),
               XDG_DATA_HOME=str(work / "home" / ".local" / "share"))
    env.pop("VELK_TOOL_DIR", None)
    process = subprocess.Popen([str(exe), "--headless", "--watch", str(folder), "--once",
                                "--format", fmt, "--originals", "keep", "--jobs", "1"],
                               env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    last = [(0.0, 0.0)]

    def sample():
        while process.poll() is None:
            now = cpu_of(process.pid)
            if now:
                last[0] = now
            time.sleep(0.005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    process.wait()
    sampler.join()
    outputs = {p.name: hashlib.sha256(p.read_bytes()).hexdigest()
               for p in folder.glob("*_velkcompressed.*")}
    return last[0], outputs


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("builds", nargs="+", help="LABEL=PROGRAM")
    args = parser.parse_args()
    builds = dict(b.split("=", 1) for b in args.builds)
    corpus = enc.HERE / "out" / "corpus"
    if not (corpus / "corpus.json").exists():
        raise SystemExit("no corpus: run bench/encoders.sh --quick once first")
    items = [i for i in enc.build_corpus(corpus, False) if i["kind"] == "photo"]
    own, tools, outputs = {}, {}, {}
    with tempfile.TemporaryDirectory(prefix="velk-overhead-") as temp:
        for k in range(args.rounds):
            for label, exe in builds.items():
                for fmt in ("jpeg", "webp"):
                    (mine, theirs), made = one_run(Path(exe), items, fmt,
                                                   Path(temp) / f"{label}-{fmt}-{k}")
                    own.setdefault((label, fmt), []).append(mine)
                    tools.setdefault((label, fmt), []).append(theirs)
                    for name, digest in made.items():
                        outputs.setdefault(name, set()).add(digest)
    print(f"{len(items)} photos, {sum(i['mp'] for i in items):.1f} MP, {args.rounds} rounds; "
          f"CPU seconds per run, median over rounds")
    for (label, fmt), values in own.items():
        mine = statistics.median(values)
        theirs = statistics.median(tools[(label, fmt)])
        print(f"  {label:<10} {fmt:<5} own {mine:6.3f} s ({1000 * mine / len(items):5.1f} ms a file), "
              f"tools {theirs:6.3f} s, own / tools {mine / theirs:.3f}")
    same = all(len(d) == 1 for d in outputs.values())
    print(f"outputs the same bytes across builds and rounds: {'yes' if same else 'NO'} "
          f"({len(outputs)} files)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
