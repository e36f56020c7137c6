// C entry points onto the metric units, for tests that build them on their
// own (for example without SIMD, -DQUELMO_METRIC_NO_SIMD) and compare the
// results with the extension module's bit for bit.
#include <cstdint>
#include <cstdlib>

#include "metric_kernels.h"

namespace {

// A dense set, with its bit rows for the set metrics; bits must be freed.
int dense_set(const metric *m, const float *x, int n, int d, points *s, uint64_t **bits) {
    *s = points{};
    s->n = n;
    s->d = d;
    s->X = x;
    *bits = nullptr;
    if (m->id != METRIC_JACCARD && m->id != METRIC_DICE) return 0;
    s->words = ((int64_t)d + 63) / 64;
    *bits = (uint64_t *)std::malloc((size_t)n * (size_t)s->words * 8 + 8);
    if (!*bits || metric_pack_bits(x, n, d, *bits) != 0) return -1;
    s->bits = *bits;
    return 0;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) int shim_cross(const char *name, double p,
                                                                  const float *x, int nx,
                                                                  const float *y, int ny, int d,
                                                                  float *out) {
    metric m;
    if (metric_resolve(&m, metric_from_name(name), p, 0) != 0) return -1;
    points qs, ps;
    uint64_t *qb, *pb;
    int rc = dense_set(&m, x, nx, d, &qs, &qb) | dense_set(&m, y, ny, d, &ps, &pb);
    if (rc == 0) rc = metric_cross(&m, &qs, &ps, 2, out);
    std::free(pb);
    std::free(qb);
    return rc;
}

extern "C" __attribute__((visibility("default"))) int shim_knn(const char *name, double p,
                                                                const float *x, int n, int d,
                                                                int k, int n_trees, int n_iters,
                                                                int leaf, uint64_t seed,
                                                                int threads, int32_t *idx,
                                                                float *dist) {
    metric m;
    if (metric_resolve(&m, metric_from_name(name), p, 0) != 0) return -1;
    points s;
    uint64_t *bits;
    int rc = dense_set(&m, x, n, d, &s, &bits);
    if (rc == 0) rc = metric_knn(&m, &s, k, n_trees, n_iters, leaf, 0, seed, threads, idx, dist);
    std::free(bits);
    return rc;
}
