"""Pictures: legends and colour bars, the switch to an image above the
threshold, what the image shows, overlays, bad input, and lazy imports."""

from __future__ import annotations

import subprocess
import sys

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from matplotlib.colors import to_hex  # noqa: E402

from quelmo import _raster, plot  # noqa: E402
from quelmo.estimator import UMAP  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures():
    yield
    import matplotlib.pyplot as plt

    plt.close("all")


def blobs(n=600, k=3, seed=0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(k, size=n)
    return rng.normal(scale=6, size=(k, 2))[labels] + rng.normal(size=(n, 2)), labels


def is_png(path):
    return path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


class TestPicture:
    def test_labels_get_a_legend_in_palette_colours(self, tmp_path):
        xy, labels = blobs()
        names = np.array(["cat", "dog", "eel"])[labels]
        ax = plot.points(xy, names, color_key={"cat": "red", "dog": "green", "eel": "blue"},
                         path=tmp_path / "a.png")
        legend = ax.get_legend()
        assert [text.get_text() for text in legend.get_texts()] == ["cat", "dog", "eel"]
        colours = [to_hex(handle.get_color()) for handle in legend.legend_handles]
        assert colours == [to_hex("red"), to_hex("green"), to_hex("blue")]
        assert is_png(tmp_path / "a.png") and not ax.images

    def test_values_get_a_colour_bar_spanning_them(self):
        xy, _ = blobs()
        ax = plot.points(xy, values=xy[:, 0] * 2.0)
        colour_bar = ax.figure.axes[1]
        assert ax.get_legend() is None
        assert colour_bar.get_ylim() == pytest.approx((2.0 * xy[:, 0].min(), 2.0 * xy[:, 0].max()))

    def test_many_classes_have_no_legend(self):
        xy, labels = blobs(k=40)
        assert plot.points(xy, labels).get_legend() is None

    @pytest.mark.parametrize("values", [False, True])
    def test_auto_draws_an_image_above_the_threshold(self, monkeypatch, values):
        xy, labels = blobs()
        colour = dict(values=xy[:, 1]) if values else dict(labels=labels)
        assert not plot.points(xy, **colour).images
        monkeypatch.setattr(plot, "RASTER_THRESHOLD", 100)
        ax = plot.points(xy, **colour, width=300, height=200)
        # The image has the pixel size of the axes, so it is never resampled.
        bbox = ax.get_window_extent()
        assert ax.images[0].get_array().shape[:2] == (round(bbox.height), round(bbox.width))
        assert ax.get_xlim() == tuple(ax.images[0].get_extent()[:2])

    def test_overlay_in_one_call_and_afterwards(self, tmp_path):
        xy, labels = blobs()
        far = xy[:20] + 100.0
        ax = plot.points(xy, labels, overlay=far, path=tmp_path / "o.png")
        assert ax.collections[-1].get_offsets().shape == (20, 2)
        assert [t.get_text() for t in ax.get_legend().get_texts()][-1] == "new points"
        # The frame holds the overlay too.
        assert ax.get_xlim()[1] > far[:, 0].max() and ax.get_ylim()[1] > far[:, 1].max()
        ax = plot.points(xy, labels)
        plot.overlay(ax, xy[:5], label="query", color="magenta")
        texts = [t.get_text() for t in ax.get_legend().get_texts()]
        assert texts == ["0", "1", "2", "query"]

    @pytest.mark.parametrize("labels", [[5, 2, 5, 9, 0], [7, -1, 7, 3, 3], [2**40, 1, 1, 0, 5]])
    def test_integer_labels_counted_or_sorted_give_np_unique_classes(self, labels):
        codes, classes = plot._classes(np.array(labels), 5)
        expected_classes, expected_codes = np.unique(labels, return_inverse=True)
        assert classes.tolist() == expected_classes.tolist()
        assert codes.tolist() == expected_codes.tolist()

    def test_a_fitted_model_draws_its_embedding(self):
        model = UMAP()
        with pytest.raises(ValueError, match="not fitted"):
            plot.points(model)
        model.embedding_ = blobs()[0].astype(np.float32)
        ax = plot.points(model)
        assert ax.collections[0].get_offsets().shape == (600, 2)

    @pytest.mark.parametrize("data, kwargs, message", [
        (np.zeros(5), {}, "shape"),
        (np.zeros((5, 1)), {}, "shape"),
        (np.zeros((0, 2)), {}, "no points"),
        (np.array([[0.0, np.nan]]), {}, "non-finite"),
        (np.zeros((5, 2)), {"labels": [1, 2]}, "one entry per point"),
        (np.zeros((5, 2)), {"values": [1.0] * 4}, "one entry per point"),
        (np.zeros((5, 2)), {"values": ["a"] * 5}, "numbers"),
        (np.zeros((5, 2)), {"labels": [1] * 5, "values": [1.0] * 5}, "not both"),
        (np.zeros((5, 2)), {"backend": "gpu"}, "backend"),
        (np.zeros((5, 2)), {"labels": [1, 1, 2, 2, 3], "color_key": ["red"]}, "color_key"),
        (np.zeros((5, 2)), {"overlay": np.zeros(3)}, "overlay"),
    ])
    def test_bad_input(self, data, kwargs, message):
        with pytest.raises(ValueError, match=message):
            plot.points(data, **kwargs)


class TestRaster:
    EXTENT = (0.0, 4.0, 0.0, 2.0)

    def test_pixels_blend_their_points_and_start_at_the_bottom(self):
        # Two points of class 0 and one of class 1 share pixel (row 0,
        # column 0); one point of class 1 is alone in the top-right pixel.
        xy = np.array([[0.5, 0.5], [0.2, 0.9], [0.9, 0.1], [4.0, 2.0]])
        palette = np.array([[1.0, 0.0, 0.0, 1.0], [0.0, 0.0, 1.0, 1.0]])
        image = _raster.classes(xy, self.EXTENT, 4, 2, np.array([0, 0, 1, 1]), palette,
                                max_spread=0)
        assert image[0, 0, :3].tolist() == [170, 0, 85]  # round(255 * 2/3), round(255/3)
        assert image[1, 3, :3].tolist() == [0, 0, 255]
        # Equalised opacity: the denser pixel is fully opaque, the other at
        # the floor raised by its half share of the occupied pixels.
        assert image[0, 0, 3] == 255
        assert image[1, 3, 3] == round(255 * (_raster.MIN_ALPHA + (1 - _raster.MIN_ALPHA) / 2))
        assert np.count_nonzero(image[..., 3]) == 2

    def test_values_show_the_pixel_mean(self):
        xy = np.array([[0.5, 0.5], [0.5, 0.5], [3.5, 1.5]])
        lut = np.linspace(0.0, 1.0, 11)[:, None] * np.ones(4)
        image = _raster.values(xy, self.EXTENT, 4, 2, np.array([0.0, 4.0, 10.0]), lut,
                               0.0, 10.0, max_spread=0)
        assert image[0, 0, 0] == 51 and image[1, 3, 0] == 255  # 255 * mean 2 / span 10

    def test_scattered_points_spread_dense_ones_do_not(self):
        rng = np.random.default_rng(1)
        sparse = rng.uniform(0, 100, size=(30, 2))
        one = np.zeros(30, np.intp)
        palette = np.ones((1, 4))
        spread = _raster.classes(sparse, (0, 100, 0, 100), 100, 100, one, palette)
        assert np.count_nonzero(spread[..., 3]) >= 9 * 30 * 0.8
        dense = rng.uniform(0, 10, size=(3000, 2))
        image = _raster.classes(dense, (0, 10, 0, 10), 10, 10, np.zeros(3000, np.intp), palette)
        assert np.count_nonzero(image[..., 3]) == 100


@pytest.mark.slow
def test_datashader_draws_the_same_pixels():
    pytest.importorskip("datashader")
    from quelmo import _datashade

    # An independent aggregation: the occupied pixels must agree, except
    # where a point sits on a pixel edge and float rounding differs, and so
    # must the colours; datashader equalises opacity over a binned histogram,
    # so opacity agrees only roughly (measured: mean difference 20 of 255).
    xy, labels = blobs(n=5000, k=4)
    extent = (-20.0, 20.0, -20.0, 20.0)
    palette = np.array([[0.9, 0.1, 0.1], [0.1, 0.6, 0.1], [0.1, 0.1, 0.9], [0.5, 0.5, 0.5]])
    ours = _raster.classes(xy, extent, 120, 90, labels, palette, max_spread=0)
    theirs = _datashade.classes(xy, extent, 120, 90, labels, palette)
    assert np.mean((ours[..., 3] > 0) == (theirs[..., 3] > 0)) > 0.99
    both = (ours[..., 3] > 0) & (theirs[..., 3] > 0)
    assert np.abs(ours[both, :3].astype(int) - theirs[both, :3]).max() <= 2
    assert np.abs(ours[both, 3].astype(int) - theirs[both, 3]).mean() < 32


def test_imports_are_lazy_and_missing_extras_name_their_install():
    code = ("import sys, quelmo, quelmo.plot\n"
            "assert not {'matplotlib', 'datashader'} & set(sys.modules)\n"
            "sys.modules['datashader'] = None\n"
            "for backend in ('datashader', 'auto'):\n"
            "    try:\n"
            "        quelmo.plot.points([[0.0, 1.0]], backend=backend)\n"
            "    except ImportError as exc:\n"
            "        print(exc)\n"
            "    sys.modules['matplotlib'] = None\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.splitlines() == [
        "backend='datashader' needs datashader: pip install 'quelmo[datashader]'",
        "quelmo.plot needs matplotlib: pip install 'quelmo[plot]'"]
