"""Fuzzy graph kernels: bandwidth search, membership strengths and fuzzy
union, through ctypes on the exported symbols and through the module."""

from __future__ import annotations

import ctypes
import math

import numpy as np
import pytest

from conftest import ptr
from quelmo import _native_quelmo as native

F = np.float32
libm = ctypes.CDLL("libm.so.6")
libm.expf.argtypes = [ctypes.c_float]
libm.expf.restype = ctypes.c_float


@pytest.fixture(scope="module")
def kernels(native_lib):
    P, I, F = ctypes.c_void_p, ctypes.c_int, ctypes.c_float
    smooth = native_lib.vorlix_umap_smooth_knn_dist_f32
    smooth.argtypes = [I, I, P, F, I, F, F, P, P]
    smooth.restype = None
    member = native_lib.vorlix_umap_membership_strengths_f32
    member.argtypes = [I, I, P, P, P, P, I, I, P, P, P, P]
    member.restype = None
    sym = native_lib.vorlix_umap_symmetrize_fuzzy_graph_f32
    sym.argtypes = [I, I, P, P, P, F, P, P, P]
    sym.restype = None
    return smooth, member, sym


def smooth(kernels, dists, k=None, n_iter=64, local_connectivity=1.0, bandwidth=1.0):
    dists = np.ascontiguousarray(dists, dtype=np.float32)
    n, m = dists.shape
    sigmas = np.full(n, -7.0, np.float32)
    rhos = np.full(n, -7.0, np.float32)
    kernels[0](n, m, ptr(dists), float(m if k is None else k), n_iter, local_connectivity,
               bandwidth, ptr(sigmas), ptr(rhos))
    return sigmas, rhos


def membership(kernels, idx, dists, sigmas, rhos, return_dists=0, bipartite=0, with_dists=True):
    idx = np.ascontiguousarray(idx, dtype=np.int32)
    dists = np.ascontiguousarray(dists, dtype=np.float32)
    sigmas = np.ascontiguousarray(sigmas, dtype=np.float32)
    rhos = np.ascontiguousarray(rhos, dtype=np.float32)
    n, m = idx.shape
    rows = np.full(n * m, 9, np.int32)
    cols = np.full(n * m, 9, np.int32)
    vals = np.full(n * m, 9.0, np.float32)
    out_d = np.full(n * m, 9.0, np.float32)
    kernels[1](n, m, ptr(idx), ptr(dists), ptr(sigmas), ptr(rhos), return_dists, bipartite,
               ptr(rows), ptr(cols), ptr(vals), ptr(out_d) if with_dists else None)
    return rows, cols, vals, out_d


def symmetrize(kernels, rows, cols, vals, n, m, ratio=1.0):
    out_r = np.full(2 * n * m, 9, np.int32)
    out_c = np.full(2 * n * m, 9, np.int32)
    out_v = np.full(2 * n * m, 9.0, np.float32)
    rows = np.ascontiguousarray(rows, np.int32)
    cols = np.ascontiguousarray(cols, np.int32)
    vals = np.ascontiguousarray(vals, np.float32)
    kernels[2](n, m, ptr(rows), ptr(cols), ptr(vals), ratio, ptr(out_r), ptr(out_c), ptr(out_v))
    return out_r, out_c, out_v


# ---------------------------------------------------------------------------
# Plain references: one float32 operation at a time, libm's expf and exp.

