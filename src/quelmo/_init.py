"""Initial embeddings: spectral (per connected component), PCA, random or
given, scaled to a box of side 10 with a little noise."""

from __future__ import annotations

import contextlib
import functools
import math
import warnings
from collections.abc import Iterator
from typing import Any

import numpy as np
import scipy.sparse
import scipy.sparse.csgraph
import scipy.sparse.linalg

BOX_SIDE = 10.0
NOISE_SCALE = 1e-4
# Components up to this size are solved densely: exact, and cheaper than
# a sparse eigensolver at that size.
_DENSE_LIMIT = 512
# Components up to this size go to the Lanczos solver directly; larger ones
# are solved on an aggregated graph first and refined (see _leading_vectors).
_COARSE_LIMIT = 20_000
# A level that shrinks the graph by less than this factor is not worth its
# cost: the graph is solved directly instead.
_MIN_SHRINK = 1.25
# Smoothing steps on each level after copying the coarser solution to it.
_SMOOTHING_STEPS = 10


@contextlib.contextmanager
def single_threaded_blas() -> Iterator[None]:
    """Runs the block with the BLAS libraries on one thread, where
    threadpoolctl is installed (without it, the block runs as it is).

    The initialisations' BLAS calls work on thin blocks that gain little from
    threads, while idle OpenBLAS workers keep spinning for a while after each
    call and take cores from the layout threads that start next.
    """
    controller = _blas_controller()
    if controller is None:
        yield
        return
    with controller.limit(limits=1, user_api="blas"):
        yield


