"""Saving and loading fitted models as data-only files.

Layout of a model file (all integers little-endian):

    bytes 0-7     magic b"QUELMOMD"
    bytes 8-11    format version (uint32)
    bytes 12-15   length L of the header (uint32)
    bytes 16-     the header: UTF-8 JSON, L bytes
    ...           the arrays, each at an offset that is a multiple of 64
    last 32       SHA-256 of every byte before them

The header holds the estimator's parameters, its scalar fitted attributes,
the transform settings and, for every array, its name, dtype (little-endian
float32 or int32), shape and offset.  Loading reads numbers and arrays only:
nothing in a file is executed.  It refuses a file that is truncated,
corrupted, written by a newer format version, or whose content does not
form a consistent model (shapes that disagree, ids out of range, non-finite
values), with one ``ModelFileError`` line naming the file and the reason.
"""

from __future__ import annotations

import hashlib
import json
import math
import os
import tempfile
from typing import Any

import numpy as np

MAGIC = b"QUELMOMD"
FORMAT_VERSION = 1
_ALIGN = 64
_DIGEST = 32
_PREFIX = 16
_MAX_HEADER = 1 << 24
_DTYPES = {"<f4": np.float32, "<i4": np.int32}
# Arrays of the transform state, by their name in the file.
_STATE_ARRAYS = {"data": "data", "forest_nodes": "forest_nodes",
                 "forest_threshold": "forest_threshold", "forest_perm": "forest_perm"}
# The CSR arrays of sparse training data, written only for a sparse fit
# (indptr as int32: a file holds fewer than 2^31 stored entries).
_SPARSE_ARRAYS = ("sparse_indptr", "sparse_indices", "sparse_values")
_FITTED_ARRAYS = ("embedding_", "knn_indices_", "knn_dists_")


class ModelFileError(ValueError):
    """A model file that cannot be loaded; the message is one line."""


# ---------------------------------------------------------------------------
# Saving

def save(model: Any, path: str | os.PathLike) -> None:
    """Write a fitted ``UMAP`` to ``path`` (replaced atomically)."""
    from quelmo._transform import not_fitted_error

    if not hasattr(model, "embedding_"):
        raise not_fitted_error("This UMAP instance is not fitted yet. Call 'fit' with "
                               "appropriate arguments before saving it.")
    arrays: dict[str, np.ndarray] = {name: getattr(model, name) for name in _FITTED_ARRAYS}
    keep = model.__dict__.get("_distinct_rows")
    if keep is not None:
        arrays["distinct_rows"] = keep
    if model.__dict__.get("_graph_steered"):
        graph = model.graph_
        arrays.update(graph_data=graph.data, graph_indices=graph.indices,
                      graph_indptr=graph.indptr)
    params = {}
    for name, value in model.get_params().items():
        params[name] = _param_to_json(name, value, arrays)
    state = getattr(model, "_transform_state", None)
    transform = None
    if state is not None:
        for file_name, attr in _STATE_ARRAYS.items():
            arrays[file_name] = getattr(state, attr)
        if state.sparse:
            if state.sparse_values.size >= 2**31:
                raise ValueError("the sparse training data has too many stored entries "
                                 "(2^31 or more) for a model file")
            for name in _SPARSE_ARRAYS:
                arrays[name] = getattr(state, name)
        transform = {name: kind(getattr(state, name)) for name, kind in state.NUMBERS.items()}
    header: dict[str, Any] = {
        "format": "quelmo model",
        "params": params,
        "attributes": {"a_": float(model.a_), "b_": float(model.b_),
                       "n_features_in_": int(model.n_features_in_),
                       "timings_": {str(k): float(v) for k, v in model.timings_.items()}},
        "transform": transform,
        "arrays": [],
    }
    _write(path, header, arrays)


