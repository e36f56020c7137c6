"""End-to-end embedding: quelmo against umap-learn (and openTSNE, where it is
installed) on the MNIST 10k sample and on a 20-component Gaussian mixture in
32 dimensions at 30,000 to 1,000,000 points.

Every measurement runs in a fresh child process with every thread pool
pinned to ``--threads``.  The child imports the tool (the clock runs), fits
once (the "first call": import and any just-in-time compilation included),
then fits again in the same process (the "warm" call) unless the first call
took longer than ``--warm-limit`` seconds.  It reports the stage times the
tool exposes, its peak resident set (VmHWM) and saves the first call's
embedding; the parent then scores the embedding (trustworthiness with 15
neighbours, on a fixed 5,000-point subsample above 10,000 points, and the
5-fold cross-validated accuracy of a 5-nearest-neighbour classifier).  A child
still running after ``--timeout`` seconds is stopped and reported as such.

Results are cached in benchmarks/results/end_to_end.json; a cached run is
reused unless ``--force`` is given, and ``--report`` only prints the tables.

Run from the repository root:
    python benchmarks/end_to_end.py
    python benchmarks/end_to_end.py --sizes mnist10k 30000 --tools quelmo umap-learn
    python benchmarks/end_to_end.py --report
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import re
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

import common

TOOLS = ("quelmo", "umap-learn", "opentsne")
SIZES = ("mnist10k", "30000", "100000", "300000", "1000000")
CACHE = common.RESULTS / "end_to_end.json"
RUNS = common.RESULTS / "runs"
EMBEDDINGS = common.RESULTS / "embeddings"
N_NEIGHBORS = 15
QUALITY_SUBSAMPLE = 5000


def dataset_name(size: str) -> str:
    return "mnist10k" if size == "mnist10k" else f"mixture-{int(size)}"


# -- child side: one tool, one data set, one fresh process -------------------------

class _LineClock(io.TextIOBase):
    """Stand-in for stdout that stamps every completed line with the time it
    was written and passes the text on; umap-learn and openTSNE announce their
    stages on stdout when verbose."""

    def __init__(self, target: Any) -> None:
        self.target = target
        self.lines: list[tuple[float, str]] = []
        self._partial = ""

    def write(self, text: str) -> int:
        now = time.perf_counter()
        self.target.write(text)
        self._partial += text
        *done, self._partial = self._partial.split("\n")
        self.lines.extend((now, line) for line in done)
        return len(text)

    def flush(self) -> None:
        self.target.flush()


@contextlib.contextmanager
def _clocked_stdout() -> Iterator[_LineClock]:
    clock = _LineClock(sys.stdout)
    saved, sys.stdout = sys.stdout, clock
    try:
        yield clock
    finally:
        sys.stdout = saved


def _first_time(lines: list[tuple[float, str]], marker: str) -> float | None:
    return next((t for t, line in lines if marker in line), None)


def _spans(lines: list[tuple[float, str]], marks: list[tuple[str, str, str]]) -> dict[str, float]:
    stages: dict[str, float] = {}
    for stage, begin, end in marks:
        t0, t1 = _first_time(lines, begin), _first_time(lines, end)
        if t0 is not None and t1 is not None:
            stages[stage] = t1 - t0
    return stages


def _load_quelmo(threads: int) -> Callable[[np.ndarray], tuple[np.ndarray, dict[str, float]]]:
    import quelmo

    UMAP = quelmo.UMAP  # the estimator (and SciPy) load on first access

    def fit(X: np.ndarray) -> tuple[np.ndarray, dict[str, float]]:
        model = UMAP(n_neighbors=N_NEIGHBORS, n_components=2, n_jobs=threads, random_state=0)
        embedding = model.fit_transform(X)
        return embedding, dict(model.timings_)

    return fit


# umap-learn's verbose lines that open and close each stage; its input
# checks (before "Finding Nearest Neighbors") count as part of the search.
_UMAP_MARKS = [
    ("knn", "Construct fuzzy simplicial set", "Finished Nearest Neighbor Search"),
    ("graph", "Finished Nearest Neighbor Search", "Construct embedding"),
    ("init", "Construct embedding", "completed  0  /"),
    ("layout", "completed  0  /", "Finished embedding"),
]


def _load_umap_learn(threads: int) -> Callable[[np.ndarray], tuple[np.ndarray, dict[str, float]]]:
    import umap

    def fit(X: np.ndarray) -> tuple[np.ndarray, dict[str, float]]:
        # Unseeded: a random_state makes umap-learn run on one thread.
        model = umap.UMAP(n_neighbors=N_NEIGHBORS, n_components=2, n_jobs=threads,
                          verbose=True)
        with _clocked_stdout() as clock:
            embedding = model.fit_transform(X)
        return np.asarray(embedding), _spans(clock.lines, _UMAP_MARKS)

    return fit


def _load_opentsne(threads: int) -> Callable[[np.ndarray], tuple[np.ndarray, dict[str, float]]]:
    import openTSNE

    def fit(X: np.ndarray) -> tuple[np.ndarray, dict[str, float]]:
        model = openTSNE.TSNE(n_components=2, n_jobs=threads, random_state=0, verbose=True)
        with _clocked_stdout() as clock:
            embedding = model.fit(X)
        # Five timed steps: neighbours, affinities, initialisation, the
        # exaggerated phase and the main phase.
        elapsed = [float(m.group(1)) for _, line in clock.lines
                   if (m := re.search(r"Time elapsed: ([0-9.]+) seconds", line))]
        stages: dict[str, float] = {}
        if len(elapsed) >= 5:
            stages = {"knn": elapsed[0], "graph": elapsed[1], "init": elapsed[2],
                      "layout": elapsed[3] + elapsed[4]}
        return np.asarray(embedding), stages

    return fit


LOADERS = {"quelmo": _load_quelmo, "umap-learn": _load_umap_learn, "opentsne": _load_opentsne}


def child(tool: str, name: str, out: Path, embedding_path: Path, threads: int,
          warm_limit: float) -> None:
    data = common.dataset(name)
    assert data is not None, name
    X, _ = data
    record: dict[str, Any] = {"tool": tool, "dataset": name, "n": int(X.shape[0]),
                              "dim": int(X.shape[1]), "threads": threads,
                              "rss_data_mb": round(common.current_rss_mb(), 1)}

    def save() -> None:
        out.write_text(json.dumps(record, indent=1))

    # CPU seconds of the whole process (every thread) next to the wall
    # clock: on a shared machine the steadier figure.
    cpu = time.process_time()
    start = time.perf_counter()
    fit = LOADERS[tool](threads)
    record["import_s"] = time.perf_counter() - start
    start = time.perf_counter()
    embedding, stages = fit(X)
    record["first_fit_s"] = time.perf_counter() - start
    record["first_s"] = record["import_s"] + record["first_fit_s"]
    record["first_cpu_s"] = time.process_time() - cpu
    record["first_stages"] = stages
    record["peak_rss_mb"] = round(common.peak_rss_mb(), 1)
    np.save(embedding_path, np.ascontiguousarray(embedding, dtype=np.float32))
    save()
    if record["first_fit_s"] > warm_limit:
        record["warm_skipped"] = f"first call over {warm_limit:.0f} s"
        save()
        return
    del embedding
    record["peak_reset"] = common.reset_peak_rss()
    cpu = time.process_time()
    start = time.perf_counter()
    _, stages = fit(X)
    record["warm_s"] = time.perf_counter() - start
    record["warm_cpu_s"] = time.process_time() - cpu
    record["warm_stages"] = stages
    record["peak_rss_warm_mb"] = round(common.peak_rss_mb(), 1)
    save()


# -- parent side: run, score, cache, report ------------------------------------------

def quality(name: str, embedding: np.ndarray, threads: int) -> dict[str, float]:
    from sklearn.manifold import trustworthiness
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier

    data = common.dataset(name)
    assert data is not None
    X, y = data
    if not np.isfinite(embedding).all():
        return {"trustworthiness": float("nan"), "knn5_accuracy": float("nan")}
    if len(X) > 10_000:
        sample = np.sort(np.random.default_rng(0).choice(len(X), QUALITY_SUBSAMPLE,
                                                         replace=False))
    else:
        sample = np.arange(len(X))
    trust = trustworthiness(X[sample], embedding[sample], n_neighbors=N_NEIGHBORS)
    accuracy = cross_val_score(KNeighborsClassifier(5, n_jobs=threads), embedding, y,
                               cv=5).mean()
    return {"trustworthiness": float(trust), "knn5_accuracy": float(accuracy)}


def tool_available(tool: str) -> bool:
    module = {"quelmo": "quelmo", "umap-learn": "umap", "opentsne": "openTSNE"}[tool]
    from importlib.util import find_spec

    return find_spec(module) is not None


def run_one(tool: str, name: str, opts: argparse.Namespace) -> dict[str, Any]:
    RUNS.mkdir(parents=True, exist_ok=True)
    EMBEDDINGS.mkdir(parents=True, exist_ok=True)
    stem = f"{name}__{tool}"
    out, embedding_path, log_path = (RUNS / f"{stem}.json", EMBEDDINGS / f"{stem}.npy",
                                     RUNS / f"{stem}.log")
    for path in (out, embedding_path):
        path.unlink(missing_ok=True)
    cmd = [common.python(), str(Path(__file__).resolve()), "--child", tool, name, str(out),
           str(embedding_path), "--threads", str(opts.threads), "--warm-limit",
           str(opts.warm_limit)]
    load_before = common.load_average()
    started = time.time()
    with open(log_path, "w") as log:
        proc = subprocess.Popen(cmd, env=common.thread_env(opts.threads), stdout=log,
                                stderr=subprocess.STDOUT, start_new_session=True,
                                cwd=common.BENCH)
        try:
            rc = proc.wait(timeout=opts.timeout)
            status = "ok" if rc == 0 else f"failed (exit {rc})"
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)  # the child's own session
            proc.wait()
            status = "timeout"
    record: dict[str, Any] = json.loads(out.read_text()) if out.exists() else {}
    record.update(tool=tool, dataset=name, status=status, limit_s=opts.timeout,
                  wall_s=time.time() - started, date=time.strftime("%Y-%m-%d %H:%M"),
                  load_before=round(load_before, 2),
                  load_after=round(common.load_average(), 2))
    if status == "timeout" and "first_s" in record and "warm_s" not in record:
        record["warm_skipped"] = "stopped at the time limit"
        record["status"] = "ok"
    if status.startswith("failed"):
        record["error"] = log_path.read_text()[-2000:]
    if "first_s" in record and embedding_path.exists():
        record.update(quality(name, np.load(embedding_path), opts.threads))
    return record


def load_cache(path: Path = CACHE) -> dict[str, Any]:
    if path.exists():
        return json.loads(path.read_text())
    return {"runs": {}}


def save_cache(cache: dict[str, Any], path: Path = CACHE) -> None:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(json.dumps(cache, indent=1, sort_keys=True))


def _fmt(value: Any, digits: int = 1) -> str:
    if value is None or (isinstance(value, float) and not np.isfinite(value)):
        return "–"
    return f"{value:.{digits}f}"


def _time_cell(run: dict[str, Any], key: str) -> str:
    if run.get("status") == "timeout" and key not in run:
        return f"> {run['limit_s'] / 60:.0f} min (stopped)"
    if key == "warm_s" and "warm_skipped" in run and key not in run:
        return "not run"
    return _fmt(run.get(key))


def _sort_key(name: str) -> tuple[int, int]:
    return (0, 0) if name == "mnist10k" else (1, int(name.split("-")[1]))


def tables(cache: dict[str, Any]) -> str:
    """Markdown tables of every cached run: times, stages, memory, quality,
    then the ratios to quelmo."""
    runs = cache["runs"]
    names = sorted({r["dataset"] for r in runs.values()}, key=_sort_key)
    lines = ["| data | tool | first call s (import) | warm call s | knn | graph | init | layout "
             "| peak RSS MB | trustworthiness | 5-NN accuracy |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name in names:
        for tool in TOOLS:
            run = runs.get(f"{name}/{tool}")
            if run is None:
                continue
            stages = run.get("warm_stages") or run.get("first_stages") or {}
            first = _time_cell(run, "first_s")
            if "import_s" in run:
                first += f" ({run['import_s']:.1f})"
            lines.append(
                f"| {name} | {tool} | {first} | {_time_cell(run, 'warm_s')} | "
                + " | ".join(_fmt(stages.get(s)) for s in ("knn", "graph", "init", "layout"))
                + f" | {_fmt(run.get('peak_rss_mb'), 0)} | {_fmt(run.get('trustworthiness'), 3)}"
                f" | {_fmt(run.get('knn5_accuracy'), 3)} |")
    lines += ["", "| data | umap-learn first / quelmo first | umap-learn warm / quelmo warm "
              "| openTSNE warm / quelmo warm | trust. quelmo − umap-learn "
              "| 5-NN acc. quelmo − umap-learn |", "|---|---:|---:|---:|---:|---:|"]
    for name in names:
        ours = runs.get(f"{name}/quelmo")
        if ours is None or "first_s" not in ours:
            continue
        ours_warm = ours.get("warm_s", ours["first_fit_s"])
        cells = []
        umap_run = runs.get(f"{name}/umap-learn", {})
        tsne_run = runs.get(f"{name}/opentsne", {})
        ours_warm_cpu = ours.get("warm_cpu_s", ours.get("first_cpu_s"))
        for peer, key, base, base_cpu in (
                (umap_run, "first_s", ours["first_s"], ours.get("first_cpu_s")),
                (umap_run, "warm_s", ours_warm, ours_warm_cpu),
                (tsne_run, "warm_s", ours_warm, ours_warm_cpu)):
            cells.append(_ratio_cell(peer, key, base, base_cpu))
        for metric in ("trustworthiness", "knn5_accuracy"):
            if metric in umap_run and metric in ours:
                cells.append(f"{ours[metric] - umap_run[metric]:+.3f}")
            else:
                cells.append("–")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    return "\n".join(lines)


def _ratio_cell(peer: dict[str, Any], key: str, base: float, base_cpu: float | None) -> str:
    if not peer:
        return "–"
    if key in peer:
        cpu_key = key.replace("_s", "_cpu_s")
        if base_cpu and cpu_key in peer:
            return f"{peer[key] / base:.1f}x (CPU {peer[cpu_key] / base_cpu:.1f}x)"
        return f"{peer[key] / base:.1f}x"
    if key == "warm_s" and "first_fit_s" in peer:
        # A peer too slow for a second call: its first call stands in, with
        # compilation included (a small share at that size).
        return f"{peer['first_fit_s'] / base:.1f}x (first call)"
    if peer.get("status") == "timeout":
        return f"> {peer['limit_s'] / base:.0f}x (stopped)"
    return "–"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", nargs="+", default=list(SIZES),
                        help="mnist10k and/or numbers of mixture points")
    parser.add_argument("--tools", nargs="+", default=list(TOOLS), choices=TOOLS)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--timeout", type=float, default=3600.0,
                        help="seconds before a run is stopped (default 60 minutes)")
    parser.add_argument("--warm-limit", type=float, default=900.0,
                        help="skip the warm second call after a first call longer than this")
    parser.add_argument("--opentsne-max", type=int, default=100_000,
                        help="largest mixture given to openTSNE (its runs beyond take hours)")
    parser.add_argument("--force", action="store_true", help="rerun cached measurements")
    parser.add_argument("--cache", type=Path, default=CACHE, help="results file")
    parser.add_argument("--report", action="store_true", help="print the cached tables only")
    parser.add_argument("--child", nargs=4, metavar=("TOOL", "DATA", "OUT", "EMBEDDING"),
                        help=argparse.SUPPRESS)
    opts = parser.parse_args()

    if opts.child:
        tool, name, out, embedding = opts.child
        child(tool, name, Path(out), Path(embedding), opts.threads, opts.warm_limit)
        return

    cache = load_cache(opts.cache)
    if not opts.report:
        cache["machine"] = common.machine()
        for size in opts.sizes:
            name = dataset_name(size)
            if name == "mnist10k" and not common.MNIST.exists():
                print(f"skipping mnist10k: {common.MNIST} not found")
                continue
            for tool in opts.tools:
                if not tool_available(tool):
                    print(f"skipping {tool}: not installed")
                    continue
                if tool == "opentsne" and name != "mnist10k" and int(size) > opts.opentsne_max:
                    continue
                key = f"{name}/{tool}"
                if key in cache["runs"] and not opts.force:
                    print(f"{key}: cached")
                    continue
                print(f"{key}: running (load {common.load_average():.2f})", flush=True)
                record = run_one(tool, name, opts)
                cache["runs"][key] = record
                save_cache(cache, opts.cache)
                print(f"{key}: {record['status']}, first {_fmt(record.get('first_s'))} s, "
                      f"warm {_fmt(record.get('warm_s'))} s, "
                      f"trust {_fmt(record.get('trustworthiness'), 3)}, "
                      f"5-NN {_fmt(record.get('knn5_accuracy'), 3)}", flush=True)
    if cache["runs"]:
        print(tables(cache))


if __name__ == "__main__":
    main()
