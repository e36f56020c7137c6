"""Pictures of 2-D embeddings.

``points`` draws a fitted ``UMAP`` (its ``embedding_``) or an array of
coordinates, coloured by categorical ``labels`` (with a legend) or by
continuous ``values`` (with a colour bar); ``overlay`` draws further points,
such as new points placed by a fitted model, over a picture.

Needs matplotlib (``pip install 'quelmo[plot]'``), imported on first use.
Up to ``RASTER_THRESHOLD`` points are drawn as a scatter plot; above it they
are aggregated per pixel into one image in NumPy, which draws a million
points in about a second.  ``backend="datashader"`` makes that image with
datashader instead (``pip install 'quelmo[datashader]'``).
"""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any, Mapping, Sequence

import numpy as np

from quelmo import _raster

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.colors import Colormap

__all__ = ["points", "overlay", "RASTER_THRESHOLD", "MAX_LEGEND_CLASSES"]

# Above this many points, `backend="auto"` draws an image instead of markers.
RASTER_THRESHOLD = 100_000
# Labels with more distinct classes than this get colours but no legend.
MAX_LEGEND_CLASSES = 30
BACKENDS = ("auto", "matplotlib", "raster", "datashader")

# Integer labels below this are sorted into classes by counting.
_COUNTED_LABELS = 1 << 20
_DPI = 100
_LEGEND_ROW_PX = 18
# Share of the data's span left empty on each side of the picture.
_MARGIN = 0.03
_DOT = "#3465a4"
_DOT_ON_DARK = "#9ecae1"


def points(data: Any, labels: Sequence | np.ndarray | None = None,
           values: Sequence[float] | np.ndarray | None = None, *,
           overlay: Any = None, overlay_label: str | None = "new points",
           overlay_color: str | None = None,
           cmap: str | Colormap | None = None,
           color_key: Mapping[Any, Any] | Sequence[Any] | None = None,
           ax: Axes | None = None, title: str | None = None, width: int = 800,
           height: int = 800, background: str = "white", show_legend: bool = True,
           point_size: float | None = None, backend: str = "auto",
           path: str | Path | None = None) -> Axes:
    """Draw a 2-D embedding, coloured by class or by value.

    Parameters
    ----------
    data : UMAP or array-like of shape (n_points, n_dims)
        A fitted model (its ``embedding_`` is drawn) or coordinates; the
        first two columns are drawn.
    labels : array-like of shape (n_points,), optional
        Categorical labels: one colour per distinct label and a legend of up
        to ``MAX_LEGEND_CLASSES`` classes.
    values : array-like of shape (n_points,), optional
        Finite continuous values, drawn through ``cmap`` with a colour bar.
        Give ``labels`` or ``values``, not both.
    overlay : UMAP or array-like of shape (m_points, n_dims), optional
        Points drawn over the picture in one contrasting colour, such as new
        points placed by ``UMAP.transform``; see ``overlay``.  They are
        drawn as markers up to ``RASTER_THRESHOLD`` points, as an image of
        ``backend`` above.
    overlay_label : str or None, default="new points"
        Legend entry of the overlay (None: none).
    overlay_color : str, optional
        Colour of the overlay: default black, or white on a dark
        ``background``.
    cmap : str or matplotlib Colormap, optional
        Colours of ``values`` (default ``"viridis"``), or the colour map whose
        evenly spaced colours the classes take (default ``tab10`` up to 10
        classes, ``tab20`` up to 20, ``turbo`` above).
    color_key : mapping or sequence of colours, optional
        Colour of each class: a mapping from label to colour, or colours in
        the sorted order of the labels.  Takes precedence over ``cmap``.
    ax : matplotlib Axes, optional
        Where to draw; by default a new figure of ``width`` x ``height``
        pixels.  With ``path`` and no ``ax``, the figure is made outside
        pyplot, so no window opens and nothing needs closing.
    title : str, optional
    width, height : int, default=800
        Size of a new figure in pixels.
    background : str, default="white"
        Colour of the plotting area.
    show_legend : bool, default=True
        Show the legend of the classes (and of the overlay).
    point_size : float, optional
        Marker area in points squared for scatter plots; by default from the
        number of points.
    backend : {"auto", "matplotlib", "raster", "datashader"}, default="auto"
        ``"matplotlib"`` draws one marker per point; ``"raster"`` aggregates
        the points per pixel into an image (NumPy): each pixel shows the mean
        colour of its points (of their values, with ``values``) with an
        opacity that grows with their number; ``"datashader"`` makes that
        image with datashader.  ``"auto"`` draws markers up to
        ``RASTER_THRESHOLD`` points and the NumPy image above.
    path : str or Path, optional
        Save the figure here (the format follows the file extension).

    Returns
    -------
    matplotlib Axes
        The axes drawn on; ``ax.figure`` is its figure.

    Raises
    ------
    ValueError
        On coordinates that are not an (n, 2 or more) array of finite
        numbers, an unfitted model, labels or values of another length than
        the points, both labels and values, or an unknown backend.
    ImportError
        When matplotlib, or datashader for ``backend="datashader"``, is
        missing; the message names the ``pip install`` that brings it.
    """
    xy = _coordinates(data, "data")
    if labels is not None and values is not None:
        raise ValueError("give labels or values, not both")
    codes, classes = _classes(labels, len(xy)) if labels is not None else (None, None)
    shades = _values(values, len(xy)) if values is not None else None
    extra = _coordinates(overlay, "overlay") if overlay is not None else None
    kind = _backend(backend, len(xy))
    mpl = _matplotlib()

    ax, created = _new_axes(mpl, width, height, path) if ax is None else (ax, False)
    ax.set_facecolor(background)
    ax.set_xticks([])
    ax.set_yticks([])
    if title:
        ax.set_title(title)
    mappable = palette = None
    handles = []
    if shades is not None:
        mappable = _colour_bar(mpl, ax, shades, cmap)
    else:
        if classes is None:
            codes = np.zeros(len(xy), np.intp)
        palette = _palette(mpl, classes, cmap, color_key, background)
        if classes is not None and classes.size <= MAX_LEGEND_CLASSES:
            handles = [_handle(mpl, colour, str(name)) for colour, name in zip(palette, classes)]
    if extra is not None and overlay_label:
        handles.append(_overlay_handle(mpl, overlay_color or _overlay_colour(mpl, background),
                                       overlay_label))
    if show_legend and handles:
        _legend(ax, handles)
    if created:
        # Place the title, legend and colour bar first, so that the image
        # below is made at the pixel size the axes keep.
        ax.figure.tight_layout()
    _frame(ax, xy if extra is None else np.concatenate([xy, extra]))

    if kind == "matplotlib":
        size = point_size if point_size is not None else _marker_size(len(xy), 20000.0, 0.5, 12.0)
        if shades is not None:
            colours = {"c": shades, "cmap": mappable.cmap, "norm": mappable.norm}
        else:
            colours = {"c": palette[codes]}
        ax.scatter(xy[:, 0], xy[:, 1], s=size, lw=0, **colours)
    else:
        _show(ax, _image(kind, ax, xy, codes, palette, shades, mappable))
    if extra is not None:
        # A few new points read best as markers, whatever drew the map.
        small = backend == "matplotlib" or len(extra) <= RASTER_THRESHOLD
        _overlay_points(ax, extra, background=background, color=overlay_color,
                        backend="matplotlib" if small else backend)
    if path is not None:
        ax.figure.savefig(path, dpi=ax.figure.dpi)
    return ax


