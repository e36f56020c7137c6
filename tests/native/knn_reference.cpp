// Plain single-threaded reference of the approximate kNN search, for tests:
// no batching, no skipped candidates, no SIMD.  The tree threads are run one
// after the other, each into its own table, exactly as the threaded kernel
// splits them.  Build with -ffp-contract=off so that only the explicit fmaf
// calls fuse.
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#define EXPORT extern "C" __attribute__((visibility("default")))

EXPORT float ref_sqd(const float *a, const float *b, int d) {
    float A0[4] = {0, 0, 0, 0}, A1[4] = {0, 0, 0, 0};
    int t = 0;
    for (; t + 8 <= d; t += 8)
        for (int l = 0; l < 4; ++l) {
            float x = a[t + l] - b[t + l];
            A0[l] = fmaf(x, x, A0[l]);
            float y = a[t + 4 + l] - b[t + 4 + l];
            A1[l] = fmaf(y, y, A1[l]);
        }
    for (; t + 4 <= d; t += 4)
        for (int l = 0; l < 4; ++l) {
            float x = a[t + l] - b[t + l];
            A0[l] = fmaf(x, x, A0[l]);
        }
    float S0 = A1[0] + A0[0], S1 = A1[1] + A0[1], S2 = A1[2] + A0[2], S3 = A1[3] + A0[3];
    float s = (S0 + S1) + (S2 + S3);
    for (; t < d; ++t) {
        float x = a[t] - b[t];
        float p = x * x;
        s = s + p;
    }
    return s;
}

EXPORT float ref_dotp(const float *a, const float *b, int d) {
    float A0[4] = {0, 0, 0, 0}, A1[4] = {0, 0, 0, 0};
    int t = 0;
    for (; t + 8 <= d; t += 8)
        for (int l = 0; l < 4; ++l) {
            A0[l] = fmaf(a[t + l], b[t + l], A0[l]);
            A1[l] = fmaf(a[t + 4 + l], b[t + 4 + l], A1[l]);
        }
    for (; t + 4 <= d; t += 4)
        for (int l = 0; l < 4; ++l) A0[l] = fmaf(a[t + l], b[t + l], A0[l]);
    float S0 = A1[0] + A0[0], S1 = A1[1] + A0[1], S2 = A1[2] + A0[2], S3 = A1[3] + A0[3];
    float s = (S0 + S1) + (S2 + S3);
    for (; t < d; ++t) {
        float p = a[t] * b[t];
        s = s + p;
    }
    return s;
}

EXPORT int ref_hpush(float *hd, int32_t *hi, uint8_t *hf, int k, int32_t c, float dc) {
    if (dc >= hd[0]) return 0;
    for (int j = 0; j < k; ++j)
        if (hi[j] == c) return 0;
    hd[0] = dc;
    hi[0] = c;
    hf[0] = 1;
    int m = 0;
    while (true) {
        int l = 2 * m + 1, r = 2 * m + 2, p = m;
        if (l < k && hd[l] > hd[p]) p = l;
        if (r < k && hd[r] > hd[p]) p = r;
        if (p == m) break;
        float td = hd[m]; hd[m] = hd[p]; hd[p] = td;
        int32_t ti = hi[m]; hi[m] = hi[p]; hi[p] = ti;
        uint8_t tf = hf[m]; hf[m] = hf[p]; hf[p] = tf;
        m = p;
    }
    return 1;
}

