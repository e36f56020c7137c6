"""Initial embeddings: spectral (per connected component), PCA, random or
given, scaled to a box of side 10 with a little noise."""

from __future__ import annotations

import math
import warnings

import numpy as np
import scipy.sparse
import scipy.sparse.csgraph
import scipy.sparse.linalg

BOX_SIDE = 10.0
NOISE_SCALE = 1e-4
# Components up to this size are solved densely: exact, and cheaper than
# a sparse eigensolver at that size.
_DENSE_LIMIT = 512


def spectral_layout(graph: scipy.sparse.csr_matrix, dim: int,
                    rng: np.random.Generator) -> np.ndarray:
    """Leading non-trivial eigenvectors of the normalised graph Laplacian.

    Each connected component is laid out on its own and the components are
    placed apart on a grid, larger ones given more room.  Falls back to a
    random layout, with a warning, only when the eigensolver fails.
    """
    n = graph.shape[0]
    n_comp, labels = scipy.sparse.csgraph.connected_components(graph, directed=False)
    if n_comp == 1:
        layout = _component_layout(graph, dim, rng)
        return layout if layout is not None else _random_fallback(n, dim, rng)

    sizes = np.bincount(labels, minlength=n_comp)
    order = np.argsort(-sizes, kind="stable")
    per_row = max(1, math.ceil(math.sqrt(n_comp)))
    layout = np.zeros((n, dim), np.float64)
    for slot, comp in enumerate(order):
        members = np.flatnonzero(labels == comp)
        sub = graph[members][:, members].tocsr()
        part = _component_layout(sub, dim, rng)
        if part is None:
            return _random_fallback(n, dim, rng)
        part = _unit_scale(part) * math.sqrt(sizes[comp] / sizes[order[0]])
        centre = np.zeros(dim)
        centre[0] = 3.0 * (slot % per_row)
        if dim > 1:
            centre[1] = 3.0 * (slot // per_row)
        layout[members] = part + centre
    return layout


def _component_layout(graph: scipy.sparse.csr_matrix, dim: int,
                      rng: np.random.Generator) -> np.ndarray | None:
    """Spectral layout of one connected graph; None when the solver fails."""
    n = graph.shape[0]
    if n <= dim + 1:
        return rng.uniform(-1.0, 1.0, size=(n, dim))
    degrees = np.asarray(graph.sum(axis=1)).ravel()
    inv_sqrt = 1.0 / np.sqrt(degrees)
    scale = scipy.sparse.diags(inv_sqrt)
    # The largest eigenvalues of D^-1/2 W D^-1/2 are the smallest of the
    # normalised Laplacian I - D^-1/2 W D^-1/2; the very largest (1) belongs
    # to the trivial vector D^1/2 * ones and is dropped.
    adjacency = (scale @ graph.astype(np.float64) @ scale).tocsr()
    k = dim + 1
    try:
        if n <= _DENSE_LIMIT:
            values, vectors = np.linalg.eigh(adjacency.toarray())
        else:
            v0 = rng.uniform(-1.0, 1.0, size=n)
            ncv = max(2 * k + 1, int(math.sqrt(n)))
            ncv = min(ncv, n - 1)
            values, vectors = scipy.sparse.linalg.eigsh(
                adjacency, k=k, which="LA", v0=v0, ncv=ncv, tol=1e-4, maxiter=n * 5)
    except (scipy.sparse.linalg.ArpackError, np.linalg.LinAlgError):
        return None
    order = np.argsort(-values, kind="stable")[1:k]
    layout = vectors[:, order]
    # Eigenvectors are defined up to sign: fix it so the largest entry is positive.
    signs = np.sign(layout[np.argmax(np.abs(layout), axis=0), np.arange(dim)])
    signs[signs == 0] = 1.0
    return layout * signs


def _random_fallback(n: int, dim: int, rng: np.random.Generator) -> np.ndarray:
    warnings.warn("the spectral initialisation failed; using a random initialisation instead",
                  UserWarning, stacklevel=3)
    return rng.uniform(0.0, BOX_SIDE, size=(n, dim))


def _unit_scale(layout: np.ndarray) -> np.ndarray:
    centred = layout - layout.mean(axis=0)
    extent = np.abs(centred).max()
    return centred / extent if extent > 0 else centred


def pca_layout(data: np.ndarray, dim: int, rng: np.random.Generator) -> np.ndarray:
    """Projection on the leading principal axes (signs fixed as for spectral)."""
    centred = data.astype(np.float64) - data.mean(axis=0, dtype=np.float64)
    n, d = centred.shape
    if d <= 2048:
        _, vectors = np.linalg.eigh(centred.T @ centred)
        axes = vectors[:, ::-1][:, :dim]
    else:
        # Randomised range finder: a few power iterations on a thin sketch.
        sketch = centred.T @ (centred @ rng.standard_normal((d, dim + 10)))
        for _ in range(4):
            sketch, _ = np.linalg.qr(sketch)
            sketch = centred.T @ (centred @ sketch)
        basis, _ = np.linalg.qr(sketch)
        small = basis.T @ (centred.T @ (centred @ basis))
        _, vectors = np.linalg.eigh(small)
        axes = basis @ vectors[:, ::-1][:, :dim]
    if axes.shape[1] < dim:  # fewer features than components
        axes = np.hstack([axes, np.zeros((d, dim - axes.shape[1]))])
    layout = centred @ axes
    signs = np.sign(layout[np.argmax(np.abs(layout), axis=0), np.arange(dim)])
    signs[signs == 0] = 1.0
    return layout * signs


def to_box(layout: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """Each coordinate scaled to [0, 10], plus Gaussian noise of scale 1e-4
    so that no two points start exactly on top of each other."""
    layout = np.asarray(layout, np.float64)
    low = layout.min(axis=0)
    span = layout.max(axis=0) - low
    span[span == 0] = 1.0
    boxed = (layout - low) / span * BOX_SIDE
    boxed += rng.normal(scale=NOISE_SCALE, size=boxed.shape)
    return np.ascontiguousarray(boxed, dtype=np.float32)


def check_init_array(init: object, n_samples: int, dim: int) -> np.ndarray:
    """A caller's initial embedding as a fresh float32 array (never written
    back into the caller's array)."""
    array = np.asarray(init)
    if array.dtype.kind not in "iuf":
        raise ValueError("init must be 'spectral', 'pca', 'random' or a numeric array")
    if array.shape != (n_samples, dim):
        raise ValueError(f"init array must have shape ({n_samples}, {dim}), got {array.shape}")
    out = np.array(array, dtype=np.float32, order="C", copy=True)
    if not np.isfinite(out).all():
        raise ValueError("init array contains NaN or infinity")
    return out