def overlay(ax: Axes, data: Any, *, color: str | None = None, label: str | None = None,
            point_size: float | None = None, backend: str = "auto") -> Axes:
    """Draw further points over a picture made by ``points``, in one colour.

    For the new points of ``UMAP.transform`` over the fitted embedding::

        ax = quelmo.plot.points(model, labels)
        quelmo.plot.overlay(ax, model.transform(X_new), label="new points")

    or in one call, which also saves: ``points(model, labels,
    overlay=model.transform(X_new), path="new.png")``.

    Parameters
    ----------
    ax : matplotlib Axes
        The picture; its limits stay as they are.
    data : UMAP or array-like of shape (m_points, n_dims)
        The points (the first two columns are drawn).
    color : str, optional
        Default black, or white on a dark plotting area.
    label : str, optional
        Adds an entry for the points to the axes' legend (made if absent).
    point_size : float, optional
        Marker area in points squared; by default from the number of points.
    backend : {"auto", "matplotlib", "raster", "datashader"}, default="auto"
        As for ``points``; above ``RASTER_THRESHOLD`` points ``"auto"`` draws
        an image.

    Returns
    -------
    matplotlib Axes
        ``ax``.
    """
    xy = _coordinates(data, "overlay")
    mpl = _matplotlib()
    background = mpl.colors.to_hex(ax.get_facecolor())
    _overlay_points(ax, xy, background=background, backend=backend, color=color,
                   point_size=point_size)
    if label:
        legend = ax.get_legend()
        handles = list(legend.legend_handles) if legend is not None else []
        colour = color or _overlay_colour(mpl, background)
        _legend(ax, handles + [_overlay_handle(mpl, colour, label)])
    return ax