EXPORT uint64_t ref_sm64(uint64_t *s) {
    *s += 0x9E3779B97F4A7C15ULL;
    uint64_t z = *s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

namespace {

struct Tree {
    int n, d, k, leaf;
    const float *X;
    float *hd;
    int32_t *hi;
    uint8_t *hf;
    std::vector<double> pv;
    int64_t leaf_sqd = 0, proj_dotp = 0;
};

void qselect(double *pv, int32_t *idx, int n, int target, uint64_t *rng) {
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        int p = lo + (int)(ref_sm64(rng) % (uint64_t)(hi - lo + 1));
        double pivot = pv[p];
        std::swap(pv[p], pv[lo]);
        std::swap(idx[p], idx[lo]);
        int store = lo;
        for (int i = lo + 1; i <= hi; ++i)
            if (pv[i] < pivot) {
                ++store;
                std::swap(pv[store], pv[i]);
                std::swap(idx[store], idx[i]);
            }
        std::swap(pv[lo], pv[store]);
        std::swap(idx[lo], idx[store]);
        if (store == target) return;
        if (store < target) lo = store + 1; else hi = store - 1;
    }
}

void rp(Tree &c, int32_t *idx, int lo, int hi, uint64_t *rng) {
    int m = hi - lo;
    if (m <= c.leaf) {
        for (int a = lo; a < hi; ++a)
            for (int b = a + 1; b < hi; ++b) {
                int u = idx[a], v = idx[b];
                float dd = ref_sqd(c.X + (int64_t)u * c.d, c.X + (int64_t)v * c.d, c.d);
                c.leaf_sqd += 1;
                ref_hpush(c.hd + (int64_t)u * c.k, c.hi + (int64_t)u * c.k,
                          c.hf + (int64_t)u * c.k, c.k, v, dd);
                ref_hpush(c.hd + (int64_t)v * c.k, c.hi + (int64_t)v * c.k,
                          c.hf + (int64_t)v * c.k, c.k, u, dd);
            }
        return;
    }
    int ia = (int)(ref_sm64(rng) % (uint64_t)m);
    int ib;
    do ib = (int)(ref_sm64(rng) % (uint64_t)m); while (ib == ia);
    std::vector<float> dir(c.d);
    for (int t = 0; t < c.d; ++t)
        dir[t] = c.X[(int64_t)idx[lo + ib] * c.d + t] - c.X[(int64_t)idx[lo + ia] * c.d + t];
    for (int i = 0; i < m; ++i)
        c.pv[i] = (double)ref_dotp(c.X + (int64_t)idx[lo + i] * c.d, dir.data(), c.d);
    c.proj_dotp += m;
    int mid = m / 2;
    qselect(c.pv.data(), idx + lo, m, mid, rng);
    rp(c, idx, lo, lo + mid, rng);
    rp(c, idx, lo + mid, hi, rng);
}

}  // namespace