def _param_to_json(name: str, value: Any, arrays: dict[str, np.ndarray]) -> Any:
    """A parameter as JSON; arrays go to ``arrays`` under ``param:NAME``."""
    if value is None or isinstance(value, (bool, str)):
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    if isinstance(value, (int, np.integer)) and not isinstance(value, np.bool_):
        return int(value)
    if isinstance(value, (float, np.floating)) and math.isfinite(value):
        return float(value)
    if isinstance(value, (float, np.floating)) and math.isinf(value):
        return {"float": "inf" if value > 0 else "-inf"}  # JSON has no infinity
    if isinstance(value, np.ndarray):
        arrays[f"param:{name}"] = value
        return {"array": f"param:{name}"}
    if isinstance(value, tuple) and all(isinstance(v, np.ndarray) for v in value):
        for i, v in enumerate(value):
            arrays[f"param:{name}:{i}"] = v
        return {"arrays": [f"param:{name}:{i}" for i in range(len(value))]}
    if isinstance(value, dict) and all(isinstance(k, str) for k in value) and all(
            isinstance(v, (int, float, np.integer, np.floating)) and not isinstance(v, bool)
            and math.isfinite(v) for v in value.values()):
        # metric_kwds: names to finite numbers.
        return {"dict": {k: v.item() if isinstance(v, np.generic) else v
                         for k, v in value.items()}}
    if isinstance(value, (np.random.Generator, np.random.RandomState)):
        # A generator's state is not part of the fitted model: the seeds it
        # gave are (in the transform settings and the fitted arrays).
        return None
    raise ValueError(f"parameter {name}={value!r} cannot be saved in a model file")


def _write(path: str | os.PathLike, header: dict[str, Any],
           arrays: dict[str, np.ndarray]) -> None:
    prepared = []
    for name, array in arrays.items():
        array = np.asarray(array)
        code = {np.dtype(np.float32): "<f4", np.dtype(np.int32): "<i4"}.get(array.dtype)
        if code is None:
            kind = np.float32 if array.dtype.kind == "f" else np.int32
            array, code = array.astype(kind), "<f4" if kind is np.float32 else "<i4"
        prepared.append((name, np.ascontiguousarray(array, dtype=np.dtype(code)), code))
    # The header lists the offsets, and the offsets follow the header: grow
    # the room left for the header until the header with its offsets fits.
    entries = [{"name": n, "dtype": c, "shape": list(a.shape), "offset": 0, "nbytes": a.nbytes}
               for n, a, c in prepared]
    header = dict(header, arrays=entries)
    room = len(json.dumps(header, allow_nan=False).encode())
    while True:
        start = _aligned(_PREFIX + room)
        offset = start
        for entry in entries:
            entry["offset"] = offset
            offset = _aligned(offset + entry["nbytes"])
        text = json.dumps(header, allow_nan=False).encode()
        if _PREFIX + len(text) <= start:
            break
        room = len(text)
    text += b" " * (start - _PREFIX - len(text))
    directory = os.path.dirname(os.path.abspath(os.fspath(path)))
    digest = hashlib.sha256()
    fd, tmp = tempfile.mkstemp(prefix=".quelmo-", dir=directory)
    try:
        with os.fdopen(fd, "wb") as out:
            def put(chunk: bytes | memoryview) -> None:
                digest.update(chunk)
                out.write(chunk)

            put(MAGIC + FORMAT_VERSION.to_bytes(4, "little") + len(text).to_bytes(4, "little"))
            put(text)
            position = start
            for entry, (_, array, _) in zip(entries, prepared):
                put(b"\0" * (entry["offset"] - position))
                if array.nbytes:  # an empty array (a forest of no trees) has no bytes
                    put(memoryview(array).cast("B"))
                position = entry["offset"] + entry["nbytes"]
            out.write(digest.digest())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def _aligned(offset: int) -> int:
    return (offset + _ALIGN - 1) // _ALIGN * _ALIGN


# ---------------------------------------------------------------------------
# Loading

def load(path: str | os.PathLike) -> Any:
    """A fitted ``UMAP`` from a file written by ``UMAP.save``.

    Raises
    ------
    ModelFileError
        When the file cannot be read or is not a valid model file of a
        supported version.
    """
    try:
        with open(path, "rb") as handle:
            size = os.fstat(handle.fileno()).st_size
            buffer = bytearray(size)
            got = handle.readinto(buffer)
    except OSError as exc:
        raise ModelFileError(f"{path}: cannot be read ({exc.strerror or exc})") from None
    if got != size:
        raise ModelFileError(f"{path}: changed while it was read")
    try:
        return _parse(buffer)
    except _Invalid as exc:
        raise ModelFileError(f"{path}: {exc}") from None


class _Invalid(Exception):
    """Why a file is not a valid model (raised inside the loader)."""


def _check(condition: bool, reason: str) -> None:
    if not condition:
        raise _Invalid(reason)


