// Positions of new points on a fitted embedding, one point at a time.
//
// The per-pair arithmetic is the fit's: the distance, the two gradient
// coefficients, the clip, the per-edge random stream and the negative-sample
// count are the primitives of umap_layout_internal.h, and the schedule
// (periods of 1 / strength epochs, negative samples every period / rate,
// a learning rate decaying linearly per epoch) is the serial optimiser's.
// What differs is what moves: only the new point; its neighbours and the
// negative samples are fitted points and stay where they are.

#include "transform_layout.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ext_parallel.h"
#include "quelmo_kernels.h"
#include "umap_layout_internal.h"

namespace {

struct layout_job {
    ext_fitted fit;
    const float *Q;
    int d;
    const int32_t *knn_idx;
    const float *knn_sqdist;
    int k;
    const float *E;
    int64_t n;
    int dim;
    ext_layout_params p;
    float *out;
};

// Scratch of one worker, sized by k and dim.
struct point_scratch {
    float *row;      // k + 1: the point itself at 0, then its neighbour distances
    float *vals;     // k membership strengths
    int32_t *mrows;  // k, required by the membership kernel, unused
    int32_t *mcols;  // k, likewise
    int32_t *tail;   // edges: neighbour ids
    float *eps;      // edges: epochs per sample
    double *eons, *eonn, *epn;
    double *acc;     // dim
};

void free_scratch(point_scratch *s) {
    std::free(s->acc);
    std::free(s->epn);
    std::free(s->eonn);
    std::free(s->eons);
    std::free(s->eps);
    std::free(s->tail);
    std::free(s->mcols);
    std::free(s->mrows);
    std::free(s->vals);
    std::free(s->row);
}

int alloc_scratch(point_scratch *s, int k, int dim) {
    const size_t kk = (size_t)k;
    s->row = (float *)std::malloc((kk + 1) * sizeof(float));
    s->vals = (float *)std::malloc(kk * sizeof(float));
    s->mrows = (int32_t *)std::malloc(kk * sizeof(int32_t));
    s->mcols = (int32_t *)std::malloc(kk * sizeof(int32_t));
    s->tail = (int32_t *)std::malloc(kk * sizeof(int32_t));
    s->eps = (float *)std::malloc(kk * sizeof(float));
    s->eons = (double *)std::malloc(kk * sizeof(double));
    s->eonn = (double *)std::malloc(kk * sizeof(double));
    s->epn = (double *)std::malloc(kk * sizeof(double));
    s->acc = (double *)std::malloc((size_t)dim * sizeof(double));
    if (s->row && s->vals && s->mrows && s->mcols && s->tail && s->eps && s->eons && s->eonn &&
        s->epn && s->acc)
        return 0;
    free_scratch(s);
    return -1;
}

// Membership strengths of the first kv neighbours into s->vals, with the
// fit's rules: the row holds the point itself at distance 0 and then its
// neighbours, which sets rho to the first positive distance and leaves the
// self entry out of the bandwidth search, exactly as a fitted point's row.
// The neighbours are training points, not the point itself, so no entry is
// a self-loop: the membership kernel is told so (bipartite).
void memberships(const layout_job *job, point_scratch *s, const int32_t *ids,
                 const float *sq, int kv) {
    s->row[0] = 0.0f;
    for (int j = 0; j < kv; ++j) s->row[j + 1] = std::sqrt(sq[j]);
    float sigma = 0.0f, rho = 0.0f;
    vorlix_umap_smooth_knn_dist_f32(1, kv + 1, s->row, (float)(kv + 1), 64,
                                    job->p.local_connectivity, 1.0f, &sigma, &rho);
    vorlix_umap_membership_strengths_f32(1, kv, ids, s->row + 1, &sigma, &rho, 0, 1, s->mrows,
                                         s->mcols, s->vals, nullptr);
}

// The strength-weighted mean of the neighbours' positions, summed in double
// in neighbour order.
void initial_position(const layout_job *job, point_scratch *s, const int32_t *ids, int kv,
                      float *cur) {
    const int dim = job->dim;
    double wsum = 0.0;
    for (int c = 0; c < dim; ++c) s->acc[c] = 0.0;
    for (int j = 0; j < kv; ++j) {
        const double w = (double)s->vals[j];
        if (!(w > 0.0)) continue;
        const float *e = job->E + (int64_t)ids[j] * dim;
        for (int c = 0; c < dim; ++c) s->acc[c] += w * (double)e[c];
        wsum += w;
    }
    for (int c = 0; c < dim; ++c) cur[c] = wsum > 0.0 ? (float)(s->acc[c] / wsum) : 0.0f;
}

// SGD of the point at `at` over its edges, the training embedding fixed.
// DIM > 0 fixes the dimension at compile time and keeps the point in
// registers (it cannot alias the embedding then); 0 takes job->dim.  The
// arithmetic is the same either way.
template <int DIM>
void optimise(const layout_job *job, point_scratch *s, int n_edges, uint64_t seed, float *at) {
    const ext_layout_params &p = job->p;
    const int dim = DIM > 0 ? DIM : job->dim;
    const uint32_t n_vertices = (uint32_t)job->n;
    // The remainder by a division-free multiply: the same value as %.
    const uint64_t mod_magic = vorlix_umap_fastmod_magic(n_vertices);
    float held[DIM > 0 ? DIM : 1];
    float *cur = at;
    if (DIM > 0) {
        for (int c = 0; c < DIM; ++c) held[c] = at[c];
        cur = held;
    }
    for (int i = 0; i < n_edges; ++i) {
        const double eps = (double)s->eps[i];
        s->epn[i] = eps / (double)p.negative_sample_rate;
        s->eons[i] = eps;
        s->eonn[i] = s->epn[i];
    }
    float alpha = p.learning_rate;
    for (int n = 0; n < p.n_epochs; ++n) {
        for (int i = 0; i < n_edges; ++i) {
            if (s->eons[i] > (double)n) continue;
            s->eons[i] = s->eons[i] + (double)s->eps[i];
            const int n_neg = vorlix_umap_negative_count(n, s->eonn[i], s->epn[i]);
            if (n_neg > 0) s->eonn[i] = s->eonn[i] + (double)n_neg * s->epn[i];

            const float *oth = job->E + (int64_t)s->tail[i] * dim;
            const float d2 = vorlix_umap_rdist(cur, oth, dim);
            const float gc = vorlix_umap_attractive_coeff(d2, p.a, p.b);
            for (int c = 0; c < dim; ++c) {
                const float grad = vorlix_umap_clip((cur[c] - oth[c]) * gc);
                cur[c] = cur[c] + grad * alpha;
            }
            if (n_neg <= 0) continue;
            uint32_t rng[3];
            vorlix_umap_seed_rng(seed, i, n, rng);
            for (int q = 0; q < n_neg; ++q) {
                const uint32_t k2 =
                    vorlix_umap_fastmod(vorlix_umap_tau_rand(rng), mod_magic, n_vertices);
                const float *oth2 = job->E + (int64_t)k2 * dim;
                const float dd2 = vorlix_umap_rdist(cur, oth2, dim);
                const float gcn =
                    dd2 > 0.0f ? vorlix_umap_repulsive_coeff(dd2, p.a, p.b, p.gamma) : 0.0f;
                for (int c = 0; c < dim; ++c) {
                    const float grad =
                        gcn > 0.0f ? vorlix_umap_clip(gcn * (cur[c] - oth2[c])) : 0.0f;
                    cur[c] = cur[c] + grad * alpha;
                }
            }
        }
        alpha = (1.0f - (float)n / (float)p.n_epochs) * p.learning_rate;
    }
    if (DIM > 0)
        for (int c = 0; c < DIM; ++c) at[c] = held[c];
}

// The first training point (by id) whose values are x's bit for bit, or -1.
int64_t training_twin(const ext_fitted *fit, const float *x, uint64_t h) {
    const uint64_t *lo = std::lower_bound(fit->hash_sorted, fit->hash_sorted + fit->n, h);
    const size_t bytes = (size_t)fit->d * sizeof(float);
    for (int64_t r = lo - fit->hash_sorted; r < fit->n && fit->hash_sorted[r] == h; ++r) {
        const int64_t id = fit->hash_order[r];
        if (id < 0 || id >= fit->n) continue;
        if (std::memcmp(fit->X + id * fit->d, x, bytes) == 0) return id;
    }
    return -1;
}

void place_point(const layout_job *job, point_scratch *s, int64_t qi) {
    const int32_t *ids = job->knn_idx + qi * job->k;
    const float *sq = job->knn_sqdist + qi * job->k;
    const float *x = job->Q + qi * job->d;
    float *cur = job->out + qi * job->dim;
    const uint64_t h = ext_row_hash(x, job->d);
    const int64_t twin = training_twin(&job->fit, x, h);
    if (twin >= 0) {
        std::memcpy(cur, job->E + twin * job->dim, (size_t)job->dim * sizeof(float));
        return;
    }
    // Rows are sorted, so the valid neighbours come first; an id outside
    // the training points ends them as an empty slot would.
    int kv = 0;
    while (kv < job->k && ids[kv] >= 0 && ids[kv] < job->n) ++kv;
    if (kv == 0) {
        for (int c = 0; c < job->dim; ++c) cur[c] = 0.0f;
        return;
    }
    memberships(job, s, ids, sq, kv);
    initial_position(job, s, ids, kv, cur);

    // Edges sampled less than once in the whole run are left out, as in the
    // fit; the largest strength is 1 (the nearest neighbour's), so the
    // threshold and the periods do not depend on any other point.
    const float keep = 1.0f / (float)job->p.n_epochs;
    int n_edges = 0;
    for (int j = 0; j < kv; ++j) {
        const float w = s->vals[j];
        if (!(w > 0.0f) || w < keep) continue;
        s->tail[n_edges] = ids[j];
        s->eps[n_edges] = 1.0f / w;
        ++n_edges;
    }
    const uint64_t seed = vorlix_umap_splitmix64(job->p.seed ^ h);
    if (job->dim == 2)
        optimise<2>(job, s, n_edges, seed, cur);
    else
        optimise<0>(job, s, n_edges, seed, cur);
}

int layout_worker(void *arg, int64_t q0, int64_t q1, int) {
    const layout_job *job = (const layout_job *)arg;
    point_scratch s;
    if (alloc_scratch(&s, job->k, job->dim) != 0) return -2;
    for (int64_t qi = q0; qi < q1; ++qi) place_point(job, &s, qi);
    free_scratch(&s);
    return 0;
}

}  // namespace

