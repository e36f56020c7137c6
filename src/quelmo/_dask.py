"""Dask arrays through ``UMAP.transform``: one task per block of rows.

A transformed row depends only on its own values and the model, so the
blocks are independent and the result has the bits of the in-memory
transform whatever the chunking.  Needs the ``dask`` extra.
"""

from __future__ import annotations

from typing import Any

import numpy as np


def transform_blocks(model: Any, X: Any) -> Any:
    """``model.transform`` mapped over the row blocks of the Dask array ``X``.

    The model travels to the workers once, as one task of the graph that
    every block depends on, not once per block.

    Raises
    ------
    ImportError
        Without Dask.
    ValueError
        When ``X`` is not 2-D or has the wrong number of features.
    """
    try:
        import dask
    except ImportError:
        raise ImportError("transforming Dask arrays needs Dask: pip install 'quelmo[dask]'") \
            from None
    if X.ndim != 2:
        raise ValueError(f"X must be a 2-D array of shape (n_samples, n_features), "
                         f"got {X.ndim} dimension(s)")
    if X.shape[1] != model.n_features_in_:
        raise ValueError(f"X has {X.shape[1]} features, but UMAP is expecting "
                         f"{model.n_features_in_} features as input")
    X = X.rechunk({1: -1})
    dim = model.embedding_.shape[1]
    state = model._transform_state
    token = dask.base.tokenize(model.embedding_, state.data, state.forest_perm, state.seed,
                               state.n_epochs, model.a_, model.b_)
    shared = dask.delayed(model, name=f"quelmo-umap-{token}", pure=True)
    return X.map_blocks(_transform_block, shared, dtype=np.float32,
                        chunks=(X.chunks[0], (dim,)), meta=np.empty((0, dim), np.float32))


def _transform_block(block: np.ndarray, model: Any) -> np.ndarray:
    if block.shape[0] == 0:
        return np.empty((0, model.embedding_.shape[1]), np.float32)
    return model._transform_array(block)
