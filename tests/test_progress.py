"""Progress and Ctrl-C: the progress entry points give the first module's bits
and count every stage; a stop request ends them within milliseconds with
every thread joined and every allocation freed; SIGINT stops a fit (in the
neighbour search or the layout) and the command line; verbose fits draw bars."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

from quelmo import _native_ext, _native_quelmo, _progress
from quelmo.estimator import UMAP


def edge_list(n: int, n_edges: int, dim: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    emb = rng.uniform(0, 10, (n, dim)).astype(np.float32)
    head = rng.integers(0, n, n_edges).astype(np.int32)
    tail = rng.integers(0, n, n_edges).astype(np.int32)
    eps = rng.uniform(1.0, 4.0, n_edges).astype(np.float32)
    return emb, head, tail, eps


@pytest.mark.parametrize("threads", [1, 2, 3])
def test_knn_entry_gives_the_exported_bits_and_counts(threads):
    n, d, k = 1500, 12, 10
    x = np.random.default_rng(threads).normal(size=(n, d)).astype(np.float32)
    out = [(np.full((n, k), -5, np.int32), np.full((n, k), -5.0, np.float32)) for _ in range(2)]
    args = (n, d, k, 6, 8, 17, 30, threads)
    assert _native_quelmo.knn_descent_f32(x, *out[0], *args) == 0
    control = np.zeros(_progress.CONTROL_SLOTS, np.int64)
    assert _native_ext.knn_descent_progress_f32(x, *out[1], *args, control) == 0
    assert out[0][0].tobytes() == out[1][0].tobytes()
    assert out[0][1].tobytes() == out[1][1].tobytes()
    assert control[_progress.TREES_DONE] == control[_progress.TREES_TOTAL] == 6
    assert 1 <= control[_progress.ITERS_DONE] <= control[_progress.ITERS_TOTAL] == 8


# The small layouts run their workers inline (too little work per sub-step for
# threads), the large one on threads: the exported kernel always uses threads.
@pytest.mark.parametrize("threads, dim, n, n_edges", [
    (1, 2, 400, 4000), (2, 2, 400, 4000), (3, 2, 400, 4000), (2, 3, 400, 4000),
    (2, 2, 3000, 150_000)])
def test_layout_entry_gives_the_exported_bits_and_counts(threads, dim, n, n_edges):
    emb, head, tail, eps = edge_list(n, n_edges, dim, seed=threads)
    ours, theirs = emb.copy(), emb.copy()
    args = (head, tail, eps, n, dim, 30, 1.58, 0.9, 1.0, 1.0, 5.0, 11, threads)
    rc = _native_quelmo.umap_layout_euclidean_f32(theirs, *args)
    control = np.zeros(_progress.CONTROL_SLOTS, np.int64)
    assert _native_ext.layout_progress_f32(ours, *args, control) == rc == (-1 if threads == 1
                                                                            else 0)
    assert ours.tobytes() == theirs.tobytes()
    assert control[_progress.EPOCHS_DONE] == control[_progress.EPOCHS_TOTAL] == 30


def test_control_record_is_checked():
    emb, head, tail, eps = edge_list(20, 50, 2)
    args = (head, tail, eps, 20, 2, 5, 1.58, 0.9, 1.0, 1.0, 5.0, 1, 2)
    with pytest.raises(ValueError, match="control"):
        _native_ext.layout_progress_f32(emb, *args, np.zeros(7, np.int64))
    with pytest.raises(ValueError, match="control"):
        _native_ext.layout_progress_f32(emb, *args, np.zeros(8, np.int32))
    shared = np.zeros(64, np.int64)
    with pytest.raises(ValueError, match="control must not overlap"):
        _native_ext.layout_progress_f32(shared[:20].view(np.float32), *args, shared[8:16])


STOP_SNIPPET = """
import os, threading, time
from quelmo import _progress
def tasks():
    return len(os.listdir("/proc/self/task"))
def stop(call, control, slot, at):
    # Runs call() on a thread, sets the stop slot once control[slot] >= at.
    out = {}
    worker = threading.Thread(target=lambda: out.setdefault("rc", call()))
    before = tasks()
    qfi.arm()
    worker.start()
    while control[slot] < at and worker.is_alive():
        time.sleep(0.001)
    start = time.perf_counter()
    control[_progress.STOP] = 1
    worker.join()
    latency = time.perf_counter() - start
    s = qfi.stats()
    qfi.disarm()
    deadline = time.monotonic() + 1.0
    while tasks() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    print(out["rc"], latency < 0.5, s["threads"] > 0, s["live"], max(tasks() - before, 0))

