"""Where the time of one ``quelmo.UMAP`` fit goes: the stage times and the
hottest native functions (Linux perf, sampling every thread), or the hottest
Python functions (cProfile) with ``--python``.

The fit runs in a child process on the synthetic mixture (n points in 32
dimensions, n_jobs=2); the summary goes to benchmarks/results/profile_N.json.

Run from the repository root:
    python benchmarks/profile_fit.py --n 100000
    python benchmarks/profile_fit.py --n 1000000 --top 25
    python benchmarks/profile_fit.py --n 100000 --python
"""

from __future__ import annotations

import argparse
import json
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import common

CHILD = """
import json, sys, time
sys.path.insert(0, {bench!r})
import common
X, _ = common.gaussian_mixture({n})
from quelmo import UMAP
start = time.perf_counter()
model = UMAP(n_neighbors=15, n_jobs={threads}, random_state=0)
{call}
print("TIMINGS " + json.dumps(dict(model.timings_, total=time.perf_counter() - start,
                                   peak_rss_mb=common.peak_rss_mb())))
"""


def run_child(n: int, threads: int, call: str, prefix: list[str]) -> dict[str, float]:
    code = CHILD.format(bench=str(common.BENCH), n=n, threads=threads, call=call)
    proc = subprocess.run(prefix + [common.python(), "-c", code], capture_output=True, text=True,
                          env=common.thread_env(threads))
    if proc.returncode != 0:
        sys.exit(proc.stderr[-3000:])
    line = next(x for x in proc.stdout.splitlines() if x.startswith("TIMINGS "))
    return json.loads(line[len("TIMINGS "):])


def perf_profile(n: int, threads: int, top: int, frequency: int) -> dict[str, object]:
    with tempfile.TemporaryDirectory() as tmp:
        data = str(Path(tmp) / "perf.data")
        timings = run_child(n, threads, "model.fit(X)",
                            ["perf", "record", "-q", "-F", str(frequency), "-o", data])
        report = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children",
                                 "--sort", "dso,symbol", "--percent-limit", "0.3",
                                 "--field-separator", "\t"],
                                capture_output=True, text=True, check=True).stdout
    rows = []
    for line in report.splitlines():
        fields = line.split("\t")
        if line.startswith("#") or len(fields) < 3:
            continue
        match = re.match(r"\s*([0-9.]+)%", fields[0])
        if match:
            symbol = re.sub(r"^\[[.k]\]\s*", "", fields[2]).strip()
            rows.append({"percent": float(match.group(1)), "object": fields[1].strip(),
                         "symbol": symbol})
    return {"timings": timings, "hot": rows[:top], "tool": "perf"}


def python_profile(n: int, threads: int, top: int) -> dict[str, object]:
    with tempfile.TemporaryDirectory() as tmp:
        stats = str(Path(tmp) / "fit.prof")
        call = f"import cProfile; cProfile.run('model.fit(X)', {stats!r})"
        timings = run_child(n, threads, call, [])
        import pstats

        table = pstats.Stats(stats)
        entries = sorted(table.stats.items(), key=lambda kv: -kv[1][2])  # own time
        total = sum(v[2] for _, v in entries)
    rows = [{"percent": 100.0 * v[2] / total, "seconds": v[2], "calls": v[1],
             "symbol": f"{Path(file).name}:{line}({func})"}
            for (file, line, func), v in entries[:top]]
    return {"timings": timings, "hot": rows, "tool": "cProfile"}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=100_000)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--top", type=int, default=20)
    parser.add_argument("--frequency", type=int, default=199, help="perf samples per second")
    parser.add_argument("--python", action="store_true", help="cProfile instead of perf")
    parser.add_argument("--force", action="store_true", help="profile again when cached")
    opts = parser.parse_args()
    if not opts.python and shutil.which("perf") is None:
        print("perf not found; profiling the Python side with cProfile")
        opts.python = True
    suffix = "_python" if opts.python else ""
    out = common.RESULTS / f"profile_{opts.n}{suffix}.json"
    if out.exists() and not opts.force:
        print(table(json.loads(out.read_text())))
        return
    load = common.load_average()
    if opts.python:
        result = python_profile(opts.n, opts.threads, opts.top)
    else:
        result = perf_profile(opts.n, opts.threads, opts.top, opts.frequency)
    result.update(n=opts.n, threads=opts.threads, load_before=round(load, 2),
                  date=time.strftime("%Y-%m-%d %H:%M"))
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(result, indent=1))
    print(table(result))


def table(result: dict) -> str:
    t = result["timings"]
    lines = [f"n = {result['n']}, {result['threads']} threads, {result['tool']}: total "
             f"{t['total']:.1f} s (knn {t['knn']:.1f}, graph {t['graph']:.1f}, init "
             f"{t['init']:.1f}, layout {t['layout']:.1f}), peak RSS {t['peak_rss_mb']:.0f} MB",
             "", "| share | where | function |", "|---:|---|---|"]
    for row in result["hot"]:
        where = re.sub(r"\.cpython-[^.]+", "", row.get("object", ""))
        lines.append(f"| {row['percent']:.1f}% | {where} | `{row['symbol']}` |")
    return "\n".join(lines)


if __name__ == "__main__":
    main()
