"""Runs the program once over a folder, the way the batch benchmarks need it: headless,
--once, originals kept, with its home, settings and logs in the run's own folder.

Standard library only.
"""
import hashlib
import os
import subprocess
import tempfile
import time
from pathlib import Path

OUTPUT_MARK = "_velkcompressed."


def help_offers(exe, option):
    """Whether the program's --help lists option (an older build may not have it)."""
    with tempfile.TemporaryDirectory() as home:
        env = dict(os.environ, HOME=home, VELK_CONFIG_DIR=home, VELK_LOG_DIR=home)
        result = subprocess.run([str(exe), "--help"], capture_output=True, text=True, timeout=60,
                                env=env)
    return option in result.stdout + result.stderr


def run_once(exe, folder, base, extra=()):
    """Runs `exe --headless --watch folder --once --originals keep` with HOME,
    VELK_CONFIG_DIR and VELK_LOG_DIR under base. Returns the wall time, the CPU time of
    the program and the tools it waited for, its exit code and what it printed."""
    for sub in ("config", "logs", "home"):
        (base / sub).mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, VELK_CONFIG_DIR=str(base / "config"), VELK_LOG_DIR=str(base / "logs"),
               HOME=str(base / "home"), XDG_CONFIG_HOME=str(base / "home" / ".config"),
               XDG_DATA_HOME=str(base / "home" / ".local" / "share"))
    env.pop("VELK_TOOL_DIR", None)
    env.pop("VELK_JOBS", None)  # the number of files at once comes from the arguments alone
    command = [str(exe), "--headless", "--watch", str(folder), "--once", "--originals", "keep",
               "--format", "automatic", *extra]
    with open(base / "output.txt", "w") as printed:
        started = time.perf_counter()
        process = subprocess.Popen(command, env=env, stdout=printed, stderr=subprocess.STDOUT)
        # wait4 rather than Popen.wait: its usage covers the tools the program waited for.
        _, status, usage = os.wait4(process.pid, 0)
        wall = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    return {"command": command, "wall": wall, "cpu": usage.ru_utime + usage.ru_stime,
            "rc": process.returncode, "output": (base / "output.txt").read_text(errors="replace")}


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def outputs_in(folder):
    """name -> (bytes, sha256) of every output the program left in folder."""
    return {p.name: (p.stat().st_size, sha256(p)) for p in sorted(Path(folder).iterdir())
            if OUTPUT_MARK in p.name and not p.name.startswith(".") and p.is_file()}


def strays_in(folder, sources):
    """Files in folder that are neither a source nor an output: scratch files left behind."""
    return sorted(p.name for p in Path(folder).iterdir()
                  if p.name not in sources and (OUTPUT_MARK not in p.name or p.name.startswith(".")))


def output_for(outputs, source_name):
    """The output of one source: the same stem, any extension."""
    stem = Path(source_name).stem
    for name in outputs:
        if name.startswith(stem + OUTPUT_MARK):
            return name
    return None
