"""Type stub of the second native extension module (buffers are C-contiguous
objects with 4-byte items: NumPy arrays of int32 or float32)."""

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
