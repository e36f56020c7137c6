"""Reliability: the kernels under AddressSanitizer, UndefinedBehaviorSanitizer
and ThreadSanitizer; injected allocation and thread failures through a whole
fit; concurrent calls from Python threads; the interpreter lock released
during a call; no leak, no growth and no lost reference over thousands of
calls; and the regressions of faults these checks found."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

from quelmo import _native_quelmo as native

TESTS_DIR = Path(__file__).resolve().parent


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def knn_call(x: np.ndarray, k: int = 8, threads: int = 2, seed: int = 3):
    n, d = x.shape
    idx = np.full((n, k), -5, np.int32)
    dist = np.full((n, k), -5.0, np.float32)
    rc = native.knn_descent_f32(x, idx, dist, n, d, k, 3, 4, seed, 0, threads)
    return rc, idx, dist


def graph_call(idx: np.ndarray, dist: np.ndarray):
    n, k = idx.shape
    out = (np.full(2 * n * k, 7, np.int32), np.full(2 * n * k, 7, np.int32),
           np.full(2 * n * k, 7.0, np.float32))
    native.umap_graph_f32(idx, dist, *out, n, k)
    return out


def layout_call(emb0: np.ndarray, head, tail, eps, epochs: int = 10, threads: int = 2,
                seed: int = 5):
    emb = emb0.copy()
    n, dim = emb.shape
    rc = native.umap_layout_euclidean_f32(emb, head, tail, eps, n, dim, epochs, 1.58, 0.9, 1.0,
                                          1.0, 5.0, seed, threads)
    return rc, emb


def problem(n: int, d: int = 6, n_edges: int | None = None, seed: int = 0):
    """Data, dense kNN arrays and an edge list of a small random problem."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, d)).astype(np.float32)
    k = 6
    idx = np.stack([(np.arange(n) + j) % n for j in range(k)], 1).astype(np.int32)
    dist = np.sort(rng.uniform(0, 3, (n, k)), axis=1).astype(np.float32)
    dist[:, 0] = 0
    n_edges = 10 * n if n_edges is None else n_edges
    head = rng.integers(0, n, n_edges).astype(np.int32)
    tail = rng.integers(0, n, n_edges).astype(np.int32)
    eps = rng.uniform(1.0, 4.0, n_edges).astype(np.float32)
    emb = rng.uniform(0, 10, (n, 2)).astype(np.float32)
    return x, idx, dist, head, tail, eps, emb


# ---------------------------------------------------------------------------
# Sanitizers

def _sanitizer_toolchain_present() -> bool:
    for tool in ("cmake", "gcc", "g++"):
        if shutil.which(tool) is None or subprocess.run(
                [tool, "--version"], capture_output=True).returncode != 0:
            return False
    for lib in ("libasan.so", "libubsan.so", "libtsan.so"):
        out = subprocess.run(["gcc", "-print-file-name=" + lib], capture_output=True, text=True)
        if out.returncode != 0 or not os.path.isabs(out.stdout.strip()):
            return False
    return True


@pytest.mark.slow
def test_kernels_clean_under_sanitizers(tmp_path):
    # tests/native/kernel_driver.cpp: every kernel on edge-case inputs against
    # the references, every allocation and thread creation of representative
    # calls failed in turn, and concurrent callers; once with ASan + UBSan
    # (leaks included) and once with TSan.  Any report fails the run.
    if not _sanitizer_toolchain_present():
        pytest.skip("needs cmake, gcc, g++ and gcc's sanitizer runtimes")
    env = dict(os.environ, PYTHON=sys.executable)
    env.pop("LD_PRELOAD", None)
    proc = subprocess.run([str(TESTS_DIR / "native" / "run_sanitizers.sh"), str(tmp_path)],
                          env=env, capture_output=True, text=True, timeout=900)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-6000:]
    # Both builds ran every check.
    summaries = [line for line in proc.stdout.splitlines() if line.endswith("failed")]
    assert len(summaries) == 2 and all(s.endswith(" 0 failed") for s in summaries), proc.stdout


# ---------------------------------------------------------------------------
# Injected faults through a whole fit: each allocation and each thread
# creation of the kernels fails in turn.

