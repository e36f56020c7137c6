"""Hostile input: property-based calls of the three module methods, the
estimator and the command line with wrong shapes, item sizes, strides,
read-only and aliased buffers, objects without the buffer protocol, extreme
integers and seeds, NaN and infinite data and parameters, and broken files.

Every call runs in a worker subprocess (crash_worker.py), so a crash or a
hang is a test failure, not the end of the run.  The property: each call
either succeeds or raises a Python exception with a message, and after an
exception every buffer it was given is unchanged.

Parameters that only ask for a great deal of work (huge epoch, tree or
iteration counts; finite periods or rates that ask for about 2^31 negative
samples per edge) are left out: those calls are slow, not wrong.  Infinite
rates, and rates that overflow float32, are refused and so are tried.  The number of
examples per test can be raised with QUELMO_HOSTILE_EXAMPLES (a factor).
"""

from __future__ import annotations

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from crash_worker import Worker

pytestmark = pytest.mark.slow

SCALE = float(os.environ.get("QUELMO_HOSTILE_EXAMPLES", "1"))
EXCEPTIONS = {"ValueError", "TypeError", "OverflowError", "BufferError", "MemoryError"}


def examples(n: int) -> int:
    return max(1, int(n * SCALE))


def hostile_settings(n: int):
    # derandomize: CI tries the same inputs every time; raise SCALE to explore.
    return settings(max_examples=examples(n), deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@pytest.fixture(scope="module")
def worker():
    w = Worker(timeout=60.0)
    yield w
    w.close()


def assert_sane(report: dict, allowed_values: set) -> None:
    """The call returned an allowed value, or raised a usual exception with a
    message and left every buffer as it was."""
    outcome = report["outcome"]
    assert outcome in ("ok", "raised"), report.get("detail", report)
    if outcome == "raised":
        assert report["type"] in EXCEPTIONS, report
        assert report["message"].strip(), report
        assert report["untouched"], report
    else:
        assert report["value"] in allowed_values, report
        assert report.get("rows_ok", True), report


# ---------------------------------------------------------------------------
# Building blocks

# Integers that the "i" argument unit refuses or that every size check must
# survive.
HOSTILE_INTS = [0, -1, -7, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**63, -(2**63) - 1,
                2**64, 2**100]
NOT_INTS = [1.5, "3", None, float("nan"), [1]]
HOSTILE_FLOATS = [float("nan"), float("inf"), -float("inf"), 0.0, -0.0, -1.0, 1e-45, 1e-300,
                  1e300, -1e300, 3.4e38]
WRONG_DTYPES = [np.float64, np.int64, np.int16, np.uint8, np.float16, np.complex64]
NON_BUFFERS = [None, 3, 2.5, "abc", [0.0, 1.0], {"a": 1}, (1, 2)]


def data_values(kind: str, count: int, seed: int, dtype=np.float32) -> np.ndarray:
    """Data of one kind, made by NumPy from a seed (cheaper to draw than
    element by element, and still shrinkable through kind and seed)."""
    rng = np.random.default_rng(seed)
    if kind == "normal":
        v = rng.normal(size=count)
    elif kind == "zeros":
        v = np.zeros(count)
    elif kind == "duplicates":
        v = rng.integers(0, 2, count).astype(np.float64)
    elif kind == "nan":
        v = np.where(rng.random(count) < 0.2, np.nan, rng.normal(size=count))
    elif kind == "inf":
        v = np.where(rng.random(count) < 0.2, np.inf * rng.choice([-1, 1], count),
                     rng.normal(size=count))
    elif kind == "huge":
        v = rng.uniform(-3.4e38, 3.4e38, count)
    elif kind == "denormal":
        v = rng.uniform(-1e-40, 1e-40, count)
    else:  # bytes: small integers as image data has them
        v = rng.integers(0, 256, count).astype(np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        return v.astype(dtype)


DATA_KINDS = st.sampled_from(["normal", "zeros", "duplicates", "nan", "inf", "huge", "denormal",
                              "bytes"])


def mutations(draw, n_args: int) -> set:
    """Which arguments of a call are made hostile: none, or one to three, so
    that each hostile value meets otherwise valid arguments (a call wrong in
    five ways at once stops at the first check and tests little)."""
    return draw(st.one_of(st.just(set()),
                          st.sets(st.integers(0, n_args - 1), min_size=1, max_size=3)))


def size(draw, valid, hostile: bool):
    """A valid size from ``valid``, or, when hostile, an extreme integer or
    a non-integer."""
    if not hostile:
        return draw(valid)
    return draw(st.sampled_from(HOSTILE_INTS + NOT_INTS))


def as_int(value, default: int) -> int:
    """The size a buffer is made for: the value itself when it is a sane int."""
    if isinstance(value, int) and not isinstance(value, bool) and 0 < value <= 64:
        return value
    return default


def buffer(draw, data: np.ndarray, shape: tuple, position: int, hostile: bool):
    """An argument holding ``data`` (already of the right dtype and length),
    or, when hostile, one of its hostile variants."""
    if not hostile:
        return ("array", data, "C", False)
    variant = draw(st.sampled_from(
        ["dtype", "short", "empty", "long", "fortran", "strided", "unaligned", "readonly",
         "object", "bytes", "bytearray", "memoryview", "alias", "alias", "alias", "alias"]))
    if variant == "dtype":
        with np.errstate(all="ignore"):
            return ("array", data.astype(draw(st.sampled_from(WRONG_DTYPES))), "C", False)
    if variant == "short":
        return ("array", data[:-1], "C", False)
    if variant == "empty":
        return ("array", data[:0], "C", False)
    if variant == "long":
        return ("array", np.concatenate([data, data[:3]]), "C", False)
    if variant == "fortran" and len(shape) == 2 and min(shape) > 1:
        return ("array", data.reshape(shape), "F", False)
    if variant in ("fortran", "strided"):
        return ("array", data, "strided", False)
    if variant == "unaligned":
        return ("array", data, "unaligned", False)
    if variant == "readonly":
        return ("array", data, "C", True)
    if variant == "object":
        return ("value", draw(st.sampled_from(NON_BUFFERS)))
    if variant in ("bytes", "bytearray"):
        return (variant, 4 * data.size)
    if variant == "memoryview":
        return ("memoryview", draw(st.sampled_from(["f", "i", "I"])), data.size)
    # Aliasing: this argument's items written into the memory of an earlier
    # buffer argument and viewed there.
    if position == 0:
        return ("array", data, "C", True)
    return ("alias", draw(st.integers(0, position - 1)), draw(st.integers(0, 3)), data)


# ---------------------------------------------------------------------------
# knn_descent_f32(x, idx, dist, n, d, k, n_trees, n_iters, seed, leaf_size, n_threads)

@st.composite
def knn_calls(draw):
    bad = mutations(draw, 11)
    n = size(draw, st.integers(2, 40), 3 in bad)
    d = size(draw, st.integers(1, 9), 4 in bad)
    nn, dd = as_int(n, 8), as_int(d, 3)
    k = size(draw, st.integers(1, nn), 5 in bad)  # k = n: the kernel's -1
    kk = as_int(k, 2)
    x = data_values(draw(DATA_KINDS), nn * dd, draw(st.integers(0, 2**16)))
    args = [
        buffer(draw, x, (nn, dd), 0, 0 in bad),
        buffer(draw, np.full(nn * kk, -5, np.int32), (nn, kk), 1, 1 in bad),
        buffer(draw, np.full(nn * kk, -5.0, np.float32), (nn, kk), 2, 2 in bad),
    ]
    # Counts that only ask for more work are kept small: n_trees and n_iters
    # up to 4; leaf sizes and thread counts may be anything (the kernel caps
    # the threads at n and at the tree count).
    pick = lambda i, valid, hostile: draw(st.sampled_from(hostile) if i in bad else valid)
    scalars = [
        n, d, k,
        pick(6, st.integers(-3, 4), [-(2**31), 2**31, "2", None]),  # n_trees
        pick(7, st.integers(-3, 4), [-(2**31), 2**31, 1.0]),  # n_iters
        pick(8, st.integers(0, 2**64 - 1), [-1, 2**64, -(2**70), 2**200, 1.0, None]),  # seed
        pick(9, st.integers(-5, 50), [2**31 - 1, -(2**31), 2**31, "0"]),  # leaf_size
        pick(10, st.integers(-2, 8), [2**31 - 1, -(2**31), 2**31, None]),  # n_threads
    ]
    return {"method": "knn_descent_f32", "args": args + [("value", v) for v in scalars]}


@hostile_settings(400)
@given(call=knn_calls())
def test_knn_method_hostile(worker, call):
    assert_sane(worker.run("native", call), {0, -1, -2})


# ---------------------------------------------------------------------------
# umap_graph_f32(idx, dist, out_rows, out_cols, out_vals, n_samples, n_neighbors)

@st.composite
def graph_calls(draw):
    bad = mutations(draw, 7)
    n = size(draw, st.integers(1, 30), 5 in bad)
    k = size(draw, st.integers(1, 10), 6 in bad)
    nn, kk = as_int(n, 5), as_int(k, 3)
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    if draw(st.booleans()):  # well-formed: the point itself first, then others
        idx = np.stack([(np.arange(nn) + j) % nn for j in range(kk)], 1).ravel()
    else:  # anything, out of range and -1 included
        idx = rng.integers(-3, nn + 3, nn * kk)
    dist = data_values(draw(DATA_KINDS), nn * kk, draw(st.integers(0, 2**16)))
    flat2 = 2 * nn * kk
    args = [
        buffer(draw, idx.astype(np.int32), (nn, kk), 0, 0 in bad),
        buffer(draw, dist, (nn, kk), 1, 1 in bad),
        buffer(draw, np.full(flat2, 7, np.int32), (flat2,), 2, 2 in bad),
        buffer(draw, np.full(flat2, 7, np.int32), (flat2,), 3, 3 in bad),
        buffer(draw, np.full(flat2, 7.0, np.float32), (flat2,), 4, 4 in bad),
    ]
    return {"method": "umap_graph_f32", "args": args + [("value", n), ("value", k)]}


@hostile_settings(400)
@given(call=graph_calls())
def test_graph_method_hostile(worker, call):
    assert_sane(worker.run("native", call), {None})


# ---------------------------------------------------------------------------
# umap_layout_euclidean_f32(embedding, head, tail, epochs_per_sample, n_samples,
#     dim, n_epochs, a, b, gamma, initial_alpha, negative_sample_rate, seed, n_threads)

@st.composite
def layout_calls(draw):
    bad = mutations(draw, 14)
    n = size(draw, st.integers(1, 30), 4 in bad)
    dim = size(draw, st.integers(1, 4), 5 in bad)
    nn, dd = as_int(n, 5), as_int(dim, 2)
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    n_edges = draw(st.integers(0, 60))
    head = rng.integers(0, nn, n_edges).astype(np.int32)
    tail = rng.integers(0, nn, n_edges).astype(np.int32)
    if n_edges and draw(st.integers(0, 9)) == 0:  # an id outside the embedding
        where = head if draw(st.booleans()) else tail
        where[draw(st.integers(0, n_edges - 1))] = draw(st.sampled_from([-1, nn, 2**31 - 1,
                                                                          -(2**31)]))
    # Periods of at least 0.5 epochs with rates up to 20 keep the negative
    # samples per edge below 40 an epoch; 0, negative and non-finite periods
    # disable an edge or make it due without samples.
    eps = rng.uniform(0.5, 8.0, n_edges).astype(np.float32)
    special = rng.random(n_edges) < 0.15
    eps[special] = rng.choice(np.array([0.0, -1.0, np.nan, np.inf, -np.inf], np.float32),
                              int(special.sum()))
    with np.errstate(over="ignore"):
        emb = data_values(draw(DATA_KINDS), nn * dd, draw(st.integers(0, 2**16))) * 10
    args = [
        buffer(draw, emb.astype(np.float32), (nn, dd), 0, 0 in bad),
        buffer(draw, head, (n_edges,), 1, 1 in bad),
        buffer(draw, tail, (n_edges,), 2, 2 in bad),
        buffer(draw, eps, (n_edges,), 3, 3 in bad),
    ]
    pick = lambda i, valid, hostile: draw(st.sampled_from(hostile) if i in bad else valid)
    hostile_float = HOSTILE_FLOATS + ["1.0", None, 2**1100]
    scalars = [
        n, dim,
        pick(6, st.integers(1, 12), [0, -1, -(2**31), 2**31, 2.0]),  # n_epochs
        pick(7, st.floats(0.1, 5.0), hostile_float),  # a
        pick(8, st.floats(0.1, 2.0), hostile_float),  # b
        pick(9, st.floats(0.0, 5.0), hostile_float),  # gamma
        pick(10, st.floats(0.0, 2.0), hostile_float),  # initial_alpha
        # Huge finite rates ask for ~2^31 samples per edge: slow, left out.
        # Infinite ones (1e300 is infinite as float32) are refused.
        pick(11, st.floats(1e-3, 20.0), [float("nan"), 0.0, -1.0, -float("inf"), 1e-45, "5",
                                         float("inf"), 1e300]),
        pick(12, st.integers(0, 2**64 - 1), [-1, 2**64, -(2**70), 2**200, 1.5, None]),  # seed
        # One thread runs the serial optimiser, which reads the edges in place.
        pick(13, st.one_of(st.just(1), st.integers(-2, 8)), [2**31 - 1, 2**31, -(2**31)]),
    ]
    return {"method": "umap_layout_euclidean_f32",
            "args": args + [("value", v) for v in scalars]}


@hostile_settings(400)
@given(call=layout_calls())
def test_layout_method_hostile(worker, call):
    assert_sane(worker.run("native", call), {0, -1})


# ---------------------------------------------------------------------------
# Arrays kept inside one another.  The layout's serial optimiser reads the
# edge ids while it moves the embedding; ids stored in the embedding's memory
# would change under it.  The methods refuse outputs that overlap inputs.

@st.composite
def layout_overlapping_calls(draw):
    n = draw(st.integers(2, 30))
    dim = draw(st.integers(1, 3))
    n_edges = draw(st.integers(1, 40))
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    # One float32 buffer: the embedding at its start, room after it.
    total = n * dim + 3 * n_edges + 8
    store = rng.uniform(0.0, 10.0, total).astype(np.float32)
    edges = {"head": rng.integers(0, n, n_edges).astype(np.int32),
             "tail": rng.integers(0, n, n_edges).astype(np.int32),
             "eps": rng.uniform(1.0, 3.0, n_edges).astype(np.float32)}
    inside = draw(st.sets(st.sampled_from(sorted(edges)), min_size=1))
    args = [("array", store, "C", False)]
    overlap = False
    for name in ("head", "tail", "eps"):
        if name in inside:
            offset = draw(st.integers(0, total - n_edges))
            overlap |= offset < n * dim
            args.append(("alias", 0, offset, edges[name]))
        else:
            args.append(("array", edges[name], "C", False))
    scalars = [n, dim, draw(st.integers(2, 10)), 1.6, 0.9, 1.0, 1.0, 5.0, 7,
               draw(st.sampled_from([1, 1, 2, 0]))]
    return {"method": "umap_layout_euclidean_f32",
            "args": args + [("value", v) for v in scalars]}, overlap


@hostile_settings(100)
@given(case=layout_overlapping_calls())
def test_layout_refuses_edges_inside_the_embedding(worker, case):
    call, overlap = case
    report = worker.run("native", call)
    assert_sane(report, {0, -1})
    if overlap:
        assert report["outcome"] == "raised" and "must not overlap" in report["message"], report


@st.composite
def knn_overlapping_calls(draw):
    n = draw(st.integers(2, 30))
    d = draw(st.integers(1, 5))
    k = draw(st.integers(1, n - 1))
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    total = n * d + 2 * n * k + 8
    store = rng.normal(size=total).astype(np.float32)
    parts = {"x": store[: n * d], "idx": np.full(n * k, -5, np.int32),
             "dist": np.full(n * k, -5.0, np.float32)}
    spans = {"x": (0, n * d)}
    args = [("array", store, "C", False)]
    for name in ("idx", "dist"):
        if draw(st.booleans()):
            offset = draw(st.integers(0, total - n * k))
            spans[name] = (offset, offset + n * k)
            args.append(("alias", 0, offset, parts[name]))
        else:
            args.append(("array", parts[name], "C", False))
    names = sorted(spans)
    overlap = any(spans[a][0] < spans[b][1] and spans[b][0] < spans[a][1]
                  for a in names for b in names if a < b)
    scalars = [n, d, k, 2, 3, 5, 0, draw(st.sampled_from([1, 2, 3]))]
    return {"method": "knn_descent_f32", "args": args + [("value", v) for v in scalars]}, overlap


@hostile_settings(100)
@given(case=knn_overlapping_calls())
def test_knn_refuses_overlapping_outputs(worker, case):
    call, overlap = case
    report = worker.run("native", call)
    assert_sane(report, {0})
    assert (report["outcome"] == "raised") == overlap, report
    if overlap:
        assert report["message"] == "x, idx, and dist must not overlap", report


# ---------------------------------------------------------------------------
# The estimator

def estimator_data(draw, hostile: bool):
    """Data for fit: a numeric matrix of at least 2 x 1, or, when hostile,
    something else: another dtype or shape, NaN, a list, a sparse matrix..."""
    n = draw(st.integers(2, 25))
    d = draw(st.integers(1, 5))
    kind = draw(DATA_KINDS) if hostile else draw(st.sampled_from(
        ["normal", "zeros", "duplicates", "huge", "denormal", "bytes"]))
    values = data_values(kind, n * d, draw(st.integers(0, 2**16)), np.float64).reshape(n, d)
    if not hostile:
        dtype = draw(st.sampled_from([np.float32, np.float64, np.float16, np.int64, np.uint8,
                                      np.bool_]))
        with np.errstate(all="ignore"):
            X = values.astype(dtype)
        return np.asfortranarray(X) if draw(st.booleans()) else X
    variant = draw(st.sampled_from(["values", "list", "complex", "object", "text", "strings",
                                    "vector", "cube", "one_row", "empty", "ragged", "sparse",
                                    "scalar"]))
    if variant == "values":
        return values.astype(np.float32)
    if variant == "list":
        return values.tolist()
    if variant == "complex":
        return values.astype(np.complex64)
    if variant in ("object", "text"):
        X = values.astype(object)
        if variant == "text":
            X.flat[0] = "text"
        return X
    if variant == "strings":
        return values.astype(str)
    if variant == "vector":
        return values.ravel()
    if variant == "cube":
        return values.reshape(1, n, d)
    if variant == "one_row":
        return values[:1]
    if variant == "empty":
        return values[:0] if draw(st.booleans()) else values[:, :0]
    if variant == "ragged":
        return [[1.0, 2.0], [3.0]]
    if variant == "sparse":
        import scipy.sparse

        return scipy.sparse.csr_matrix(values)
    return draw(st.sampled_from([None, 3.0, "data", {"X": 1}]))


BAD_FLOATS = [float("nan"), float("inf"), -1.0, 0.0, "1", None, True]
# Each parameter: valid values, then hostile ones.  n_epochs is never left to
# its default of 500 and stays small: the estimator's speed is not tested
# here; nor are thread counts far above the processor count.
ESTIMATOR_PARAMS = {
    "n_neighbors": (st.integers(2, 30), [1, 0, -5, 2.5, "5", None, True, 2**40]),
    "n_components": (st.integers(1, 4), [0, -1, 2**31, 2.0, None]),
    "min_dist": (st.floats(0.0, 0.9), BAD_FLOATS),
    "spread": (st.floats(1.0, 3.0), BAD_FLOATS),
    "n_epochs": (st.integers(1, 20), [0, -1, 1.5, None]),
    "learning_rate": (st.floats(0.01, 2.0), BAD_FLOATS + [1e30]),
    "negative_sample_rate": (st.floats(0.1, 10.0), BAD_FLOATS),
    "repulsion_strength": (st.floats(0.0, 3.0), BAD_FLOATS),
    "init": (st.sampled_from(["spectral", "pca", "random"]),
             ["umap", np.ones((3, 2)), np.full((25, 2), np.nan), None]),
    "metric": (st.sampled_from(["euclidean", "cosine"]), ["manhattan", None, 1]),
    "random_state": (st.integers(0, 2**64), [-1, "seed", 1.5, 2**200]),
    "n_jobs": (st.sampled_from([1, 2, -1]), [0, 2.5, "2", True]),
    "n_trees": (st.sampled_from([None, 1, 3]), [0, -1, 2**40]),
    "n_iters": (st.sampled_from([None, 1, 4]), [0, -3]),
    "leaf_size": (st.sampled_from([None, 2, 40]), [0, -2]),
    "a": (st.sampled_from([None, 0.5, 1.9]), BAD_FLOATS + [1e30]),
    "b": (st.sampled_from([None, 0.3, 1.2]), BAD_FLOATS + [1e30]),
    "local_connectivity": (st.floats(0.0, 3.0), [-1.0, float("nan"), float("inf"), "1"]),
    "set_op_mix_ratio": (st.floats(0.0, 1.0), [1.5, -0.1, float("nan"), None]),
    "disconnection_distance": (st.sampled_from([float("inf"), 0.5, 5.0]),
                               [0.0, -1.0, float("nan"), None, "far"]),
    "unique": (st.booleans(), ["yes", None, 2]),
    "target_metric": (st.sampled_from(["categorical", "l2"]), ["cosine", None]),
    "target_n_neighbors": (st.sampled_from([-1, 2, 10]), [0, 1, -2, 2.5]),
    "target_weight": (st.floats(0.0, 1.0), [1.5, float("nan"), None]),
    "precomputed_knn": (st.just(None), [
        "knn", (None,), (np.zeros((2, 2), np.int64), np.zeros((2, 2))),
        (np.full((25, 30), 2**63, np.uint64), np.zeros((25, 30))),
        (np.zeros((25, 30), np.int32), np.full((25, 30), np.nan)),
        (np.tile(np.arange(25)[:, None], (1, 30)), np.zeros((25, 30), np.float32)),
        (np.zeros((25, 30), np.float32), np.zeros((25, 30)))]),
}


@st.composite
def estimator_inputs(draw):
    names = sorted(ESTIMATOR_PARAMS)
    bad = mutations(draw, len(names) + 1)  # index len(names): the data
    X = estimator_data(draw, len(names) in bad)
    params = {}
    for i, name in enumerate(names):
        valid, hostile = ESTIMATOR_PARAMS[name]
        params[name] = draw(st.sampled_from(hostile) if i in bad else valid)
    if params["n_epochs"] is None:
        params["n_epochs"] = 0
    # Finite results are promised only for sane data and parameters:
    # learning rates of 1e30 or curve parameters of 1e30 overflow the layout.
    moderate = not bad
    return {"X": X, "params": params, "moderate": moderate}


@hostile_settings(150)
@given(case=estimator_inputs())
def test_estimator_hostile(worker, case):
    report = worker.run("estimator", {"X": case["X"], "params": case["params"]})
    assert report["outcome"] in ("ok", "raised"), report.get("detail", report)
    assert report["input_untouched"], report
    if report["outcome"] == "raised":
        assert report["type"] in EXCEPTIONS, report
        assert report["message"].strip(), report
        return
    X = np.asarray(case["X"])
    assert report["shape"] == (X.shape[0], case["params"]["n_components"]), report
    assert report["dtype"] == "float32"
    if case["moderate"]:
        assert report["finite"], report


# ---------------------------------------------------------------------------
# The command line

def _npy_bytes(array: np.ndarray) -> bytes:
    import io

    out = io.BytesIO()
    np.save(out, array, allow_pickle=True)
    return out.getvalue()


def _npz_bytes(**arrays) -> bytes:
    import io

    out = io.BytesIO()
    np.savez(out, **arrays)
    return out.getvalue()


def _fake_npy_header(shape: tuple) -> bytes:
    header = f"{{'descr': '<f4', 'fortran_order': False, 'shape': {shape}, }}"
    header = header.ljust(117) + "\n"
    return b"\x93NUMPY\x01\x00" + len(header).to_bytes(2, "little") + header.encode()


def cli_files() -> dict[str, bytes]:
    """Input files, good and broken, by name."""
    rng = np.random.default_rng(0)
    good = rng.normal(size=(20, 3)).astype(np.float32)
    csv_good = "\n".join(",".join(f"{v:.4f}" for v in row) for row in good).encode()
    return {
        "good.npy": _npy_bytes(good),
        "nan.npy": _npy_bytes(np.where(rng.random(good.shape) < 0.1, np.nan, good)),
        "inf.npy": _npy_bytes(np.full((5, 2), np.inf)),
        "vector.npy": _npy_bytes(good.ravel()),
        "cube.npy": _npy_bytes(good.reshape(4, 5, 3)),
        "empty.npy": _npy_bytes(np.zeros((0, 3), np.float32)),
        "one_row.npy": _npy_bytes(good[:1]),
        "objects.npy": _npy_bytes(np.array([[1, "a"], [2, "b"]], dtype=object)),
        "strings.npy": _npy_bytes(np.array([["1", "2"], ["3", "x"]])),
        "complex.npy": _npy_bytes(good.astype(np.complex64)),
        "record.npy": _npy_bytes(np.zeros(4, dtype=[("a", "f4"), ("b", "i4")])),
        "truncated.npy": _npy_bytes(good)[:-7],
        "huge_header.npy": _fake_npy_header((2**40, 2**20)) + b"\0" * 64,
        "garbage.npy": rng.bytes(300),
        "good.npz": _npz_bytes(X=good, y=np.arange(20)),
        "two.npz": _npz_bytes(a=good, b=good),
        "bad_labels.npz": _npz_bytes(X=good, y=np.arange(3)),
        "garbage.npz": rng.bytes(200),
        "truncated.npz": _npz_bytes(X=good)[:-40],
        "good.csv": b"a,b,c\n" + csv_good,
        "nan.csv": b"1,2\nnan,3\n4,5\n",
        "inf.csv": b"1,2\ninf,3\n4,-inf\n",
        "text.csv": b"1,2\n3,four\n5,6\n",
        "ragged.csv": b"1,2\n3\n5,6\n",
        "blank.csv": b"",
        "header_only.csv": b"a,b\n",
        "nul.csv": b"1,2\n3,\x004\n5,6\n",
        "huge_field.csv": b"1," + b"9" * 200_000 + b"\n1,2\n",
        "latin1.csv": b"1,2\n3,\xe94\n",
        "quoted.csv": b'"1","2"\n"3,4"\n',
        "semicolons.csv": b"1;2\n3;4\n5;6\n",
        "crlf.tsv": b"1\t2\r\n3\t4\r\n5\t6\r\n7\t8\r\n",
        "labels.txt": b"\n".join(b"x" for _ in range(20)),
        "short_labels.txt": b"a\nb\n",
        "binary_labels.txt": rng.bytes(64),
        "data.parquet": b"PAR1",
    }


def assert_clean_exit(report: dict) -> None:
    """Exit status 0 with the embedding written, or 2 with a one-line error
    (argparse's usage errors end in its own error line); never a traceback."""
    assert report["outcome"] == "ok", report.get("traceback", report.get("detail", report))
    assert report["status"] in (0, 2), report
    assert "Traceback" not in report["stderr"], report["stderr"]
    if report["status"] == 0:
        assert report["shape"] is not None and report["shape"][1] == 2, report
        return
    lines = report["stderr"].strip().splitlines()
    assert lines and (len(lines) == 1 and lines[0].startswith("quelmo: error: ")
                      or lines[-1].startswith("quelmo embed: error: ")), report["stderr"]


FILES = cli_files()


@pytest.mark.parametrize("name", sorted(FILES) + ["missing.npy", "{dir}"])
def test_command_line_each_file(worker, name):
    path = name if name == "{dir}" else "{dir}/" + name
    argv = ["embed", path, "-o", "{dir}/out.npy", "-q", "--n-epochs", "5"]
    assert_clean_exit(worker.run("cli", {"files": FILES, "argv": argv}))


@st.composite
def cli_calls(draw):
    """A command with good options but for one or two hostile ones."""
    bad = mutations(draw, 6)
    name = draw(st.sampled_from(["good.npy", "good.csv", "good.npz", "crlf.tsv"]
                                if 0 not in bad else sorted(FILES) + ["missing.npy"]))
    out = "{dir}/no/such/dir/out.npy" if 1 in bad else "{dir}/out.npy"
    argv = ["embed", "{dir}/" + name, "-o", out, "-q"]
    argv += ["--n-epochs", draw(st.sampled_from(["0", "-1", "x"] if 2 in bad else ["3", "5"]))]
    argv += ["--n-neighbors", draw(st.sampled_from(["1", "0", "-3", "x", "2.5", "99999999999"]
                                                   if 3 in bad else ["2", "5", "15"]))]
    if 4 in bad or draw(st.booleans()):
        label = draw(st.sampled_from(["{dir}/short_labels.txt", "{dir}/binary_labels.txt", "7",
                                      "nope"] if 4 in bad else ["{dir}/labels.txt"]))
        argv += ["--labels", label, "--plot", "{dir}/plot.png"]
    option = draw(st.sampled_from(["--min-dist", "--spread", "--learning-rate",
                                   "--negative-sample-rate", "--random-state", "--n-jobs",
                                   "--n-components", "--n-trees", "--leaf-size", "--init",
                                   "--metric"]))
    if 5 in bad:
        argv += [option, draw(st.sampled_from(["nan", "inf", "-1", "0", "1e999", "abc"]))]
    return {"files": FILES, "argv": argv}


@hostile_settings(60)
@given(call=cli_calls())
def test_command_line_hostile(worker, call):
    assert_clean_exit(worker.run("cli", call))