def _overlay_points(ax: Axes, xy: np.ndarray, *, background: str, backend: str,
                    color: str | None = None, point_size: float | None = None) -> None:
    """Draw checked coordinates over ``ax`` without touching its legend."""
    mpl = _matplotlib()
    kind = _backend(backend, len(xy))
    colour = mpl.colors.to_rgba(color or _overlay_colour(mpl, background))
    if kind == "matplotlib":
        size = point_size if point_size is not None else _marker_size(len(xy), 40000.0, 4.0, 20.0)
        ax.scatter(xy[:, 0], xy[:, 1], s=size, c=[colour], edgecolors=_edge(mpl, colour),
                   linewidths=0.4, zorder=3)
        return
    image = _image(kind, ax, xy, np.zeros(len(xy), np.intp), np.array([colour]), None, None)
    _show(ax, image, zorder=3)


def _marker_size(n: int, ink: float, smallest: float, largest: float) -> float:
    """Marker area in points squared: ``ink`` shared among ``n`` markers,
    within bounds that keep them visible and apart."""
    return float(np.clip(ink / n, smallest, largest))


def _coordinates(data: Any, name: str) -> np.ndarray:
    if not isinstance(data, np.ndarray) and hasattr(data, "fit"):
        if not hasattr(data, "embedding_"):
            raise ValueError(f"{name}: the model is not fitted; call fit first")
        data = data.embedding_
    try:
        xy = np.asarray(data, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{name} must be an array of numbers") from None
    if xy.ndim != 2 or xy.shape[1] < 2:
        raise ValueError(f"{name} must have shape (n_points, 2) or more columns, "
                         f"not {xy.shape}")
    if xy.shape[0] == 0:
        raise ValueError(f"{name} has no points")
    xy = xy[:, :2]
    if not np.isfinite(xy).all():
        raise ValueError(f"{name} has non-finite coordinates")
    return xy


def _classes(labels: Sequence | np.ndarray, n: int) -> tuple[np.ndarray, np.ndarray]:
    labels = np.asarray(labels)
    if labels.ndim != 1 or len(labels) != n:
        raise ValueError(f"labels must have one entry per point: {n}, not shape {labels.shape}")
    if labels.dtype.kind in "iu" and labels.min() >= 0 and labels.max() < _COUNTED_LABELS:
        # Small non-negative integers, the usual class codes: counting them
        # is much faster than the sort inside np.unique, same result.
        present = np.bincount(labels) > 0
        return (np.cumsum(present) - 1)[labels], np.flatnonzero(present)
    classes, codes = np.unique(labels, return_inverse=True)
    return codes.reshape(-1), classes


def _values(values: Sequence[float] | np.ndarray, n: int) -> np.ndarray:
    try:
        shades = np.asarray(values, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("values must be numbers; use labels for categories") from None
    if shades.ndim != 1 or len(shades) != n:
        raise ValueError(f"values must have one entry per point: {n}, not shape {shades.shape}")
    if not np.isfinite(shades).all():
        raise ValueError("values must be finite")
    return shades


def _backend(backend: str, n: int) -> str:
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}; got {backend!r}")
    if backend == "auto":
        return "raster" if n > RASTER_THRESHOLD else "matplotlib"
    return backend


def _matplotlib() -> Any:
    try:
        import matplotlib
        import matplotlib.cm
        import matplotlib.colors
        import matplotlib.figure
        import matplotlib.lines
    except ImportError:
        raise ImportError("quelmo.plot needs matplotlib: pip install 'quelmo[plot]'") from None
    return matplotlib


def _new_axes(mpl: Any, width: int, height: int, path: str | Path | None) -> tuple[Axes, bool]:
    size = (width / _DPI, height / _DPI)
    if path is not None:
        fig = mpl.figure.Figure(figsize=size, dpi=_DPI)
        return fig.add_subplot(), True
    import matplotlib.pyplot as plt

    return plt.subplots(figsize=size, dpi=_DPI)[1], True


def _is_colormap(cmap: Any) -> bool:
    return cmap is not None and not isinstance(cmap, str)


def _colour_bar(mpl: Any, ax: Axes, shades: np.ndarray, cmap: str | Colormap | None) -> Any:
    """The colour map and range of ``shades``, shown as a colour bar."""
    colour_map = cmap if _is_colormap(cmap) else mpl.colormaps[cmap or "viridis"]
    norm = mpl.colors.Normalize(vmin=float(shades.min()), vmax=float(shades.max()))
    mappable = mpl.cm.ScalarMappable(norm=norm, cmap=colour_map)
    ax.figure.colorbar(mappable, ax=ax)
    return mappable


def _palette(mpl: Any, classes: np.ndarray | None, cmap: str | Colormap | None,
             color_key: Mapping[Any, Any] | Sequence[Any] | None,
             background: str) -> np.ndarray:
    """RGBA colour of each class, in the order of ``classes``; one colour
    that stands out from the background when there are no classes."""
    if classes is None:
        return mpl.colors.to_rgba_array([_dot_colour(mpl, background)])
    k = classes.size
    if isinstance(color_key, Mapping):
        missing = [name for name in classes.tolist() if name not in color_key]
        if missing:
            raise ValueError(f"color_key has no colour for label {missing[0]!r}")
        return mpl.colors.to_rgba_array([color_key[name] for name in classes.tolist()])
    if color_key is not None:
        if len(color_key) < k:
            raise ValueError(f"color_key has {len(color_key)} colours for {k} classes")
        return mpl.colors.to_rgba_array(list(color_key)[:k])
    if cmap is None:
        cmap = "tab10" if k <= 10 else "tab20" if k <= 20 else "turbo"
        if k <= 20:
            return mpl.colormaps[cmap](np.arange(k))
    colour_map = cmap if _is_colormap(cmap) else mpl.colormaps[cmap]
    return colour_map(np.linspace(0.0, 1.0, k))


def _luminance(mpl: Any, colour: Any) -> float:
    r, g, b = mpl.colors.to_rgb(colour)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def _dot_colour(mpl: Any, background: str) -> str:
    return _DOT if _luminance(mpl, background) >= 0.5 else _DOT_ON_DARK


def _overlay_colour(mpl: Any, background: str) -> str:
    return "black" if _luminance(mpl, background) >= 0.5 else "white"


def _edge(mpl: Any, colour: Any) -> str:
    """Outline of overlay markers, so that they show on any colour below."""
    return "white" if _luminance(mpl, colour) < 0.5 else "black"


def _overlay_handle(mpl: Any, colour: Any, label: str) -> Any:
    handle = _handle(mpl, colour, label)
    handle.set_markeredgecolor(_edge(mpl, colour))
    handle.set_markeredgewidth(0.6)
    return handle


def _handle(mpl: Any, colour: Any, label: str) -> Any:
    return mpl.lines.Line2D([], [], linestyle="", marker="o", markersize=6, color=colour,
                            label=label)


def _legend(ax: Axes, handles: list) -> None:
    # Beside the axes, in as many columns as the figure's height needs
    # (a small-font entry takes about 18 pixels at 100 dpi).
    rows = max(1, int(ax.figure.get_figheight() * ax.figure.dpi * 0.9 / _LEGEND_ROW_PX))
    ax.legend(handles=handles, fontsize="small", loc="center left", bbox_to_anchor=(1.0, 0.5),
              frameon=False, ncols=-(-len(handles) // rows))


def _frame(ax: Axes, xy: np.ndarray) -> None:
    """Limits that hold every point with a margin and give both axes the
    same data units per pixel, centred on the points."""
    width, height = _pixel_size(ax)
    low, high = xy.min(axis=0), xy.max(axis=0)
    span = np.where(high > low, high - low, 1.0)
    centre = (low + high) / 2.0
    per_pixel = max(span[0] / width, span[1] / height) * (1.0 + 2.0 * _MARGIN)
    ax.set_xlim(centre[0] - per_pixel * width / 2.0, centre[0] + per_pixel * width / 2.0)
    ax.set_ylim(centre[1] - per_pixel * height / 2.0, centre[1] + per_pixel * height / 2.0)
    ax.set_aspect("equal", adjustable="box")


def _pixel_size(ax: Axes) -> tuple[int, int]:
    box = ax.get_window_extent()
    return max(1, int(round(box.width))), max(1, int(round(box.height)))


def _image(kind: str, ax: Axes, xy: np.ndarray, codes: np.ndarray | None,
           palette: np.ndarray | None, shades: np.ndarray | None, mappable: Any) -> np.ndarray:
    """The points as an RGBA image over the current limits of ``ax``."""
    if kind == "datashader":
        from quelmo import _datashade as draw
    else:
        draw = _raster
    width, height = _pixel_size(ax)
    extent = (*ax.get_xlim(), *ax.get_ylim())
    if shades is None:
        return draw.classes(xy, extent, width, height, codes, palette)
    lut = mappable.cmap(np.linspace(0.0, 1.0, 256))
    return draw.values(xy, extent, width, height, shades, lut, mappable.norm.vmin,
                       mappable.norm.vmax)


def _show(ax: Axes, image: np.ndarray, zorder: float = 1) -> None:
    x0, x1 = ax.get_xlim()
    y0, y1 = ax.get_ylim()
    ax.imshow(image, extent=(x0, x1, y0, y1), origin="lower", interpolation="nearest",
              aspect="auto", zorder=zorder)
    # imshow resets the limits to the image's extent; keep them exact.
    ax.set_xlim(x0, x1)
    ax.set_ylim(y0, y1)