def ref_smooth(dists, k, n_iter=64, local_connectivity=1.0, bandwidth=1.0):
    dists = np.asarray(dists, np.float32)
    n, m = dists.shape
    mean = F(sum(float(v) for v in dists.ravel()) / (n * m))
    target = float(F(bandwidth)) * math.log2(float(F(k)))
    lc = F(local_connectivity)
    lc_index = math.floor(lc)
    lc_interp = F(lc - F(lc_index))
    sigmas, rhos = [], []
    for row in dists:
        positive = [v for v in row if v > F(0)]
        if lc <= F(len(positive)):
            if lc_index > 0:
                rho = positive[lc_index - 1]
                if lc_interp > F(1e-5) and len(positive) > lc_index:
                    rho = F(rho + F(lc_interp * F(positive[lc_index] - rho)))
            else:
                rho = F(lc_interp * positive[0]) if positive else F(0)
        else:
            rho = max(positive) if positive else F(0)
        lo, hi, mid = F(0), F(np.inf), F(1)
        for _ in range(n_iter):
            psum = F(0)
            for v in row[1:]:
                t = F(v - rho)
                psum = F(psum + (F(libm.expf(float(-F(t / mid)))) if t > F(0) else F(1)))
            if abs(float(psum) - target) < float(F(1e-5)):
                break
            if float(psum) > target:
                hi = mid
                mid = F(F(lo + hi) / F(2))
            else:
                lo = mid
                mid = F(mid * F(2)) if np.isinf(hi) else F(F(lo + hi) / F(2))
        sigma = mid
        if rho > F(0):
            floor = F(F(sum(float(v) for v in row) / m) * F(1e-3))
        else:
            floor = F(mean * F(1e-3))
        sigmas.append(max(sigma, floor) if floor > sigma else sigma)
        rhos.append(rho)
    return np.array(sigmas, np.float32), np.array(rhos, np.float32)


def ref_membership(idx, dists, sigmas, rhos):
    n, m = idx.shape
    rows, cols, vals = (np.zeros(n * m, np.int32), np.zeros(n * m, np.int32),
                        np.zeros(n * m, np.float32))
    for i in range(n):
        for j in range(m):
            off, col = i * m + j, int(idx[i, j])
            if col == -1:
                continue
            if col == i:
                val = F(0)
            else:
                t = F(F(dists[i, j]) - F(rhos[i]))
                if t <= F(0) or sigmas[i] == F(0):
                    val = F(1)
                else:
                    val = F(math.exp(float(-F(t / F(sigmas[i])))))
            rows[off], cols[off], vals[off] = i, col, val
    return rows, cols, vals


def ref_symmetrize(rows, cols, vals, n, m, ratio=1.0):
    ratio = F(ratio)
    out = np.zeros((2 * n * m, 3), np.float64)
    out_v = np.zeros(2 * n * m, np.float32)
    for off in range(n * m):
        i = off // m
        a, col = F(vals[off]), int(cols[off])
        if a <= F(0) or not 0 <= col < n or col == i or rows[off] != i:
            continue
        b = F(0)
        for off2 in range(col * m, col * m + m):
            if rows[off2] == col and cols[off2] == i and vals[off2] > F(0):
                b = F(vals[off2])
                break
        prod = F(a * b)
        sym = F(F(F(F(a + b) - prod) * ratio) + F(F(F(1) - ratio) * prod))
        if sym <= F(0):
            continue
        out[2 * off, :2] = i, col
        out_v[2 * off] = sym
        if b == F(0):
            out[2 * off + 1, :2] = col, i
            out_v[2 * off + 1] = sym
    return out[:, 0].astype(np.int32), out[:, 1].astype(np.int32), out_v


def random_knn(rng, n, m, empty_fraction=0.1):
    """A kNN-like table: self in column 0, random other ids, sorted distances,
    some empty slots (-1) and duplicate distances."""
    idx = np.empty((n, m), np.int32)
    dists = np.empty((n, m), np.float32)
    for i in range(n):
        others = rng.choice(np.delete(np.arange(n), i), size=m - 1, replace=False)
        idx[i] = np.concatenate([[i], others])
        d = np.sort(rng.gamma(2.0, 1.0, size=m - 1).astype(np.float32))
        if rng.random() < 0.3:
            d[1] = d[0]
        dists[i] = np.concatenate([[0.0], d])
    idx[rng.random((n, m)) < empty_fraction] = -1
    return idx, dists


# ---------------------------------------------------------------------------

