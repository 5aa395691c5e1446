"""The timing half of bench/latency.sh: runs the program under a pseudo-terminal (so it
draws its progress line), moves the prepared JPEG into the folder DROPS times and
times each drop until its output is there."""
import os
import pty
import select
import statistics
import subprocess
import sys
import time

exe, work, drops = sys.argv[1], sys.argv[2], int(sys.argv[3])
folder = os.path.join(work, "folder")
seed = os.path.join(work, "seed", "one.jpg")
env = dict(os.environ, HOME=work, VELK_CONFIG_DIR=os.path.join(work, "config"),
           VELK_LOG_DIR=os.path.join(work, "logs"))
master, slave = pty.openpty()
program = subprocess.Popen([exe, "--headless", "--watch", folder, "--originals", "keep",
                            "--format", "jpeg"], stdin=subprocess.DEVNULL, stdout=slave,
                           stderr=subprocess.STDOUT, env=env)
os.close(slave)
output = bytearray()


def read_for(seconds, whole=False):
    """Reads the program's output for up to `seconds` (all of them when `whole`, else
    until it is quiet for 5 ms); the time the first progress report arrived, if one did."""
    first = None
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        ready, _, _ = select.select([master], [], [], 0.005)
        if ready:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            # Every file's processing begins with a report of 0 %.
            if first is None and b" 0%" in chunk:
                first = time.monotonic()
            output.extend(chunk)
        elif not whole:
            return first
    return first


try:
    read_for(2.0, whole=True)  # started and watching
    latencies, work_times = [], []
    for i in range(drops):
        staged = os.path.join(work, f"drop-{i:02d}.jpg")
        with open(seed, "rb") as src, open(staged, "wb") as dst:
            dst.write(src.read() + str(i).encode())
        target = os.path.join(folder, f"drop-{i:02d}.jpg")
        result = os.path.join(folder, f"drop-{i:02d}_velkcompressed.jpg")
        dropped = time.monotonic()
        os.rename(staged, target)
        first_progress = None
        while not os.path.exists(result):
            seen = read_for(0.005)
            if seen is not None and first_progress is None:
                first_progress = seen
            if time.monotonic() - dropped > 30:
                sys.exit(f"no output for {target} after 30 s")
        done = time.monotonic()
        latencies.append(done - dropped)
        if first_progress is not None:
            work_times.append(done - first_progress)
        if os.environ.get("VELK_BENCH_VERBOSE"):
            print(f"drop {i}: {latencies[-1]:.3f} s, processing "
                  f"{done - first_progress if first_progress else float('nan'):.3f} s")
        read_for(1.5, whole=True)  # let it settle before the next drop
    median = statistics.median(latencies)
    print(f"drops={drops} median_drop_to_output_s={median:.3f} "
          f"min={min(latencies):.3f} max={max(latencies):.3f}")
    if work_times:
        processing = statistics.median(work_times)
        print(f"median_processing_s={processing:.3f} (progress reports seen for {len(work_times)})")
        print(f"median_waiting_s={median - processing:.3f} (goal: at most 0.35 + 0.8 = 1.15)")
finally:
    program.terminate()
    program.wait(timeout=30)
    with open(os.path.join(work, "logs", "native.log"), errors="replace") as log:
        mode = [line for line in log if "Watching" in line]
    if mode:
        print("mode:", mode[-1].split("] ", 1)[-1].strip())