rng = np.random.default_rng(0)
x = rng.normal(size=(20000, 16)).astype(np.float32)
idx = np.empty((20000, 10), np.int32)
dist = np.empty((20000, 10), np.float32)
control = np.zeros(_progress.CONTROL_SLOTS, np.int64)
stop(lambda: _native_ext.knn_descent_progress_f32(x, idx, dist, 20000, 16, 10, 400, 10, 3,
                                                  30, 2, control),
     control, _progress.TREES_DONE, 2)
# Two small trees leave the descent many iterations to run.
control = np.zeros(_progress.CONTROL_SLOTS, np.int64)
stop(lambda: _native_ext.knn_descent_progress_f32(x, idx, dist, 20000, 16, 10, 2, 50, 3,
                                                  12, 2, control),
     control, _progress.ITERS_DONE, 1)
emb = rng.uniform(0, 10, (3000, 2)).astype(np.float32)
head = rng.integers(0, 3000, 30000).astype(np.int32)
tail = rng.integers(0, 3000, 30000).astype(np.int32)
eps = rng.uniform(1, 4, 30000).astype(np.float32)
# Serial; threaded; two workers run inline (a thousand edges are too few for threads).
for threads, m in ((1, 30000), (2, 30000), (2, 1000)):
    control = np.zeros(_progress.CONTROL_SLOTS, np.int64)
    stop(lambda: _native_ext.layout_progress_f32(emb, head[:m], tail[:m], eps[:m], 3000, 2,
                                                 10**6, 1.58, 0.9, 1.0, 1.0, 5.0, 7, threads,
                                                 control),
         control, _progress.EPOCHS_DONE, 3)
    # Asked before it starts: nothing moves.
    control[_progress.STOP] = 1
    before = emb.copy()
    rc = _native_ext.layout_progress_f32(emb, head[:m], tail[:m], eps[:m], 3000, 2, 10, 1.58,
                                         0.9, 1.0, 1.0, 5.0, 7, threads, control)
    print(rc, emb.tobytes() == before.tobytes())
"""


def test_stop_request_ends_the_kernels_promptly_and_cleanly(run_injected):
    # Columns: status, stopped within 0.5 s of the request, the kernel ran
    # threads, live allocations left, threads left.
    lines = run_injected(STOP_SNIPPET).stdout.split("\n")
    assert lines[:8] == ["-3 True True 0 0",             # kNN, in the tree phase
                         "-3 True True 0 0",              # kNN, in the descent
                         "-3 True False 0 0", "-3 True",  # serial layout
                         "-3 True True 0 0", "-3 True",   # threaded layout
                         "-3 True False 0 0", "-3 True"]  # inline workers


# A child that fits until it gets SIGINT in the stage named by argv[1], then
# prints what it left behind.
SIGINT_CHILD = """
import ctypes, os, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if the parent ignores it
import numpy as np
from quelmo import UMAP, _layout, _neighbors, _transform
def tasks():
    return len(os.listdir("/proc/self/task"))
qfi = ctypes.CDLL(None)
X = np.random.default_rng(0).normal(size=(20000, 16)).astype(np.float32)
UMAP(n_epochs=5, init="random", random_state=0, n_jobs=2).fit(X[:300])  # every library loaded
before = tasks()
module, name = {"layout": (_layout, "optimize_layout"), "knn": (_neighbors, "search_knn"),
                "transform": (_transform, "_transform_block")}[sys.argv[1]]
original = getattr(module, name)
def announced(*args, **kwargs):
    print("started", flush=True)
    setattr(module, name, original)
    return original(*args, **kwargs)
# Far more trees, epochs or new points than usual, so that the signal finds the
# stage running.
if sys.argv[1] == "transform":
    fitted = UMAP(n_epochs=10, init="random", random_state=0, n_jobs=2).fit(X[:2000])
    many = np.tile(X, (50, 1))
    def call():
        fitted.transform(many)