class TestSmoothKnnDist:
    # Expected values are the worked examples that define the search.
    def test_single_row(self, kernels):
        sigmas, rhos = smooth(kernels, [[0, 0.5, 1.0, 1.5]])
        assert rhos[0] == F(0.5)
        assert sigmas[0] == pytest.approx(1.03903, abs=1e-5)

    def test_row_without_positive_entries_takes_global_floor(self, kernels):
        sigmas, rhos = smooth(kernels, [[0, 0, 0, 0], [0, 1, 2, 3]])
        assert list(rhos) == [0.0, 1.0]
        assert sigmas[0] == F(F(0.75) * F(1e-3))
        assert sigmas[1] == pytest.approx(2.07806, abs=1e-5)

    def test_all_zero_table_halves_64_times(self, kernels):
        sigmas, rhos = smooth(kernels, np.zeros((3, 4)))
        assert (rhos == 0).all() and (sigmas == F(2.0**-64)).all()

    def test_unreachable_target_doubles(self, kernels):
        sigmas, _ = smooth(kernels, [[0, 0.5, 1.0, 1.5]], bandwidth=8.0)
        assert sigmas[0] == F(2.0**64)
        sigmas, _ = smooth(kernels, [[0, 0.5, 1.0, 1.5]], bandwidth=8.0, n_iter=5)
        assert sigmas[0] == F(32)

    def test_single_column_stops_at_first_test(self, kernels):
        sigmas, rhos = smooth(kernels, [[0.0], [2.0]], k=1)
        assert list(sigmas) == [1.0, 1.0] and list(rhos) == [0.0, 2.0]

    @pytest.mark.parametrize(
        "row, lc, rho",
        [
            ([0, 0.5, 1.0, 1.5], 1.5, 0.75),
            ([0, 0, 0, 2.5], 1.5, 2.5),
            ([0, 0.5, 1.0, 1.5], 0.5, 0.25),
            ([0, 0.5, 1.0, 1.5], 1.000001, 0.5),
            ([0, 0, 3.0, 0], 2.0, 3.0),
            ([0, 3.0, 1.0], 1.0, 3.0),
            ([1.5, 2.0, 2.5], 1.0, 1.5),
        ],
    )
    def test_rho_rules(self, kernels, row, lc, rho):
        _, rhos = smooth(kernels, [row], local_connectivity=lc)
        assert rhos[0] == F(rho)

    def test_positive_first_column_counts_for_rho_but_not_the_sum(self, kernels):
        # With rho = 1.5 from column 0, the sum over columns 1.. is the same
        # as for a row whose first column is 0 and rho is set by column 1.
        sigmas_a, rhos_a = smooth(kernels, [[1.5, 2.0, 2.5, 4.0]])
        assert rhos_a[0] == F(1.5)
        ref_s, _ = ref_smooth([[1.5, 2.0, 2.5, 4.0]], 4)
        assert sigmas_a[0] == ref_s[0]

    @pytest.mark.parametrize("bad", [dict(k=0.0), dict(k=-1.0), dict(n_iter=0)])
    def test_invalid_arguments_write_nothing(self, kernels, bad):
        sigmas, rhos = smooth(kernels, [[0, 1, 2]], **bad)
        assert sigmas[0] == -7 and rhos[0] == -7

    def test_null_outputs_write_nothing(self, kernels):
        d = np.ones((2, 3), np.float32)
        rhos = np.full(2, -7.0, np.float32)
        kernels[0](2, 3, ptr(d), 3.0, 64, 1.0, 1.0, None, ptr(rhos))
        assert (rhos == -7).all()

    @pytest.mark.parametrize("seed", range(4))
    @pytest.mark.parametrize("lc", [1.0, 1.5, 0.5, 2.0])
    def test_matches_plain_reference(self, kernels, seed, lc):
        rng = np.random.default_rng(seed)
        idx, dists = random_knn(rng, 25, 7)
        dists[rng.random(dists.shape) < 0.05] = 0.0
        for n_iter in (64, 3):
            got = smooth(kernels, dists, n_iter=n_iter, local_connectivity=lc)
            ref = ref_smooth(dists, 7, n_iter=n_iter, local_connectivity=lc)
            np.testing.assert_array_equal(got[0].view(np.uint32), ref[0].view(np.uint32))
            np.testing.assert_array_equal(got[1].view(np.uint32), ref[1].view(np.uint32))


