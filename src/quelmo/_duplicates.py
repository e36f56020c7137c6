"""Repeated rows: the distinct rows of a data matrix, embedded once each."""

from __future__ import annotations

import numpy as np


def distinct_rows(data: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Rows to keep and where every row went.

    Returns ``keep``, the index of the first occurrence of every distinct
    row in ascending order, and ``inverse``, for every row the position of
    its distinct row within ``keep`` (so ``data[keep][inverse]`` equals
    ``data``).  Rows are compared by value: 0.0 and -0.0 are the same.
    """
    n, d = data.shape
    # Adding +0.0 turns -0.0 into +0.0; then equal values have equal bytes.
    canonical = np.ascontiguousarray(np.add(data, data.dtype.type(0.0), dtype=data.dtype))
    rows = canonical.view(np.dtype((np.void, canonical.dtype.itemsize * d))).ravel()
    _, first, inverse = np.unique(rows, return_index=True, return_inverse=True)
    # np.unique numbers the rows in byte order; renumber them by first occurrence.
    order = np.argsort(first, kind="stable")
    rank = np.empty(order.size, np.int64)
    rank[order] = np.arange(order.size)
    return first[order], rank[inverse.ravel()]
