"""Type stub of the native extension module (buffers are any C-contiguous
objects with 4-byte items: NumPy arrays of int32 or float32)."""

from typing import Any

Buffer = Any

def knn_descent_f32(
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
    /,
) -> int:
    """Fill kNN indices and squared distances with the vendored Quelmo kNN kernel."""

def umap_graph_f32(
    idx: Buffer,
    dist: Buffer,
    out_rows: Buffer,
    out_cols: Buffer,
    out_vals: Buffer,
    n_samples: int,
    n_neighbors: int,
    /,
) -> None:
    """Build symmetrized UMAP fuzzy graph COO buffers from dense kNN arrays."""

def umap_layout_euclidean_f32(
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
    /,
) -> int:
    """Optimize a UMAP layout in-place with the vendored pthread kernel.

    Returns 0 when the threaded optimiser ran, -1 when the serial one ran in
    its place (one effective thread, or the threaded set-up failed) or there
    were no edges.  Raises ValueError when a, b, gamma, initial_alpha or
    negative_sample_rate is not finite as float32, and MemoryError when
    neither optimiser could allocate its scratch (the embedding is then
    unchanged).
    """
