"""Type stub of the second native extension module (buffers are C-contiguous
objects with 4-byte items, NumPy arrays of int32 or float32, except the 8-byte
int64 indptr of a CSR matrix)."""

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