// threads: the resolved thread count (>= 1).  stop_after_merge: return the
// merged forest table without any descent.  no_stop: ignore the convergence
// threshold and run all max(n_iters, 1) iterations.  iter_upd (may be null, room for
// max(n_iters, 1) entries) receives the insertions of every iteration run;
// the number of iterations run is returned (-1 for invalid sizes).  counts
// (may be null) receives the leaf sqd, projection dotp and descent sqd
// evaluations.
EXPORT int ref_knn(int n, int d, int k, const float *X, int n_trees, int n_iters,
                   int leaf_size, uint64_t seed, int32_t *out_idx, float *out_dist,
                   int threads, int stop_after_merge, int no_stop, int64_t *iter_upd,
                   int64_t *counts) {
    if (n <= 0 || d <= 0 || k <= 0 || k >= n) return -1;
    if (n_trees <= 0) n_trees = 1;
    if (threads <= 0) threads = 1;
    const int64_t nk = (int64_t)n * k;
    int teff = threads < n_trees ? threads : n_trees;
    int leaf = leaf_size > k + 1 ? leaf_size : k + 1;
    std::vector<std::vector<float>> td(teff, std::vector<float>(nk, 1e30f));
    std::vector<std::vector<int32_t>> ti(teff, std::vector<int32_t>(nk, -1));
    std::vector<std::vector<uint8_t>> tf(teff, std::vector<uint8_t>(nk, 1));
    int64_t n_leaf = 0, n_proj = 0, n_desc = 0;
    int t0 = 0;
    for (int e = 0; e < teff; ++e) {
        int count = n_trees / teff + (e < n_trees % teff ? 1 : 0);
        Tree c{n, d, k, leaf, X, td[e].data(), ti[e].data(), tf[e].data(),
               std::vector<double>(n)};
        uint64_t rng = seed ^ ((uint64_t)(e + 1) * 40503ULL);
        std::vector<int32_t> idx(n);
        for (int t = t0; t < t0 + count; ++t) {
            for (int i = 0; i < n; ++i) idx[i] = i;
            for (int i = n - 1; i >= 1; --i) {
                int j = (int)(ref_sm64(&rng) % (uint64_t)(i + 1));
                std::swap(idx[i], idx[j]);
            }
            rp(c, idx.data(), 0, n, &rng);
        }
        n_leaf += c.leaf_sqd;
        n_proj += c.proj_dotp;
        t0 += count;
    }
    std::vector<uint8_t> hf(nk, 1);
    for (int64_t j = 0; j < nk; ++j) {
        out_dist[j] = 1e30f;
        out_idx[j] = -1;
    }
    for (int i = 0; i < n; ++i)
        for (int e = 0; e < teff; ++e)
            for (int j = 0; j < k; ++j) {
                int64_t o = (int64_t)i * k + j;
                if (ti[e][o] >= 0)
                    ref_hpush(out_dist + (int64_t)i * k, out_idx + (int64_t)i * k,
                              hf.data() + (int64_t)i * k, k, ti[e][o], td[e][o]);
            }
    if (counts) {
        counts[0] = n_leaf;
        counts[1] = n_proj;
        counts[2] = 0;
    }
    if (stop_after_merge) return 0;

    std::vector<int32_t> sh(nk), revn(nk);
    std::vector<uint8_t> sf(nk);
    std::vector<int> rcn(n);
    int iters = n_iters > 1 ? n_iters : 1;
    int64_t threshold = (int64_t)(((double)n * (double)k) * 0.0002);
    int run = 0;
    for (int it = 0; it < iters; ++it) {
        memcpy(sh.data(), out_idx, nk * sizeof(int32_t));
        sf = hf;
        for (auto &f : hf) f = 0;
        for (auto &r : rcn) r = 0;
        for (int j = 0; j < n; ++j)
            for (int l = 0; l < k; ++l) {
                int64_t o = (int64_t)j * k + l;
                int v = sh[o];
                if (sf[o] && v >= 0 && v < n && rcn[v] < k) revn[(int64_t)v * k + rcn[v]++] = j;
            }
        int64_t upd = 0;
        for (int i = 0; i < n; ++i) {
            float *rd = out_dist + (int64_t)i * k;
            int32_t *ri = out_idx + (int64_t)i * k;
            uint8_t *rf = hf.data() + (int64_t)i * k;
            const float *x = X + (int64_t)i * d;
            for (int a = 0; a < k; ++a) {
                int j = sh[(int64_t)i * k + a];
                if (!sf[(int64_t)i * k + a] || j < 0 || j >= n) continue;
                for (int b = 0; b < k; ++b) {
                    int c = sh[(int64_t)j * k + b];
                    if (c < 0 || c >= n || c == i) continue;
                    ++n_desc;
                    upd += ref_hpush(rd, ri, rf, k, c, ref_sqd(x, X + (int64_t)c * d, d));
                }
            }
            for (int a = 0; a < rcn[i]; ++a) {
                int c = revn[(int64_t)i * k + a];
                if (c < 0 || c >= n || c == i) continue;
                ++n_desc;
                upd += ref_hpush(rd, ri, rf, k, c, ref_sqd(x, X + (int64_t)c * d, d));
            }
        }
        if (iter_upd) iter_upd[it] = upd;
        ++run;
        if (!no_stop && upd < threshold) break;
    }
    if (counts) counts[2] = n_desc;
    return run;
}