FIT_SNIPPET = """
import warnings
from quelmo import UMAP
warnings.simplefilter("ignore")
X = np.random.default_rng(1).normal(size=(120, 6)).astype(np.float32)
def fit():
    return UMAP(n_neighbors=8, n_epochs=12, random_state=4, n_jobs=2, init="random").fit_transform(X)
qfi.arm()
base = fit()
counts = qfi.stats()
qfi.disarm()
print("counts", counts["mallocs"], counts["threads"], counts["live"])
for kind in ("malloc", "thread"):
    total = counts["mallocs"] if kind == "malloc" else counts["threads"]
    for nth in range(1, total + 1):
        qfi.arm(**{kind + "_at": nth})
        try:
            out = fit()
            outcome = "same" if out.tobytes() == base.tobytes() else (
                "finite" if np.isfinite(out).all() else "nonfinite")
        except MemoryError as exc:
            outcome = "MemoryError:" + str(exc).replace(" ", "_")
        s = qfi.stats()
        qfi.disarm()
        print(kind, nth, outcome, s["live"], s["failed"])
"""


@pytest.mark.slow
def test_fit_survives_every_failed_allocation_and_thread(run_injected):
    lines = [line.split() for line in run_injected(FIT_SNIPPET, timeout=300).stdout.splitlines()]
    _, mallocs, threads, live = lines[0]
    assert int(mallocs) > 40 and int(threads) > 10 and live == "0"
    outcomes = {"malloc": [], "thread": []}
    for kind, nth, outcome, live, failed in lines[1:]:
        assert (live, failed) == ("0", "1"), (kind, nth)  # nothing leaked
        outcomes[kind].append(outcome)
    assert len(outcomes["malloc"]) == int(mallocs)
    assert len(outcomes["thread"]) == int(threads)
    # A failed thread creation moves work to the calling thread (kNN) or to
    # the serial optimiser (layout): always a finite embedding, and the very
    # same one while only the kNN search was hit.
    assert set(outcomes["thread"]) <= {"same", "finite"} and "same" in outcomes["thread"]
    # A failed allocation either ends the search with the estimator's
    # MemoryError, or is absorbed: the kNN falls back to the forest table or
    # the plain path, the graph method raises MemoryError, the layout runs
    # serially.  Never a crash, a leak or a non-finite result.
    messages = {o for o in outcomes["malloc"] if o.startswith("MemoryError")}
    assert messages and set(outcomes["malloc"]) - messages <= {"same", "finite"}


def test_fit_never_returns_a_layout_that_did_not_run(run_injected):
    # On one thread, in a fit from given neighbours (no index of new points
    # is built after the layout), the layout's schedule arrays are the fit's
    # last three allocations in the extensions.  Each failing stops the fit
    # with MemoryError; it does not hand back the initial layout as the result.
    out = run_injected("""
from quelmo import UMAP
X = np.random.default_rng(2).normal(size=(80, 4)).astype(np.float32)
first = UMAP(n_neighbors=6, n_epochs=10, random_state=1, n_jobs=1, init="random").fit(X)
knn = (first.knn_indices_, first.knn_dists_)
def estimator():
    return UMAP(n_neighbors=6, n_epochs=10, random_state=1, n_jobs=1, init="random",
                precomputed_knn=knn)
model = estimator()
qfi.arm()
model.fit(X)
total = qfi.stats()["mallocs"]
qfi.disarm()
for nth in (total - 2, total - 1, total):
    model = estimator()
    qfi.arm(malloc_at=nth)
    try:
        model.fit(X)
        outcome = "returned"
    except MemoryError as exc:
        outcome = "layout" if "layout" in str(exc) else repr(exc)
    live = qfi.stats()["live"]
    qfi.disarm()
    print(outcome, hasattr(model, "embedding_"), live)
""").stdout
    assert out.split("\n")[:3] == ["layout False 0"] * 3, out


