"""Pictures of many points as an RGBA image, drawn by datashader (the
``datashader`` extra).  Same calls and same image layout as
``quelmo._raster``: row 0 is the bottom of the canvas."""

from __future__ import annotations

from typing import Any

import numpy as np

from quelmo._raster import ISOLATED_SHARE, MAX_SPREAD, MIN_ALPHA

# The same opacity floor and spreading as the NumPy image, so that both
# backends draw the same picture.
_MIN_ALPHA = round(255 * MIN_ALPHA)
_SPREAD_THRESHOLD = 1.0 - ISOLATED_SHARE


def classes(xy: np.ndarray, extent: tuple[float, float, float, float], width: int,
            height: int, codes: np.ndarray, palette: np.ndarray) -> np.ndarray:
    """RGBA image of points coloured by class (``palette[codes[i]]``); a
    pixel shows the mean colour of its points, its opacity their density."""
    ds, tf, pd = _modules()
    frame = pd.DataFrame({"x": xy[:, 0], "y": xy[:, 1],
                          "c": pd.Categorical.from_codes(codes, categories=range(len(palette)))})
    aggregate = _canvas(ds, extent, width, height).points(frame, "x", "y", ds.count_cat("c"))
    image = tf.shade(aggregate, color_key=_hex(palette), how="eq_hist", min_alpha=_MIN_ALPHA)
    return _rgba(tf.dynspread(image, threshold=_SPREAD_THRESHOLD, max_px=MAX_SPREAD))


def values(xy: np.ndarray, extent: tuple[float, float, float, float], width: int,
           height: int, point_values: np.ndarray, lut: np.ndarray, vmin: float,
           vmax: float) -> np.ndarray:
    """RGBA image of points coloured by the mean value of each pixel, with
    the colours ``lut`` spread linearly from ``vmin`` to ``vmax``."""
    ds, tf, pd = _modules()
    frame = pd.DataFrame({"x": xy[:, 0], "y": xy[:, 1], "v": point_values})
    aggregate = _canvas(ds, extent, width, height).points(frame, "x", "y", ds.mean("v"))
    span = (vmin, vmax) if vmax > vmin else (vmin, vmin + 1.0)
    image = tf.shade(aggregate, cmap=_hex(lut), how="linear", span=span)
    return _rgba(tf.dynspread(image, threshold=_SPREAD_THRESHOLD, max_px=MAX_SPREAD))


def _modules() -> tuple[Any, Any, Any]:
    try:
        import datashader
        import datashader.transfer_functions as transfer
        import pandas
    except ImportError:
        raise ImportError("backend='datashader' needs datashader: "
                          "pip install 'quelmo[datashader]'") from None
    return datashader, transfer, pandas


def _canvas(ds: Any, extent: tuple[float, float, float, float], width: int,
            height: int) -> Any:
    x0, x1, y0, y1 = extent
    return ds.Canvas(plot_width=width, plot_height=height, x_range=(x0, x1),
                     y_range=(y0, y1))


def _hex(colours: np.ndarray) -> list[str]:
    rgb = np.rint(np.clip(colours[:, :3], 0.0, 1.0) * 255.0).astype(int)
    return ["#{:02x}{:02x}{:02x}".format(*row) for row in rgb]


def _rgba(image: Any) -> np.ndarray:
    # Datashader packs each pixel into one uint32 as R + G << 8 + B << 16 +
    # A << 24; read little-endian, its bytes are R, G, B, A on any machine.
    packed = np.ascontiguousarray(image.data, dtype="<u4")
    return packed.view(np.uint8).reshape(packed.shape + (4,))