class TestMembership:
    def test_strengths(self, kernels):
        # exp(-(d - rho) / sigma) with rho = 1, sigma = 2.
        rows, cols, vals, _ = membership(kernels, [[1, 2, 3, 4, 0]], [[2, 3, 1, 0.5, 1]],
                                         [2], [1])
        assert list(cols) == [1, 2, 3, 4, 0]
        assert vals[0] == F(math.exp(-0.5)) and vals[1] == F(math.exp(-1))
        assert vals[2] == 1.0 and vals[3] == 1.0
        assert vals[4] == 0.0  # self entry of row 0

    def test_sigma_zero_gives_one(self, kernels):
        _, _, vals, _ = membership(kernels, [[1, 2]], [[5, 7]], [0], [1])
        assert list(vals) == [1.0, 1.0]

    def test_empty_slot_and_dists(self, kernels):
        rows, cols, vals, d = membership(kernels, [[1, -1]], [[3, 4]], [1], [0],
                                         return_dists=1)
        assert (rows[1], cols[1], vals[1], d[1]) == (0, 0, 0.0, 0.0)
        assert d[0] == 3.0

    def test_bipartite_keeps_self_entries(self, kernels):
        _, _, vals, _ = membership(kernels, [[0, 1]], [[0, 1]], [1], [1], bipartite=1)
        assert vals[0] == 1.0

    def test_return_dists_without_array_writes_nothing(self, kernels):
        rows, _, vals, _ = membership(kernels, [[1]], [[1]], [1], [0], return_dists=1,
                                      with_dists=False)
        assert rows[0] == 9 and vals[0] == 9
        rows, _, vals, _ = membership(kernels, [[1]], [[1]], [1], [0], with_dists=False)
        assert rows[0] == 0 and vals[0] == F(math.exp(-1))

    @pytest.mark.parametrize("seed", range(3))
    def test_matches_plain_reference(self, kernels, seed):
        rng = np.random.default_rng(100 + seed)
        idx, dists = random_knn(rng, 30, 6)
        sigmas, rhos = smooth(kernels, dists)
        sigmas[3] = 0.0
        got = membership(kernels, idx, dists, sigmas, rhos)[:3]
        ref = ref_membership(idx, dists, sigmas, rhos)
        for g, r in zip(got, ref):
            np.testing.assert_array_equal(g.view(np.uint32), r.view(np.uint32))