@pytest.mark.slow
def test_layout_method_every_thread_creation_failing(run_injected):
    # For each worker count, the n-th creation failing aborts the barrier with
    # n - 1 workers waiting: the serial result, -1, nothing leaked.
    out = run_injected("""
rng = np.random.default_rng(3)
N, E = 150, 1200
emb0 = rng.uniform(0, 10, (N, 2)).astype(np.float32)
head = rng.integers(0, N, E).astype(np.int32)
tail = rng.integers(0, N, E).astype(np.int32)
eps = rng.uniform(1, 3, E).astype(np.float32)
def call(T):
    emb = emb0.copy()
    rc = _native_quelmo.umap_layout_euclidean_f32(emb, head, tail, eps, N, 2, 8, 1.6, 0.9,
                                                  1.0, 1.0, 5.0, 11, T)
    return rc, emb
rc, serial = call(1)
for T in (2, 3, 4, 6, 9):
    for nth in range(1, T + 1):
        qfi.arm(thread_at=nth)
        rc, emb = call(T)
        s = qfi.stats()
        qfi.disarm()
        print(T, nth, rc, emb.tobytes() == serial.tobytes(), s["threads"], s["live"])
""").stdout
    rows = [line.split() for line in out.splitlines()]
    assert len(rows) == 2 + 3 + 4 + 6 + 9
    for T, nth, rc, same, threads, live in rows:
        assert (rc, same, threads, live) == ("-1", "True", nth, "0"), (T, nth)


# ---------------------------------------------------------------------------
# Concurrency

def test_concurrent_calls_give_the_bits_of_sequential_ones():
    problems = [problem(n, seed=s) for s, n in enumerate((300, 260, 340, 280))]
    expected = []
    for x, idx, dist, head, tail, eps, emb in problems:
        expected.append((knn_call(x), graph_call(idx, dist), layout_call(emb, head, tail, eps)))
    results: dict[int, list] = {}
    errors: list[BaseException] = []
    start = threading.Barrier(len(problems))

    def work(i: int) -> None:
        try:
            x, idx, dist, head, tail, eps, emb = problems[i]
            start.wait()
            results[i] = [(knn_call(x), graph_call(idx, dist), layout_call(emb, head, tail, eps))
                          for _ in range(3)]
        except BaseException as exc:  # reported below, in the main thread
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(problems))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors, errors
    for i, runs in results.items():
        (krc, kidx, kdist), gout, (lrc, lemb) = expected[i]
        for (rc, idx, dist), graph, (rc2, emb) in runs:
            assert rc == krc == 0 and same_bits(idx, kidx) and same_bits(dist, kdist)
            assert all(same_bits(a, b) for a, b in zip(graph, gout))
            assert rc2 == lrc == 0 and same_bits(emb, lemb)