uint64_t ext_row_hash(const float *x, int d) {
    uint64_t h = (uint64_t)(uint32_t)d;
    for (int t = 0; t < d; ++t) {
        uint32_t bits;
        std::memcpy(&bits, x + t, sizeof bits);
        h = vorlix_umap_splitmix64(h ^ bits);
    }
    return h;
}

namespace {

struct hash_job {
    const float *X;
    int d;
    uint64_t *out;
};

int hash_worker(void *arg, int64_t i0, int64_t i1, int) {
    const hash_job *job = (const hash_job *)arg;
    for (int64_t i = i0; i < i1; ++i) job->out[i] = ext_row_hash(job->X + i * job->d, job->d);
    return 0;
}

}  // namespace

void ext_row_hashes(const float *X, int64_t n, int d, int n_threads, uint64_t *out) {
    hash_job job{X, d, out};
    ext_parallel_ranges(n, n_threads, hash_worker, &job);
}

int ext_transform_layout(const ext_fitted *fit, const float *Q, int64_t m,
                         const int32_t *knn_idx, const float *knn_sqdist, int k,
                         const ext_layout_params *p, int n_threads, float *out) {
    if (fit == nullptr || fit->X == nullptr || fit->E == nullptr ||
        fit->hash_sorted == nullptr || fit->hash_order == nullptr || Q == nullptr ||
        knn_idx == nullptr || knn_sqdist == nullptr || p == nullptr || out == nullptr)
        return -1;
    if (m < 0 || fit->d < 1 || k < 1 || fit->n < 1 || fit->n > UINT32_MAX || fit->dim < 1 ||
        p->n_epochs < 1 || !(p->negative_sample_rate > 0.0f))
        return -1;
    layout_job job{*fit, Q, fit->d, knn_idx, knn_sqdist, k, fit->E, fit->n, fit->dim, *p, out};
    return ext_parallel_ranges(m, n_threads, layout_worker, &job);
}
