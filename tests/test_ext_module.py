"""The second extension module: its surface, its argument checks, and the
fuzzy graph with options against the first module's graph."""

from __future__ import annotations

import inspect
import shutil
import subprocess

import numpy as np
import pytest

from quelmo import _native_ext, _native_quelmo
from quelmo._neighbors import dense_knn, search_knn

KERNELS = {"vorlix_knn_descent_f32", "vorlix_umap_smooth_knn_dist_f32",
           "vorlix_umap_membership_strengths_f32", "vorlix_umap_symmetrize_fuzzy_graph_f32",
           "vorlix_umap_optimize_layout_euclidean_f32",
           "vorlix_umap_optimize_layout_euclidean_f32_parallel"}


def _exported(path: str) -> set[str]:
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", path], check=True, capture_output=True,
                         text=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.split()[1:2] == ["T"]}


def test_exported_symbols():
    assert _exported(_native_quelmo.__file__) == KERNELS | {"PyInit__native_quelmo"}
    assert _exported(_native_ext.__file__) == {"PyInit__native_ext"}


def test_signatures_are_introspectable():
    params = list(inspect.signature(_native_ext.fuzzy_graph_f32).parameters)
    assert params[:2] == ["idx", "dist"] and params[-1] == "set_op_mix_ratio"


@pytest.fixture(scope="module")
def knn() -> tuple[np.ndarray, np.ndarray]:
    data = np.random.default_rng(3).normal(size=(600, 8)).astype(np.float32)
    idx, squared = search_knn(data, 9, n_trees=4, n_iters=5, leaf_size=30, seed=7, n_threads=2)
    return dense_knn(idx, squared)


def _graph(function, knn, *options):
    idx, dist = knn
    n, m = idx.shape
    out = [np.full(2 * n * m, 7, np.int32), np.full(2 * n * m, 7, np.int32),
           np.full(2 * n * m, 7.0, np.float32)]
    function(idx, dist, *out, n, m, *options)
    return out


def test_default_options_equal_the_first_module_bit_for_bit(knn):
    ours = _graph(_native_ext.fuzzy_graph_f32, knn, 1.0, 1.0)
    theirs = _graph(_native_quelmo.umap_graph_f32, knn)
    for a, b in zip(ours, theirs):
        assert a.tobytes() == b.tobytes()


def test_options_reach_the_kernels(knn):
    union = _graph(_native_ext.fuzzy_graph_f32, knn, 1.0, 1.0)[2]
    intersection = _graph(_native_ext.fuzzy_graph_f32, knn, 1.0, 0.0)[2]
    # An intersection keeps only mutual edges, each weighted a*b <= a+b-ab.
    assert 0 < np.count_nonzero(intersection) < np.count_nonzero(union)
    wider = _graph(_native_ext.fuzzy_graph_f32, knn, 2.0, 1.0)[2]
    # rho reaches the second neighbour: twice as many entries at full strength.
    assert np.count_nonzero(wider == 1.0) > 1.5 * np.count_nonzero(union == 1.0)


@pytest.mark.parametrize("position, value, error", [
    (5, 0, ValueError), (6, 2**31, ValueError), (5, 1.5, TypeError), (6, True, TypeError),
    (7, float("nan"), ValueError), (8, float("inf"), ValueError), (7, -1.0, ValueError),
    (8, 1.5, ValueError), (8, "x", TypeError), (2, np.zeros(3, np.int32), ValueError),
    (0, np.zeros(10, np.float64), ValueError),
])
def test_bad_arguments_raise(position, value, error):
    n, m = 2, 5
    args = [np.zeros(n * m, np.int32), np.zeros(n * m, np.float32),
            np.zeros(2 * n * m, np.int32), np.zeros(2 * n * m, np.int32),
            np.zeros(2 * n * m, np.float32), n, m, 1.0, 1.0]
    args[position] = value
    with pytest.raises(error):
        _native_ext.fuzzy_graph_f32(*args)
    with pytest.raises(TypeError):
        _native_ext.fuzzy_graph_f32(*args[:-1])


def test_overlapping_outputs_are_refused():
    buf = np.zeros(40, np.float32)
    with pytest.raises(ValueError, match="overlap"):
        _native_ext.fuzzy_graph_f32(np.zeros(10, np.int32), np.zeros(10, np.float32),
                                    buf.view(np.int32)[:20], buf.view(np.int32)[20:],
                                    buf[:20], 2, 5, 1.0, 1.0)


class TestSmoothKnnDist:
    def test_matches_plain_reference(self):
        from test_graph import ref_smooth

        rng = np.random.default_rng(5)
        dist = np.sort(rng.random((30, 6), dtype=np.float32), axis=1)
        dist[:, 0] = 0.0
        for lc in (1.0, 1.5, 0.5):
            sigmas, rhos = np.full(30, 7.0, np.float32), np.full(30, 7.0, np.float32)
            _native_ext.smooth_knn_dist_f32(dist, sigmas, rhos, 30, 6, lc)
            want_sigmas, want_rhos = ref_smooth(dist, 6, local_connectivity=lc)
            assert sigmas.tobytes() == want_sigmas.tobytes()
            assert rhos.tobytes() == want_rhos.tobytes()

    @pytest.mark.parametrize("position, value, error", [
        (3, 0, ValueError), (5, -0.5, ValueError), (5, float("nan"), ValueError),
        (1, np.zeros(1, np.float32), ValueError), (0, np.zeros(10, np.float64), ValueError),
    ])
    def test_bad_arguments_raise(self, position, value, error):
        args = [np.zeros(10, np.float32), np.zeros(2, np.float32), np.zeros(2, np.float32),
                2, 5, 1.0]
        args[position] = value
        with pytest.raises(error):
            _native_ext.smooth_knn_dist_f32(*args)

    def test_overlapping_outputs_are_refused(self):
        dist = np.zeros(10, np.float32)
        with pytest.raises(ValueError, match="overlap"):
            _native_ext.smooth_knn_dist_f32(dist, dist[:2], dist[2:4], 2, 5, 1.0)
        out = np.zeros(3, np.float32)
        with pytest.raises(ValueError, match="overlap"):
            _native_ext.smooth_knn_dist_f32(dist, out[:2], out[1:], 2, 5, 1.0)