else:
    model = UMAP(n_epochs=100000, n_trees=400 if sys.argv[1] == "knn" else None,
                 init="random", random_state=0, n_jobs=2)
    def call():
        model.fit(X)
setattr(module, name, announced)
assert qfi.qfi_arm(ctypes.c_long(0), ctypes.c_long(0)) == 0
try:
    call()
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    stats = (ctypes.c_long * 4)()
    qfi.qfi_stats(stats)
    deadline = time.monotonic() + 1.0
    while tasks() > before and time.monotonic() < deadline:
        time.sleep(0.01)
    # A thread of the warm-up call may still be exiting when "before" is
    # counted: fewer threads than then is fine, more is a thread left behind.
    print(stats[1] > 0, stats[2], max(tasks() - before, 0),
          sys.argv[1] != "transform" and hasattr(model, "embedding_"), flush=True)
"""


def interrupt(command: list[str], env: dict[str, str] | None = None
              ) -> tuple[int, str, str, float]:
    """Starts command, waits for its "started" line and a moment more, sends
    SIGINT, and returns the exit status, the rest of its output and errors,
    and the seconds from the signal to its next line."""
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        assert proc.stdout.readline() == "started\n", proc.stderr.read()
        time.sleep(0.5)
        start = time.monotonic()
        proc.send_signal(signal.SIGINT)
        line = proc.stdout.readline()
        latency = time.monotonic() - start
        assert line == "interrupted\n", line + proc.stderr.read()
        out, err = proc.stdout.read(), proc.stderr.read()
        return proc.wait(timeout=60), out, err, latency
    except BaseException:
        proc.kill()
        proc.wait()
        raise


@pytest.mark.parametrize("stage", ["knn", "layout", "transform"])
def test_sigint_stops_a_fit_or_transform_within_a_second(stage, fault_injector):
    env = dict(os.environ, LD_PRELOAD=str(fault_injector))
    if "san" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("a sanitizer runtime owns malloc in this process")
    status, out, err, latency = interrupt([sys.executable, "-c", SIGINT_CHILD, stage], env)
    assert status == 0, err
    # The kernels ran threads; none is left, no allocation is left, and the
    # estimator got no fitted attribute.
    assert out.split() == ["True", "0", "0", "False"]
    assert latency < 1.0


CLI_CHILD = """
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
from quelmo import _layout
from quelmo.cli import main
original = _layout.optimize_layout
def announced(*args, **kwargs):
    print("started", flush=True)
    return original(*args, **kwargs)
_layout.optimize_layout = announced
code = main(["embed", sys.argv[1], "-o", sys.argv[2], "-q", "--init", "random",
             "--n-epochs", "100000", "--n-jobs", "2"])
print("interrupted", flush=True)
sys.exit(code)
"""


def test_command_line_exits_130_with_one_line(tmp_path: Path):
    data = tmp_path / "x.npy"
    np.save(data, np.random.default_rng(1).normal(size=(3000, 8)).astype(np.float32))
    status, _, err, latency = interrupt([sys.executable, "-c", CLI_CHILD, str(data),
                                         str(tmp_path / "out.npy")])
    assert status == 130 and err == "quelmo: interrupted\n" and latency < 1.0
    assert not (tmp_path / "out.npy").exists()


def test_verbose_fit_draws_a_bar_per_stage(capsys):
    X = np.random.default_rng(2).normal(size=(400, 6)).astype(np.float32)
    quiet = UMAP(n_epochs=30, random_state=3).fit_transform(X)
    assert capsys.readouterr() == ("", "")
    loud = UMAP(n_epochs=30, random_state=3, verbose=True).fit_transform(X)
    err = capsys.readouterr().err
    # tqdm's final state of each bar, in stage order; the descent's bar ends
    # at the iterations it ran.
    trees = err.index("kNN trees: 100%")
    descent = err.index("kNN descent: 100%")
    layout = err.index("layout: 100%")
    assert trees < descent < err.index("quelmo: knn") < layout
    assert "30/30" in err[layout:]
    assert loud.tobytes() == quiet.tobytes()


def test_errors_of_the_call_reach_the_caller():
    def failing(control: np.ndarray) -> int:
        raise MemoryError("scratch")

    with pytest.raises(MemoryError, match="scratch"):
        _progress.run_with_progress(failing, _progress.LAYOUT_STAGES, show=True)