class TestSymmetrize:
    @staticmethod
    def pair(a_to_b, b_to_a, ratio):
        # Two points, one entry each (n_neighbors = 1).
        rows = [0, 1] if b_to_a is not None else [0, 0]
        cols = [1, 0] if b_to_a is not None else [1, 0]
        vals = [a_to_b, b_to_a if b_to_a is not None else 0.0]
        return rows, cols, vals, ratio

    @pytest.mark.parametrize(
        "ratio, mutual, lone",
        [(1.0, 0.75, 0.5), (0.0, 0.25, None), (0.7, None, 0.35)],
    )
    def test_union_and_intersection(self, kernels, ratio, mutual, lone):
        if mutual is not None:
            r, c, v = symmetrize(kernels, [0, 1], [1, 0], [0.5, 0.5], 2, 1, ratio)
            assert list(r) == [0, 0, 1, 0] and list(c) == [1, 0, 0, 0]
            assert v[0] == F(mutual) and v[2] == F(mutual) and v[1] == v[3] == 0
        r, c, v = symmetrize(kernels, [0, 0], [1, 0], [0.5, 0.0], 2, 1, ratio)
        if lone is None:
            assert not v.any() and not r.any() and not c.any()
        else:
            assert (list(r[:2]), list(c[:2])) == ([0, 1], [1, 0])
            want = F(F(F(F(0.5) + F(0)) - F(0)) * F(ratio)) + F(F(F(1) - F(ratio)) * F(0))
            assert v[0] == v[1] == want
            assert v[0] == pytest.approx(lone)

    def test_zero_reverse_counts_as_absent(self, kernels):
        r, c, v = symmetrize(kernels, [0, 1], [1, 0], [0.5, 0.0], 2, 1)
        assert list(r) == [0, 1, 0, 0] and list(c) == [1, 0, 0, 0]
        assert v[0] == v[1] == F(0.5)

    @pytest.mark.parametrize("bad_col", [2, -2, 0])
    def test_out_of_range_and_self_entries_dropped(self, kernels, bad_col):
        r, c, v = symmetrize(kernels, [0, 1], [bad_col, 0], [0.5, 0.0], 2, 1)
        assert not r[:2].any() and not c[:2].any() and not v[:2].any()

    def test_every_slot_overwritten(self, kernels):
        # The helper fills outputs with 9 before the call.
        r, c, v = symmetrize(kernels, [0, 0, 1, 1], [0, 0, 0, 0], [0, 0, 0, 0], 2, 2)
        assert not r.any() and not c.any() and not v.any()

    def test_repeated_neighbour(self, kernels):
        r, c, v = symmetrize(kernels, [0, 0, 1, 1], [1, 1, 0, 0], [0.5, 0.25, 0.5, 0], 2, 2)
        # Row 0 lists 1 twice: two triplets for 0 -> 1, each against the first
        # qualifying reverse entry (0.5).
        assert list(v[[0, 2]]) == [F(0.75), F(0.25) + F(0.5) - F(0.125)]

    @pytest.mark.parametrize("ratio", [1.0, 0.0, 0.3])
    def test_matches_plain_reference(self, kernels, ratio):
        rng = np.random.default_rng(7)
        idx, dists = random_knn(rng, 40, 5)
        idx[2, 3] = 40  # out of range: dropped
        idx[5, 2] = -5  # negative other than -1: dropped
        sigmas, rhos = smooth(kernels, dists)
        rows, cols, vals = membership(kernels, idx, dists, sigmas, rhos)[:3]
        got = symmetrize(kernels, rows, cols, vals, 40, 5, ratio)
        ref = ref_symmetrize(rows, cols, vals, 40, 5, ratio)
        for g, r in zip(got, ref):
            np.testing.assert_array_equal(g.view(np.uint32), r.view(np.uint32))


class TestGraphMethod:
    def run(self, idx, dists):
        n, m = idx.shape
        out = [np.full(2 * n * m, 3, np.int32), np.full(2 * n * m, 3, np.int32),
               np.full(2 * n * m, 3.0, np.float32)]
        native.umap_graph_f32(idx, dists, *out, n, m)
        return out

    def test_equals_the_three_kernels_in_sequence(self, kernels):
        rng = np.random.default_rng(11)
        idx, dists = random_knn(rng, 60, 8)
        got = self.run(idx, dists)
        sigmas, rhos = smooth(kernels, dists, k=8)
        rows, cols, vals = membership(kernels, idx, dists, sigmas, rhos)[:3]
        want = symmetrize(kernels, rows, cols, vals, 60, 8)
        for g, w in zip(got, want):
            np.testing.assert_array_equal(g.view(np.uint32), w.view(np.uint32))

    def test_graph_is_symmetric_without_self_loops(self):
        rng = np.random.default_rng(12)
        idx, dists = random_knn(rng, 80, 6)
        rows, cols, vals = self.run(idx, dists)
        keep = vals > 0
        edges = {}
        for r, c, v in zip(rows[keep], cols[keep], vals[keep]):
            assert r != c and 0 < v <= 1
            assert (r, c) not in edges  # one triplet per direction
            edges[(r, c)] = v
        for (r, c), v in edges.items():
            assert edges[(c, r)] == v

    def test_repeats_bit_for_bit(self):
        rng = np.random.default_rng(13)
        idx, dists = random_knn(rng, 50, 5)
        a, b = self.run(idx, dists), self.run(idx, dists)
        for x, y in zip(a, b):
            np.testing.assert_array_equal(x.view(np.uint32), y.view(np.uint32))
