"""Small data sets for demonstrations."""

from __future__ import annotations

import numpy as np


def load_digits() -> tuple[np.ndarray, np.ndarray]:
    """scikit-learn's bundled 8x8 handwritten digits (1797 x 64, no download).

    Returns
    -------
    data : ndarray of shape (1797, 64), float32
    labels : ndarray of shape (1797,), int64, digits 0-9
    """
    from sklearn.datasets import load_digits as _load

    data, labels = _load(return_X_y=True)
    return data.astype(np.float32), labels.astype(np.int64)
