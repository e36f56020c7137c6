"""Type stub of the second native extension module (buffers are C-contiguous
objects with 4-byte items: NumPy arrays of int32 or float32; the row hashes
are 8-byte uint64, control records and the indptr of a CSR matrix 8-byte int64)."""

from typing import Any

Buffer = Any

def fuzzy_graph_f32(
    idx: Buffer,
    dist: Buffer,
    out_rows: Buffer,
    out_cols: Buffer,
    out_vals: Buffer,
    n_samples: int,
    n_neighbors: int,
    local_connectivity: float,
    set_op_mix_ratio: float,
    /,
) -> None:
    """Symmetrized fuzzy graph of dense kNN arrays as COO triplets, with the local
    connectivity and the union/intersection mix given."""

def metric_knn_f32(
    x: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    k: int,
    metric: str,
    p: float,
    n_trees: int,
    n_iters: int,
    leaf_size: int,
    seed: int,
    n_threads: int,
    /,
) -> None:
    """k approximate nearest neighbours of the rows of a dense float32 matrix under a
    metric, the row itself excluded: ids and rank distances, each row sorted by
    (distance, id).  The result does not depend on n_threads."""

def metric_knn_csr_f32(
    indptr: Buffer,
    indices: Buffer,
    data: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    k: int,
    metric: str,
    p: float,
    n_trees: int,
    n_iters: int,
    leaf_size: int,
    seed: int,
    n_threads: int,
    /,
) -> None:
    """As metric_knn_f32 for a canonical CSR matrix (indptr int64, indices int32, data
    float32; sorted columns, no stored zeros)."""

def metric_cross_f32(
    x: Buffer, y: Buffer, out: Buffer, nx: int, ny: int, d: int, metric: str, p: float,
    n_threads: int, /,
) -> None:
    """Rank distances of every row of x to every row of y (dense float32) into out."""

def metric_cross_csr_f32(
    x_indptr: Buffer, x_indices: Buffer, x_data: Buffer, y_indptr: Buffer, y_indices: Buffer,
    y_data: Buffer, out: Buffer, nx: int, ny: int, d: int, metric: str, p: float,
    n_threads: int, /,
) -> None:
    """Rank distances of every row of the CSR matrix x to every row of y into out."""

def metric_query_f32(
    x: Buffer, q: Buffer, graph: Buffer, seeds: Buffer, out_idx: Buffer, out_dist: Buffer,
    n: int, m: int, d: int, width: int, k: int, pool: int, n_seeds: int, metric: str,
    p: float, n_threads: int, /,
) -> None:
    """The k nearest rows of x to each row of q (dense float32) by a graph search."""

def metric_query_csr_f32(
    x_indptr: Buffer, x_indices: Buffer, x_data: Buffer, q_indptr: Buffer, q_indices: Buffer,
    q_data: Buffer, graph: Buffer, seeds: Buffer, out_idx: Buffer, out_dist: Buffer, n: int,
    m: int, d: int, width: int, k: int, pool: int, n_seeds: int, metric: str, p: float,
    n_threads: int, /,
) -> None:
    """The k nearest rows of the CSR matrix x to each row of q by a graph search."""

def forest_nodes_per_tree(n: int, leaf_size: int, /) -> int:
    """Nodes of one tree of forest_build_f32 over n points."""

def forest_build_f32(
    x: Buffer, nodes: Buffer, threshold: Buffer, perm: Buffer, n: int, d: int, n_trees: int,
    leaf_size: int, seed: int, n_threads: int, /,
) -> None:
    """Random-projection forest of the rows of x (nodes: 4 int32 per node, threshold: one
    float32 per node, perm: one permutation of the points per tree)."""

def search_graph(
    knn_idx: Buffer, knn_dist: Buffer, graph: Buffer, n: int, k: int, width: int,
    n_threads: int, /,
) -> None:
    """Neighbours and reverse neighbours of each point, nearest first, width per row."""

def knn_query_f32(
    x: Buffer, xb: Buffer, graph: Buffer, nodes: Buffer, threshold: Buffer, perm: Buffer, q: Buffer,
    out_idx: Buffer, out_dist: Buffer, exclude: Buffer, n: int, d: int, width: int,
    n_trees: int, m: int,
    k: int, ef: int, epsilon: float, n_threads: int, /,
) -> None:
    """The k nearest rows of x to each row of q, by (squared distance, id)."""

def bytes_pack_rows(x: Buffer, out: Buffer, n: int, d: int, n_threads: int, /) -> bool:
    """x in byte form for knn_query_f32 (out: uint8), if its values are all 0 ... 255."""

def row_hashes(x: Buffer, out: Buffer, n: int, d: int, n_threads: int, /) -> None:
    """64-bit hash of the bytes of each row of x (out: uint64)."""

def transform_layout_f32(
    q: Buffer, knn_idx: Buffer, knn_sqdist: Buffer, x: Buffer, embedding: Buffer,
    hash_sorted: Buffer, hash_order: Buffer, out: Buffer, m: int, d: int, k: int, n: int,
    dim: int, n_epochs: int, a: float, b: float, gamma: float, learning_rate: float,
    negative_sample_rate: float, local_connectivity: float, seed: int, n_threads: int, /,
) -> None:
    """Positions of new points on a fitted embedding, each placed on its own."""

def smooth_knn_dist_f32(
    dist: Buffer,
    out_sigmas: Buffer,
    out_rhos: Buffer,
    n_samples: int,
    n_neighbors: int,
    local_connectivity: float,
    /,
) -> None:
    """Bandwidth (sigma) and offset (rho) of every row of a dense kNN distance table, as
    the fuzzy graph computes them."""

def knn_descent_progress_f32(
    x: Buffer,
    idx: Buffer,
    dist: Buffer,
    n: int,
    d: int,
    k: int,
    n_trees: int,
    n_iters: int,
    seed: int,
    leaf_size: int,
    n_threads: int,
    control: Buffer,
    /,
) -> int:
    """``_native_quelmo.knn_descent_f32`` with a control record (a writable int64
    buffer of 8 items, see ``quelmo._progress``); returns 0, -1, -2 or -3 (stopped)."""

def layout_progress_f32(
    embedding: Buffer,
    head: Buffer,
    tail: Buffer,
    epochs_per_sample: Buffer,
    n_samples: int,
    dim: int,
    n_epochs: int,
    a: float,
    b: float,
    gamma: float,
    initial_alpha: float,
    negative_sample_rate: float,
    seed: int,
    n_threads: int,
    control: Buffer,
    /,
) -> int:
    """``_native_quelmo.umap_layout_euclidean_f32`` with a control record; returns 0,
    -1 (serial run) or -3 (stopped)."""