@functools.lru_cache(maxsize=1)
def _blas_controller() -> Any:
    """threadpoolctl's controller of the loaded thread pools, or None
    without threadpoolctl.  Made once: finding the libraries walks every
    shared object of the process (tens of milliseconds in a process that has
    imported scanpy), against microseconds for a limit on a known one."""
    try:
        from threadpoolctl import ThreadpoolController
    except ImportError:
        return None
    return ThreadpoolController()


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
    # Members of every component in ascending order, from one stable sort
    # instead of one scan of the labels per component.
    by_component = np.argsort(labels, kind="stable")
    starts = np.concatenate([[0], np.cumsum(sizes)])
    per_row = max(1, math.ceil(math.sqrt(n_comp)))
    layout = np.zeros((n, dim), np.float64)
    for slot, comp in enumerate(order):
        members = by_component[starts[comp]:starts[comp + 1]]
        if members.size <= dim + 1:
            part = _tiny_layout(members.size, dim, rng)
        else:
            part = _component_layout(graph[members][:, members].tocsr(), dim, rng)
        if part is None:
            return _random_fallback(n, dim, rng)
        part = _unit_scale(part) * math.sqrt(sizes[comp] / sizes[order[0]])
        centre = np.zeros(dim)
        centre[0] = 3.0 * (slot % per_row)
        if dim > 1:
            centre[1] = 3.0 * (slot // per_row)
        layout[members] = part + centre
    return layout


def _tiny_layout(n: int, dim: int, rng: np.random.Generator) -> np.ndarray:
    # Too few points for dim non-trivial eigenvectors.
    return rng.uniform(-1.0, 1.0, size=(n, dim))


def _component_layout(graph: scipy.sparse.csr_matrix, dim: int,
                      rng: np.random.Generator) -> np.ndarray | None:
    """Spectral layout of one connected graph; None when the solver fails."""
    n = graph.shape[0]
    if n <= dim + 1:
        return _tiny_layout(n, dim, rng)
    try:
        layout = _leading_vectors(graph.astype(np.float64), dim, rng)
    except (scipy.sparse.linalg.ArpackError, np.linalg.LinAlgError):
        return None
    # Eigenvectors are defined up to sign: fix it so the largest entry is positive.
    signs = np.sign(layout[np.argmax(np.abs(layout), axis=0), np.arange(dim)])
    signs[signs == 0] = 1.0
    return layout * signs


def _leading_vectors(weights: scipy.sparse.csr_matrix, dim: int,
                     rng: np.random.Generator) -> np.ndarray:
    """The dim leading non-trivial eigenvectors of D^-1/2 W D^-1/2 for a
    connected graph W (float64, consumed: its values are overwritten).

    The largest eigenvalues of D^-1/2 W D^-1/2 are the smallest of the
    normalised Laplacian I - D^-1/2 W D^-1/2; the very largest (1) belongs to
    the trivial vector D^1/2 * ones and is left out.

    Large graphs are solved on a coarser graph first: every node joins its
    strongest neighbour, the groups become the nodes of a graph P^T W P (P
    the n x groups membership matrix), whose generalised eigenproblem is the
    Rayleigh-Ritz projection of W x = lambda D x on vectors constant per
    group.  Its solution, copied to the members of each group, is smoothed
    by a few steps of subspace iteration on the full graph.  Groups hold
    three to four nodes on a kNN graph, so a million points take four
    levels and the work is dominated by the finest one.
    """
    n = weights.shape[0]
    degrees = np.asarray(weights.sum(axis=1)).ravel()
    sqrt_deg = np.sqrt(degrees)
    row_of = np.repeat(np.arange(n, dtype=np.int32), np.diff(weights.indptr))
    if n > _COARSE_LIMIT:
        groups, n_groups = _aggregate(weights, row_of, sqrt_deg)
        # A coarse graph must stay a real graph (a star collapses into
        # one group) and must be worth its cost.
        if max(_DENSE_LIMIT, 4 * (dim + 1)) <= n_groups <= n / _MIN_SHRINK:
            coarse = _coarsen(weights, row_of, groups, n_groups)
            coarse_sqrt_deg = np.sqrt(np.bincount(groups, weights=degrees, minlength=n_groups))
            coarse_vectors = _leading_vectors(coarse, dim, rng)
            del coarse
            start = (coarse_vectors / coarse_sqrt_deg[:, None])[groups] * sqrt_deg[:, None]
            adjacency = _normalise(weights, row_of, sqrt_deg)
            del row_of
            return _refine(adjacency, sqrt_deg, start)
    adjacency = _normalise(weights, row_of, sqrt_deg)
    k = dim + 1
    if n <= _DENSE_LIMIT:
        values, vectors = np.linalg.eigh(adjacency.toarray())
    else:
        v0 = rng.uniform(-1.0, 1.0, size=n)
        ncv = min(n - 1, max(2 * k + 1, 20))
        values, vectors = scipy.sparse.linalg.eigsh(
            adjacency, k=k, which="LA", v0=v0, ncv=ncv, tol=1e-4, maxiter=n * 5)
    order = np.argsort(-values, kind="stable")[1:k]
    return vectors[:, order]


def _normalise(weights: scipy.sparse.csr_matrix, row_of: np.ndarray,
               sqrt_deg: np.ndarray) -> scipy.sparse.csr_matrix:
    """D^-1/2 W D^-1/2, in place of W's values (``row_of``: the row of every
    stored value)."""
    inv = 1.0 / sqrt_deg
    weights.data *= inv[row_of]
    weights.data *= inv[weights.indices]
    return weights


def _aggregate(weights: scipy.sparse.csr_matrix, row_of: np.ndarray,
               sqrt_deg: np.ndarray) -> tuple[np.ndarray, int]:
    """Group label of every node: the connected components of the graph that
    links each node to its strongest neighbour.

    Strength is w_ij / sqrt(d_i d_j), which favours pairing nodes of low
    degree over joining everything to hubs; within row i the factor of d_i
    is common, so w_ij / sqrt(d_j) ranks the same.  Ties go to the smaller
    index.  Every row must have an off-diagonal entry, as in a connected
    graph of two or more nodes.
    """
    n = weights.shape[0]
    strength = weights.data / sqrt_deg[weights.indices]
    strength[weights.indices == row_of] = -1.0  # self-loops of coarse graphs
    best = np.maximum.reduceat(strength, weights.indptr[:-1])
    candidates = np.where(strength == best[row_of], weights.indices, n)
    partner = np.minimum.reduceat(candidates, weights.indptr[:-1])
    links = scipy.sparse.csr_matrix(
        (np.ones(n, np.int8), partner, np.arange(n + 1, dtype=np.int64)), shape=(n, n))
    n_groups, groups = scipy.sparse.csgraph.connected_components(links, directed=False)
    return groups, n_groups


def _coarsen(weights: scipy.sparse.csr_matrix, row_of: np.ndarray, groups: np.ndarray,
             n_groups: int) -> scipy.sparse.csr_matrix:
    """P^T W P: the summed weights between (and, on the diagonal, within)
    groups.  One COO to CSR conversion; faster than two sparse products."""
    coarse = scipy.sparse.coo_matrix(
        (weights.data, (groups[row_of], groups[weights.indices])), shape=(n_groups, n_groups))
    return coarse.tocsr()


def _refine(adjacency: scipy.sparse.csr_matrix, sqrt_deg: np.ndarray,
            start: np.ndarray) -> np.ndarray:
    """Subspace iteration with (S + I) / 2 from ``start``, the trivial vector
    projected out at every step, then a Rayleigh-Ritz rotation.

    The shift maps the spectrum of S into [0, 1], so the steps damp the
    rough components that copying a coarse solution to group members leaves
    (eigenvalues of S near or below 0) by half or more each, while the
    smooth leading components, already right on the coarse level, stay.
    """
    trivial = sqrt_deg / np.linalg.norm(sqrt_deg)
    basis = _orthonormal(start, trivial)
    for _ in range(_SMOOTHING_STEPS):
        basis = _orthonormal(0.5 * (_product(adjacency, basis) + basis), trivial)
    projected = basis.T @ _product(adjacency, basis)
    values, rotation = np.linalg.eigh(0.5 * (projected + projected.T))
    return basis @ rotation[:, np.argsort(-values, kind="stable")]


def _product(matrix: scipy.sparse.csr_matrix, block: np.ndarray) -> np.ndarray:
    # One sparse product per column: SciPy's product with a block of a few
    # columns runs several times slower.
    return np.column_stack([matrix @ np.ascontiguousarray(block[:, j])
                            for j in range(block.shape[1])])


def _orthonormal(block: np.ndarray, trivial: np.ndarray) -> np.ndarray:
    """Orthonormal basis of the block with the trivial direction removed."""
    block = block - np.outer(trivial, trivial @ block)
    return np.linalg.qr(block)[0]


def _random_fallback(n: int, dim: int, rng: np.random.Generator) -> np.ndarray:
    warnings.warn("the spectral initialisation failed; using a random initialisation instead",
                  UserWarning, stacklevel=3)
    return rng.uniform(0.0, BOX_SIDE, size=(n, dim))


def _unit_scale(layout: np.ndarray) -> np.ndarray:
    centred = layout - layout.mean(axis=0)
    extent = np.abs(centred).max()
    return centred / extent if extent > 0 else centred


def pca_layout(data: np.ndarray | scipy.sparse.csr_matrix, dim: int,
               rng: np.random.Generator) -> np.ndarray:
    """Projection on the leading principal axes (signs fixed as for spectral).
    Sparse data is centred implicitly, never made dense."""
    if scipy.sparse.issparse(data):
        return _sparse_pca_layout(data, dim, rng)
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


def _sparse_pca_layout(data: scipy.sparse.csr_matrix, dim: int,
                       rng: np.random.Generator) -> np.ndarray:
    """The randomised range finder of pca_layout with the centring folded
    into each product: (X - 1 m^T) v = X v - 1 (m . v)."""
    d = data.shape[1]
    mean = np.asarray(data.mean(axis=0, dtype=np.float64)).ravel()

    def times(v: np.ndarray) -> np.ndarray:
        return data @ v - mean @ v

    def times_t(u: np.ndarray) -> np.ndarray:
        return data.T @ u - np.outer(mean, u.sum(axis=0))

    sketch = times_t(times(rng.standard_normal((d, dim + 10))))
    for _ in range(4):
        sketch, _ = np.linalg.qr(sketch)
        sketch = times_t(times(sketch))
    basis, _ = np.linalg.qr(sketch)
    _, vectors = np.linalg.eigh(basis.T @ times_t(times(basis)))
    axes = basis @ vectors[:, ::-1][:, :dim]
    if axes.shape[1] < dim:  # fewer features than components
        axes = np.hstack([axes, np.zeros((d, dim - axes.shape[1]))])
    layout = times(axes)
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


def initial_embedding(init: object, graph: scipy.sparse.csr_matrix, data: np.ndarray | None,
                      dim: int, rng: np.random.Generator) -> np.ndarray:
    """The starting float32 embedding for ``init``: "spectral" (from the
    graph), "pca" (from ``data``), "random" (uniform in the box) or an array
    of shape (n_samples, dim), taken as given."""
    n = graph.shape[0]
    if not isinstance(init, str):
        return check_init_array(init, n, dim)
    if init == "random":
        return np.ascontiguousarray(rng.uniform(0.0, BOX_SIDE, size=(n, dim)), dtype=np.float32)
    if init == "pca":
        layout = pca_layout(data, dim, rng)
    else:
        layout = spectral_layout(graph, dim, rng)
    return to_box(layout, rng)


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
