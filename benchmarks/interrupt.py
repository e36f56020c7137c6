"""Ctrl-C in the middle of a large fit: a child process fits the mixture
with ``verbose=True`` (bars and stage lines on its standard error), receives
SIGINT a few seconds into the chosen stage, and reports how long the fit
took to give control back, how many threads it left and its resident memory
before the fit, in the stage and after the interrupt (threads are counted
after a small warm-up fit, which starts the BLAS pool and the bars' monitor
thread that stay for the process).

Run from the repository root:
    python benchmarks/interrupt.py [--n 1000000] [--stage layout] [--after 5]
"""

from __future__ import annotations

import argparse
import os
import signal
import subprocess
import sys
import time

CHILD = """
import os, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
sys.path.insert(0, "benchmarks")
from common import gaussian_mixture
from quelmo import UMAP, _layout, _neighbors

def tasks():
    return len(os.listdir("/proc/self/task"))

def rss_mb():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024

X, _ = gaussian_mixture(int(sys.argv[1]))
module, name = (_layout, "optimize_layout") if sys.argv[2] == "layout" else (
    _neighbors, "search_knn")
original = getattr(module, name)
def announced(*args, **kwargs):
    print("started", flush=True)
    return original(*args, **kwargs)
# A small fit first starts what stays for the process (the BLAS pool, the
# bars' monitor thread), so that the count below sees only what a fit leaves.
UMAP(random_state=0, n_jobs=2, n_epochs=5, verbose=True).fit(X[:2000])
setattr(module, name, announced)
before_tasks, before_rss = tasks(), rss_mb()
try:
    UMAP(random_state=0, n_jobs=2, verbose=True).fit(X)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    time.sleep(0.2)
    print(tasks() - before_tasks, round(before_rss), round(rss_mb()), flush=True)
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000, help="points of the mixture")
    parser.add_argument("--stage", choices=("knn", "layout"), default="layout")
    parser.add_argument("--after", type=float, default=5.0,
                        help="seconds into the stage before SIGINT")
    args = parser.parse_args()
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(args.n), args.stage],
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    start = time.monotonic()
    assert proc.stdout.readline() == "started\n"
    reached = time.monotonic() - start
    time.sleep(args.after)
    with open(f"/proc/{proc.pid}/status") as f:
        in_stage = next(int(line.split()[1]) / 1024 for line in f if line.startswith("VmRSS:"))
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    line = proc.stdout.readline()
    latency = time.monotonic() - sent
    threads, before, after = proc.stdout.readline().split()
    proc.wait()
    print(f"mixture of {args.n} points, SIGINT {args.after:.0f} s into the {args.stage} "
          f"(reached after {reached:.1f} s)")
    print("| outcome | seconds to return | threads left | RSS MB before fit | in stage | "
          "after |")
    print("|---|---:|---:|---:|---:|---:|")
    print(f"| {line.strip()} | {latency:.3f} | {threads} | {before} | {in_stage:.0f} | "
          f"{after} |")


if __name__ == "__main__":
    os.chdir(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    main()
