"""Pictures of many points as an RGBA image, in NumPy alone.

Each point falls into one pixel of a ``height`` x ``width`` canvas over
``extent``; a pixel's colour is the mean colour of its points (classes) or
the colour of their mean value (values), and its opacity grows with the
number of points by histogram equalisation, so dense and sparse regions both
stay visible.  Row 0 of the image is the bottom of the canvas (``imshow``
with ``origin="lower"``).
"""

from __future__ import annotations

import numpy as np

# Opacity of the least dense occupied pixel: lighter than the dense cores,
# but small classes and the outskirts of large ones stay legible.
MIN_ALPHA = 0.4
# A picture is spread by one pixel at a time while more than this share of
# its occupied pixels has no occupied neighbour (scattered single points).
ISOLATED_SHARE = 0.5
# At most this many one-pixel spreads.
MAX_SPREAD = 3


def classes(xy: np.ndarray, extent: tuple[float, float, float, float], width: int,
            height: int, codes: np.ndarray, palette: np.ndarray,
            max_spread: int = MAX_SPREAD) -> np.ndarray:
    """RGBA image of points coloured by class: ``palette[codes[i]]`` (RGB or
    RGBA in [0, 1]) is the colour of point ``i``; a pixel shows the mean
    colour of its points."""
    pixel, inside = _pixels(xy, extent, width, height)
    size = width * height
    codes = codes[inside]
    counts = np.bincount(pixel, minlength=size).astype(np.float64)
    # One channel at a time: a gather from a short column is several times
    # faster than gathering whole palette rows.
    sums = np.stack([np.bincount(pixel, weights=palette[:, c][codes], minlength=size)
                     for c in range(3)], axis=-1)
    counts, sums = _spread(counts.reshape(height, width), sums.reshape(height, width, 3),
                           max_spread)
    occupied = counts > 0
    image = np.zeros((height, width, 4))
    image[occupied, :3] = sums[occupied] / counts[occupied, None]
    image[..., 3] = _density_alpha(counts)
    return _to_bytes(image)


def values(xy: np.ndarray, extent: tuple[float, float, float, float], width: int,
           height: int, point_values: np.ndarray, lut: np.ndarray, vmin: float,
           vmax: float, max_spread: int = MAX_SPREAD) -> np.ndarray:
    """RGBA image of points coloured by a continuous value: a pixel shows the
    colour of the mean value of its points, looked up in ``lut`` (rows of
    RGBA in [0, 1], the first for ``vmin``, the last for ``vmax``)."""
    pixel, inside = _pixels(xy, extent, width, height)
    size = width * height
    counts = np.bincount(pixel, minlength=size).astype(np.float64)
    sums = np.bincount(pixel, weights=point_values[inside], minlength=size)
    counts, sums = _spread(counts.reshape(height, width), sums.reshape(height, width, 1),
                           max_spread)
    occupied = counts > 0
    mean = sums[occupied, 0] / counts[occupied]
    span = vmax - vmin if vmax > vmin else 1.0
    step = np.clip((mean - vmin) / span * (len(lut) - 1), 0, len(lut) - 1)
    image = np.zeros((height, width, 4))
    image[occupied] = lut[np.rint(step).astype(np.intp)]
    return _to_bytes(image)


def _pixels(xy: np.ndarray, extent: tuple[float, float, float, float], width: int,
            height: int) -> tuple[np.ndarray, np.ndarray]:
    """Flat pixel index of each point inside the extent, and which points
    those are."""
    x0, x1, y0, y1 = extent
    column = np.floor((xy[:, 0] - x0) * (width / (x1 - x0)))
    row = np.floor((xy[:, 1] - y0) * (height / (y1 - y0)))
    # A point on the right or top edge belongs to the last pixel.
    column[xy[:, 0] == x1] = width - 1
    row[xy[:, 1] == y1] = height - 1
    inside = (column >= 0) & (column < width) & (row >= 0) & (row < height)
    pixel = row[inside].astype(np.intp) * width + column[inside].astype(np.intp)
    return pixel, inside


def _spread(counts: np.ndarray, sums: np.ndarray,
            max_spread: int) -> tuple[np.ndarray, np.ndarray]:
    """Widen scattered points into 3 x 3 blocks, up to ``max_spread`` times,
    while most occupied pixels have no occupied neighbour."""
    for _ in range(max_spread):
        occupied = counts > 0
        n_occupied = np.count_nonzero(occupied)
        if n_occupied == 0:
            break
        neighbours = _box_sum(occupied.astype(np.int32)) - occupied
        isolated = np.count_nonzero(occupied & (neighbours == 0))
        if isolated <= ISOLATED_SHARE * n_occupied:
            break
        counts, sums = _box_sum(counts), _box_sum(sums)
    return counts, sums


def _box_sum(grid: np.ndarray) -> np.ndarray:
    """Sum over each pixel's 3 x 3 neighbourhood (zeros beyond the edges)."""
    height, width = grid.shape[:2]
    padded = np.pad(grid, [(1, 1), (1, 1)] + [(0, 0)] * (grid.ndim - 2))
    total = np.zeros_like(grid)
    for dr in range(3):
        for dc in range(3):
            total += padded[dr:dr + height, dc:dc + width]
    return total


def _density_alpha(counts: np.ndarray) -> np.ndarray:
    """Opacity by histogram equalisation of the occupied pixels' counts: a
    pixel's opacity is the share of occupied pixels at most as dense, raised
    to ``MIN_ALPHA`` at the bottom; empty pixels are transparent."""
    alpha = np.zeros(counts.shape)
    occupied = counts > 0
    _, level_of_pixel, pixels_per_level = np.unique(
        counts[occupied], return_inverse=True, return_counts=True)
    share = np.cumsum(pixels_per_level) / np.count_nonzero(occupied)
    alpha[occupied] = MIN_ALPHA + (1.0 - MIN_ALPHA) * share[level_of_pixel]
    return alpha


def _to_bytes(image: np.ndarray) -> np.ndarray:
    return np.rint(np.clip(image, 0.0, 1.0) * 255.0).astype(np.uint8)