def _count_during(call) -> tuple[float, float]:
    """Rate (increments per second) of a counting thread while ``call`` runs
    in this one, and while this one sleeps."""
    counter = [0]
    stop = threading.Event()

    def count() -> None:
        while not stop.is_set():
            counter[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        before, t0 = counter[0], time.perf_counter()
        time.sleep(0.2)
        free_rate = (counter[0] - before) / (time.perf_counter() - t0)
        before, t0 = counter[0], time.perf_counter()
        call()
        # Read before the counter can run again: with the lock held through
        # the call it could not have moved since `before`.
        advance, elapsed = counter[0] - before, time.perf_counter() - t0
    finally:
        stop.set()
        thread.join()
    assert elapsed > 0.1, "the call is too short to tell"
    return advance / elapsed, free_rate


def _lock_test_call(method: str, scale: int):
    rng = np.random.default_rng(0)
    if method == "knn":
        x = rng.normal(size=(6000 * scale, 24)).astype(np.float32)
        return lambda: knn_call(x, k=15, threads=1)
    if method == "graph":
        n, k = 40_000 * scale, 40
        idx = rng.integers(0, n, (n, k)).astype(np.int32)
        dist = np.sort(rng.uniform(0, 2, (n, k)), axis=1).astype(np.float32)
        return lambda: graph_call(idx, dist)
    _, _, _, head, tail, eps, emb = problem(3000, n_edges=60_000)
    return lambda: layout_call(emb, head, tail, eps, epochs=60 * scale, threads=1)


@pytest.mark.slow
@pytest.mark.parametrize("method", ["knn", "graph", "layout"])
def test_interpreter_lock_released_during_a_call(method):
    # Had the call kept the lock, the counter could not move at all while
    # it ran; released, it counts at a good part of its free rate (on one
    # thread the kernel leaves the other processor to the counter).
    # A fast machine gets a bigger problem, so the call lasts long enough
    # to tell the two apart.
    scale = 1
    call = _lock_test_call(method, scale)
    while scale < 64:
        t0 = time.perf_counter()
        call()
        if time.perf_counter() - t0 > 0.3:
            break
        scale *= 2
        call = _lock_test_call(method, scale)
    rate, free_rate = _count_during(call)
    assert rate > 0.05 * free_rate, (rate, free_rate)


# ---------------------------------------------------------------------------
# Soak: thousands of calls in one process

SOAK_SNIPPET = """
import gc, os
rng = np.random.default_rng(0)
x = rng.normal(size=(80, 5)).astype(np.float32)
idx = np.stack([(np.arange(80) + j) % 80 for j in range(6)], 1).astype(np.int32)
dist = np.sort(rng.uniform(0, 3, (80, 6)), axis=1).astype(np.float32)
head = rng.integers(0, 80, 400).astype(np.int32)
tail = rng.integers(0, 80, 400).astype(np.int32)
eps = rng.uniform(1, 3, 400).astype(np.float32)
emb0 = rng.uniform(0, 10, (80, 2)).astype(np.float32)
kidx = np.zeros((80, 6), np.int32); kdist = np.zeros((80, 6), np.float32)
rows = np.zeros(960, np.int32); cols = rows.copy(); vals = np.zeros(960, np.float32)
short = np.zeros(3, np.float32)
m = _native_quelmo
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
def round_(i):
    assert m.knn_descent_f32(x, kidx, kdist, 80, 5, 6, 2, 2, i, 0, 2) == 0
    m.umap_graph_f32(idx, dist, rows, cols, vals, 80, 6)
    emb = emb0.copy()
    m.umap_layout_euclidean_f32(emb, head, tail, eps, 80, 2, 3, 1.6, 0.9, 1.0, 1.0, 5.0, i, 2)
    # Refused calls: every acquired view must be released on the error path.
    for call in (lambda: m.knn_descent_f32(x, kidx, short, 80, 5, 6, 2, 2, i, 0, 2),
                 lambda: m.umap_graph_f32(idx, dist, rows, cols, short, 80, 6),
                 lambda: m.umap_layout_euclidean_f32(emb, head, tail, short, 80, 2, 3, 1.6,
                                                     0.9, 1.0, 1.0, 5.0, i, 2)):
        try:
            call()
        except ValueError:
            pass
        else:
            raise AssertionError("refused call succeeded")
for i in range(300):
    round_(i)
gc.collect()
refs = [sys.getrefcount(a) for a in (x, idx, dist, head, tail, eps, kidx, kdist, rows, short)]
qfi.arm()
before = rss()
for i in range({rounds}):
    round_(i)
gc.collect()
after = rss()
s = qfi.stats()
qfi.disarm()
refs2 = [sys.getrefcount(a) for a in (x, idx, dist, head, tail, eps, kidx, kdist, rows, short)]
print(s["mallocs"], s["threads"], s["live"], before, after, refs == refs2)
"""


@pytest.mark.slow
def test_soak_thousands_of_calls_memory_flat(run_injected):
    rounds = 1500  # each round: 3 successful and 3 refused calls, 4500 kernel calls in all
    t0 = time.perf_counter()
    out = run_injected("import sys\n" + SOAK_SNIPPET.replace("{rounds}", str(rounds)),
                       timeout=120).stdout.split()
    mallocs, threads, live, before, after, refs_same = out
    assert time.perf_counter() - t0 < 60
    # Every kernel allocation was released (the injector counts them all).
    assert int(mallocs) > 20 * rounds and int(threads) >= 4 * rounds and live == "0"
    # Resident memory flat: 4500 calls may move it by allocator noise only.
    assert int(after) - int(before) < 2 * 2**20, (before, after)
    # No view kept a reference to its array on any path.
    assert refs_same == "True"


# ---------------------------------------------------------------------------
# Regressions of faults found by the checks above

def test_layout_refuses_edge_ids_stored_in_the_embedding():
    # The ids pass the range check, then the serial optimiser moved the
    # coordinates that held them and read the moved bits as ids: a write far
    # outside the embedding (segmentation fault).
    n, dim, n_edges = 1000, 2, 100
    emb = np.random.default_rng(0).uniform(-5, 5, n * dim).astype(np.float32)
    head = emb[:n_edges].view(np.int32)
    head[:] = np.arange(n_edges) + 500
    tail = (np.arange(n_edges) % 50).astype(np.int32)  # the rows holding the ids
    eps = np.ones(n_edges, np.float32)
    saved = emb.copy()
    for threads in (1, 2):
        with pytest.raises(ValueError, match="^embedding must not overlap head, tail, or "
                                             "epochs_per_sample$"):
            native.umap_layout_euclidean_f32(emb, head, tail, eps, n, dim, 20, 1.0, 1.0, 1.0,
                                             1.0, 5.0, 1, threads)
        assert same_bits(emb, saved)
    # Separate parts of one buffer are fine.
    store = np.zeros(n * dim + 2 * n_edges, np.float32)
    emb2 = store[: n * dim]
    emb2[:] = saved
    tail2 = store[n * dim: n * dim + n_edges].view(np.int32)
    tail2[:] = tail
    assert native.umap_layout_euclidean_f32(emb2, np.arange(n_edges, dtype=np.int32) + 500,
                                            tail2, eps, n, dim, 5, 1.0, 1.0, 1.0, 1.0, 5.0, 1,
                                            1) == -1
    assert not same_bits(emb2, saved)


def test_knn_refuses_overlapping_outputs():
    # Threads write rows of idx and dist while others read x and their own
    # rows: overlapping arrays were a data race with results that changed
    # from run to run.
    x = np.random.default_rng(0).normal(size=(50, 4)).astype(np.float32)
    store = np.zeros(50 * 4 * 3, np.float32)
    msg = "^x, idx, and dist must not overlap$"
    with pytest.raises(ValueError, match=msg):
        native.knn_descent_f32(x, store.view(np.int32), store, 50, 4, 4, 2, 2, 0, 0, 2)
    xs = store[:200]
    xs[:] = x.ravel()
    with pytest.raises(ValueError, match=msg):
        native.knn_descent_f32(xs, store[100:300].view(np.int32), store[400:], 50, 4, 4, 2, 2,
                               0, 0, 2)
    assert same_bits(xs, x.ravel())
    # Neighbouring parts of one buffer are fine.
    rc = native.knn_descent_f32(xs, store[200:400].view(np.int32), store[400:600], 50, 4, 4, 2,
                                2, 0, 0, 2)
    assert rc == 0


def test_command_line_reports_an_oversized_csv_field(tmp_path, capsys):
    # Python's csv module raises csv.Error for a field over its limit
    # (128 KiB); it escaped as a traceback instead of the one-line error.
    from quelmo import cli

    path = tmp_path / "wide.csv"
    path.write_text("1," + "9" * 200_000 + "\n1,2\n")
    assert cli.main(["embed", str(path), "-o", str(tmp_path / "out.npy"), "-q"]) == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert len(err) == 1 and err[0].startswith("quelmo: error: ") and "field limit" in err[0]


@pytest.mark.parametrize("method", ["knn", "graph", "layout"])
def test_methods_refuse_misaligned_buffers(method):
    # A C-contiguous view may start at any byte (np.frombuffer with an odd
    # offset).  The kernels' int32 and float accesses there are undefined
    # behaviour, which UndefinedBehaviorSanitizer reported in all three.
    def misaligned(values: np.ndarray) -> np.ndarray:
        raw = bytearray(values.nbytes + 1)
        out = np.frombuffer(raw, values.dtype, values.size, offset=1)
        out[...] = values.ravel()
        return out

    x, idx, dist, head, tail, eps, emb = problem(20)
    if method == "knn":
        outputs = [np.zeros(20 * 4, np.int32), np.zeros(20 * 4, np.float32)]
        call = lambda xx: native.knn_descent_f32(xx, *outputs, 20, 6, 4, 1, 1, 0, 0, 1)  # noqa
        arg, name = x, "x"
    elif method == "graph":
        outputs = [np.zeros(240, np.int32), np.zeros(240, np.int32), np.zeros(240, np.float32)]
        call = lambda ii: native.umap_graph_f32(ii, dist, *outputs, 20, 6)  # noqa: E731
        arg, name = idx, "idx"
    else:
        outputs = [emb]
        call = lambda hh: native.umap_layout_euclidean_f32(  # noqa: E731
            emb, hh, tail, eps, 20, 2, 5, 1.6, 0.9, 1.0, 1.0, 5.0, 1, 1)
        arg, name = head, "head"
    saved = [o.copy() for o in outputs]
    with pytest.raises(ValueError, match=f"^{name} must be aligned to its 4-byte items$"):
        call(misaligned(arg))
    assert all(same_bits(o, s) for o, s in zip(outputs, saved))
    call(np.ascontiguousarray(arg))  # the same values, aligned: accepted