def _parse(buffer: bytearray) -> Any:
    _check(len(buffer) >= _PREFIX and buffer[:8] == MAGIC, "not a quelmo model file")
    version = int.from_bytes(buffer[8:12], "little")
    _check(version <= FORMAT_VERSION,
           f"written by a newer quelmo (model format {version}; this version reads format "
           f"{FORMAT_VERSION}): upgrade quelmo to load it")
    _check(version >= 1, f"unknown model format {version}")
    _check(len(buffer) >= _PREFIX + _DIGEST, "truncated")
    body = memoryview(buffer)[:len(buffer) - _DIGEST]
    _check(hashlib.sha256(body).digest() == bytes(buffer[len(buffer) - _DIGEST:]),
           "corrupted or truncated (checksum mismatch)")
    length = int.from_bytes(buffer[12:16], "little")
    _check(length <= min(_MAX_HEADER, len(body) - _PREFIX), "header length out of range")
    try:
        header = json.loads(bytes(body[_PREFIX:_PREFIX + length]).decode("utf-8"))
    except (UnicodeDecodeError, ValueError):
        raise _Invalid("header is not valid JSON") from None
    _check(isinstance(header, dict) and header.get("format") == "quelmo model",
           "header is not a quelmo model header")
    arrays = _arrays(header.get("arrays"), body, _PREFIX + length)
    return _model(header, arrays)


def _arrays(entries: Any, body: memoryview, first: int) -> dict[str, np.ndarray]:
    _check(isinstance(entries, list), "header lists no arrays")
    arrays: dict[str, np.ndarray] = {}
    end = first
    for entry in entries:
        _check(isinstance(entry, dict), "malformed array entry")
        name, code, shape = entry.get("name"), entry.get("dtype"), entry.get("shape")
        offset, nbytes = entry.get("offset"), entry.get("nbytes")
        _check(isinstance(name, str) and name not in arrays, "malformed array name")
        _check(code in _DTYPES, f"array {name}: unsupported dtype {code!r}")
        _check(isinstance(shape, list) and 1 <= len(shape) <= 2
               and all(_is_int(s) and 0 <= s < 2**31 for s in shape),
               f"array {name}: malformed shape")
        count = math.prod(shape)
        _check(_is_int(offset) and _is_int(nbytes) and nbytes == 4 * count,
               f"array {name}: size does not match its shape")
        _check(offset % _ALIGN == 0 and end <= offset and offset + nbytes <= len(body),
               f"array {name}: outside the file or overlapping another")
        end = offset + nbytes
        arrays[name] = np.frombuffer(body, _DTYPES[code], count, offset).reshape(shape)
    return arrays


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _model(header: dict[str, Any], arrays: dict[str, np.ndarray]) -> Any:
    from quelmo.estimator import UMAP

    for name in _FITTED_ARRAYS:
        _check(name in arrays, f"array {name} missing")
    embedding = arrays["embedding_"]
    knn_indices, knn_dists = arrays["knn_indices_"], arrays["knn_dists_"]
    _check(embedding.ndim == 2 and embedding.shape[0] >= 2 and embedding.shape[1] >= 1,
           "embedding_ has a bad shape")
    # With unique=True the kNN arrays hold the distinct rows, the first
    # occurrences listed in "distinct_rows" (ascending); else every row.
    keep = arrays.get("distinct_rows")
    n = embedding.shape[0] if keep is None else keep.shape[0]
    if keep is not None:
        _check(keep.ndim == 1 and n >= 2 and keep[0] == 0 and (np.diff(keep) > 0).all()
               and keep[-1] < embedding.shape[0], "distinct_rows out of range")
    _check(np.isfinite(embedding).all(), "embedding_ holds non-finite values")
    _check(knn_indices.ndim == 2 and knn_indices.shape[0] == n and knn_indices.shape[1] >= 2
           and knn_dists.shape == knn_indices.shape, "kNN arrays do not match the embedding")
    _check(((knn_indices >= 0) & (knn_indices < n)).all()
           and (knn_indices[:, 0] == np.arange(n)).all(), "kNN ids out of range")
    _check(np.isfinite(knn_dists).all() and (knn_dists >= 0).all(),
           "kNN distances must be finite and non-negative")

    model = UMAP(**_params(header.get("params"), arrays))
    try:
        model._checked_params()
    except ValueError as exc:
        raise _Invalid(f"bad parameter ({exc})") from None
    _check(int(model.n_components) == embedding.shape[1],
           "n_components does not match the embedding")
    attributes = header.get("attributes")
    _check(isinstance(attributes, dict), "attributes missing")
    a, b = attributes.get("a_"), attributes.get("b_")
    n_features = attributes.get("n_features_in_")
    timings = attributes.get("timings_")
    _check(all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
               and v > 0 for v in (a, b)), "a_ and b_ must be positive numbers")
    _check(_is_int(n_features) and n_features >= 1, "n_features_in_ must be a positive integer")
    _check(isinstance(timings, dict) and all(isinstance(v, (int, float))
                                             for v in timings.values()), "malformed timings_")

    model.embedding_ = embedding
    model.knn_indices_ = knn_indices
    model.knn_dists_ = knn_dists
    model.a_, model.b_ = float(a), float(b)
    model.n_features_in_ = n_features
    model.timings_ = {str(k): float(v) for k, v in timings.items()}
    model._graph_from_knn = True  # graph_ is built on first use
    model._distinct_rows = None if keep is None else keep.astype(np.int64)
    model._graph_steered = "graph_indptr" in arrays
    if model._graph_steered:
        model._graph_arrays = _steered_graph(arrays, n)
    # A model without transform settings says so with null: a missing key
    # is damage, not a model fitted from precomputed neighbours.
    _check("transform" in header, "transform settings missing")
    model._transform_state = _state(header.get("transform"), arrays, knn_indices, knn_dists,
                                    n_features)
    if model._transform_state is not None:
        from quelmo import _metrics

        metric = _metrics.resolve_metric(model.metric, model.metric_kwds)
        _check(model._transform_state.metric_spec[:2] == metric[:2],
               "the transform's metric differs from the model's metric")
    return model


