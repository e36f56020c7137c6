"""Type stub of the second native extension module (buffers are C-contiguous
objects with 4-byte items: NumPy arrays of int32 or float32; control records
have 8-byte items: NumPy arrays of int64)."""

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