def _steered_graph(arrays: dict[str, np.ndarray],
                   n: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The CSR arrays of a graph steered by y, checked."""
    data, indices = arrays.get("graph_data"), arrays.get("graph_indices")
    indptr = arrays["graph_indptr"]
    _check(data is not None and indices is not None and data.ndim == indices.ndim == 1
           and data.shape == indices.shape and indptr.shape == (n + 1,)
           and indptr[0] == 0 and indptr[-1] == data.size and (np.diff(indptr) >= 0).all(),
           "graph arrays have bad shapes")
    _check(((indices >= 0) & (indices < n)).all(), "graph ids out of range")
    _check(np.isfinite(data).all() and (data > 0).all(), "graph weights must be positive")
    return data, indices, indptr


def _params(params: Any, arrays: dict[str, np.ndarray]) -> dict[str, Any]:
    from quelmo.estimator import UMAP

    _check(isinstance(params, dict), "parameters missing")
    known = set(UMAP._get_param_names())
    unknown = set(params) - known
    _check(not unknown, f"unknown parameters {sorted(unknown)}")
    out = {}
    for name, value in params.items():
        if isinstance(value, dict) and set(value) == {"float"}:
            _check(value["float"] in ("inf", "-inf"), f"parameter {name} has a malformed value")
            value = float(value["float"])
        elif isinstance(value, dict) and set(value) == {"array"}:
            _check(value["array"] in arrays, f"parameter {name}: array missing")
            value = arrays[value["array"]]
        elif isinstance(value, dict) and set(value) == {"dict"}:
            entries = value["dict"]
            _check(isinstance(entries, dict) and all(
                isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                for v in entries.values()), f"parameter {name} has a malformed value")
            value = dict(entries)
        elif isinstance(value, dict) and set(value) == {"arrays"}:
            names = value["arrays"]
            _check(isinstance(names, list) and all(v in arrays for v in names),
                   f"parameter {name}: arrays missing")
            value = tuple(arrays[v] for v in names)
        else:
            _check(value is None or isinstance(value, (bool, int, float, str)),
                   f"parameter {name} has a malformed value")
        out[name] = value
    return out


def _state(settings: Any, arrays: dict[str, np.ndarray], knn_indices: np.ndarray,
           knn_dists: np.ndarray, n_features: int) -> Any:
    from quelmo import _metric_query, _metrics, _native_ext, _transform

    if settings is None:
        return None
    state = _transform.TransformState()
    _check(isinstance(settings, dict)
           and set(state.NUMBERS) - set(state.DEFAULTS) <= set(settings) <= set(state.NUMBERS),
           "malformed transform settings")
    for name, kind in state.NUMBERS.items():
        value = settings.get(name, state.DEFAULTS.get(name))
        ok = isinstance(value, str) if kind is str else (
            _is_int(value) if kind is int else
            isinstance(value, (int, float)) and not isinstance(value, bool)
            and math.isfinite(value))
        _check(ok, f"transform setting {name} is malformed")
        setattr(state, name, kind(value))
    _check(state.metric in _metrics.METRICS and state.metric != "precomputed",
           "unknown metric")
    _check(state.p > 0 and 0 <= state.sparse_columns < 2**31, "metric settings out of range")
    _check((1 if state.graph_query else 0) <= state.n_trees <= 4096
           and 1 <= state.leaf_size < 2**31 and state.epsilon >= 0
           and 0 <= state.seed < 2**64 and 1 <= state.n_epochs < 2**31
           and state.learning_rate >= 0 and state.negative_sample_rate > 0
           and state.gamma >= 0, "transform settings out of range")
    for name in _STATE_ARRAYS:
        _check(name in arrays, f"array {name} missing")
    data, nodes = arrays["data"], arrays["forest_nodes"]
    threshold, perm = arrays["forest_threshold"], arrays["forest_perm"]
    n = knn_indices.shape[0]
    if state.sparse:
        _check(state.sparse_columns == n_features, "training data does not match the model")
        _sparse_arrays(state, arrays, n)
        _check(data.shape == (n, 4) and np.array_equal(data, _metric_query.sparse_row_keys(
            _CSR(state.sparse_indptr, state.sparse_indices, state.sparse_values))),
            "training row keys do not match the sparse training data")
    else:
        _check(data.shape == (n, n_features), "training data does not match the model")
    _check(np.isfinite(data).all(), "training data holds non-finite values")
    per_tree = _native_ext.forest_nodes_per_tree(n, state.leaf_size)
    _check(nodes.shape == (state.n_trees * per_tree, 4)
           and threshold.shape == (state.n_trees * per_tree,)
           and perm.shape == (state.n_trees, n), "forest arrays have bad shapes")
    _check(np.isfinite(threshold).all(), "forest thresholds are not finite")
    _check((np.sort(perm, axis=1) == np.arange(n)).all(),
           "forest permutations are not permutations")
    local = np.tile(np.arange(per_tree), state.n_trees)
    inner = nodes[:, 0] >= 0
    _check(((nodes[inner, 0] > local[inner]) & (nodes[inner, 1] > local[inner])
            & (nodes[inner, :2] < per_tree).all(axis=1)
            & (nodes[inner, 2:] >= 0).all(axis=1) & (nodes[inner, 2:] < n).all(axis=1)).all(),
           "forest nodes out of range")
    leaves = nodes[~inner]
    _check(((leaves[:, :2] == -1).all(axis=1) & (leaves[:, 2] >= 0) & (leaves[:, 3] >= 0)
            & (leaves[:, 2].astype(np.int64) + leaves[:, 3] <= n)).all(),
           "forest leaves out of range")
    state.data, state.forest_nodes = data, nodes
    state.forest_threshold, state.forest_perm = threshold, perm
    state.knn_indices, state.knn_dists = knn_indices, knn_dists
    state.derive(-1)
    return state


def _sparse_arrays(state: Any, arrays: dict[str, np.ndarray], n: int) -> None:
    """The CSR arrays of sparse training data, checked to be canonical (the
    distance kernels require it), into ``state``."""
    for name in _SPARSE_ARRAYS:
        _check(name in arrays, f"array {name} missing")
    indptr = arrays["sparse_indptr"].astype(np.int64)
    indices, values = arrays["sparse_indices"], arrays["sparse_values"]
    _check(indptr.shape == (n + 1,) and indices.ndim == values.ndim == 1
           and indices.shape == values.shape and indptr[0] == 0
           and indptr[-1] == indices.size and (np.diff(indptr) >= 0).all(),
           "sparse training data has bad shapes")
    _check(((indices >= 0) & (indices < state.sparse_columns)).all(),
           "sparse training data: columns out of range")
    increasing = indices[1:] > indices[:-1]
    starts = indptr[1:-1]
    increasing[starts[(starts > 0) & (starts < indices.size)] - 1] = True
    _check(bool(increasing.all()), "sparse training data: columns not sorted")
    _check(np.isfinite(values).all() and (values != 0).all(),
           "sparse training data: values must be finite and non-zero")
    state.sparse_indptr, state.sparse_indices, state.sparse_values = indptr, indices, values


class _CSR:
    """The arrays of a CSR matrix, as ``sparse_row_keys`` reads them."""

    def __init__(self, indptr: np.ndarray, indices: np.ndarray, data: np.ndarray) -> None:
        self.indptr, self.indices, self.data = indptr, indices, data
        self.shape = (indptr.size - 1, 0)
