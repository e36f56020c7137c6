// Threaded edge-sampling SGD of a UMAP layout: every epoch is cut into
// sub-steps; within one, workers read a frozen embedding and add their moves
// into private gradient slices, then each adds all slices into its own part
// of the embedding.  Two barrier cycles per sub-step.

#include "quelmo_kernels.h"
#include "umap_layout_internal.h"
#include "umap_layout_serial.h"

#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Generation-counting barrier that can be aborted: once aborted, every
// current and later wait fails, so workers started before a failed thread
// creation leave instead of waiting for a worker that never comes.
struct vorlix_barrier_t {
    pthread_mutex_t mtx;
    pthread_cond_t cond;
    int count;
    int generation;
    int n_threads;
    int aborted;
};

inline void vorlix_barrier_init(vorlix_barrier_t *b, int n) {
    pthread_mutex_init(&b->mtx, nullptr);
    pthread_cond_init(&b->cond, nullptr);
    b->count = 0;
    b->generation = 0;
    b->n_threads = n;
    b->aborted = 0;
}

inline int vorlix_barrier_wait(vorlix_barrier_t *b) {
    pthread_mutex_lock(&b->mtx);
    if (b->aborted) {
        pthread_mutex_unlock(&b->mtx);
        return -1;
    }
    const int gen = b->generation;
    b->count = b->count + 1;
    if (b->count == b->n_threads) {
        b->count = 0;
        b->generation = gen + 1;
        pthread_cond_broadcast(&b->cond);
    } else {
        while (b->generation == gen && !b->aborted) pthread_cond_wait(&b->cond, &b->mtx);
    }
    // Checked after the cycle as well: a worker released by an abort must not
    // go on into a phase that the missing workers will never finish.
    const int aborted = b->aborted;
    pthread_mutex_unlock(&b->mtx);
    return aborted ? -1 : 0;
}

inline void vorlix_barrier_abort(vorlix_barrier_t *b) {
    pthread_mutex_lock(&b->mtx);
    b->aborted = 1;
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mtx);
}

inline void vorlix_barrier_destroy(vorlix_barrier_t *b) {
    pthread_mutex_destroy(&b->mtx);
    pthread_cond_destroy(&b->cond);
}

// One edge as the workers read it.  The driver stores the edges sub-step
// by sub-step (edge i = s + S * k at position offset(s) + k), and the schedule
// arrays in the same order, so a worker's share of a sub-step is one
// contiguous run instead of a stride-S walk through five arrays.
struct edge_rec {
    int32_t head;
    int32_t tail;
    float eps;
};

struct layout_worker_args {
    int tid;
    int n_threads;
    float *embedding;
    int dim;
    int n_vertices;
    const int32_t *head;
    const int32_t *tail;
    int64_t n_edges;
    const float *epochs_per_sample;
    double *eons;
    double *eonn;
    double *epn;
    float *gbuf;
    size_t emb_len;
    int n_epochs;
    int n_substeps;
    float a;
    float b;
    float gamma;
    float initial_alpha;
    float negative_sample_rate;
    uint64_t seed;
    vorlix_barrier_t *barrier;
    const edge_rec *plan;
};

inline long vorlix_umap_online_cpus() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n < 1 ? 1 : n;
}

// n_edges >= 1 and n_vertices >= 1 here (the driver validated both).  The
// ceiling is formed without n_edges + n_vertices - 1, which could overflow.
inline int resolve_substeps(int64_t n_edges, int n_vertices) {
    const char *env = getenv("VORLIX_UMAP_SUBSTEPS");
    if (env != nullptr) {
        const long v = strtol(env, nullptr, 10);
        if (v > 0) {
            int64_t s = (int64_t)v;
            if (s > n_edges) s = n_edges;
            return s > INT_MAX ? INT_MAX : (int)s;
        }
    }
    int64_t s = n_edges / n_vertices + (n_edges % n_vertices != 0 ? 1 : 0);
    if (s < 1) s = 1;
    if (s > 64) s = 64;
    if (s > n_edges) s = n_edges;
    return (int)s;
}

// Share [lo, hi) of worker t among T over `count` items; the product t * count
// is formed in 128 bits because count may be a 64-bit edge count.
inline void split_range(int64_t count, int t, int T, int64_t *lo, int64_t *hi) {
    *lo = (int64_t)(((__int128)t * count) / T);
    *hi = (int64_t)(((__int128)(t + 1) * count) / T);
}

constexpr int kSampleBatch = 16;
constexpr int64_t kEdgeLookahead = 8;

// First plan position of sub-step s: sub-steps before it hold q + 1 edges
// each while below r = n_edges % S, q = n_edges / S after.
inline int64_t substep_offset(int64_t s, int64_t q, int64_t r) {
    return s * q + (s < r ? s : r);
}

// Gradient phase of one sub-step, two coordinates.  The embedding is frozen
// during this phase, so the head point and the sums of its repulsions stay in
// registers; every sum is still formed in the order of the generic loop.
// rdist's leading 0.0f + x is dropped: x = diff * diff is never -0.0, so the
// sum is bit-identical to x.
inline void gradient_run_dim2(const layout_worker_args *w, float *g, int n, int64_t s,
                              int64_t S, int64_t pos, int64_t pos_end, int64_t first_k,
                              uint64_t mod_magic) {
    const float *emb = w->embedding;
    const edge_rec *plan = w->plan;
    double *eons = w->eons;
    double *eonn = w->eonn;
    const double *epn = w->epn;
    const uint32_t nv = (uint32_t)w->n_vertices;
    const float a = w->a, b = w->b, gamma = w->gamma;
    const double nd = (double)n;
    for (int64_t kx = first_k; pos < pos_end; ++pos, ++kx) {
        if (pos + kEdgeLookahead < pos_end) {
            const edge_rec ahead = plan[pos + kEdgeLookahead];
            __builtin_prefetch(emb + 2 * (int64_t)ahead.head);
            __builtin_prefetch(emb + 2 * (int64_t)ahead.tail);
            __builtin_prefetch(g + 2 * (int64_t)ahead.head, 1);
            __builtin_prefetch(g + 2 * (int64_t)ahead.tail, 1);
        }
        const edge_rec e = plan[pos];
        if (e.eps <= 0.0f || eons[pos] > nd) continue;
        const int64_t j = e.head;
        const int64_t kk = e.tail;
        const float c0 = emb[2 * j], c1 = emb[2 * j + 1];
        const float diff0 = c0 - emb[2 * kk];
        const float diff1 = c1 - emb[2 * kk + 1];
        const float d2 = diff0 * diff0 + diff1 * diff1;
        const float gc = vorlix_umap_attractive_coeff(d2, a, b);
        const float grad0 = vorlix_umap_clip(diff0 * gc);
        const float grad1 = vorlix_umap_clip(diff1 * gc);
        float *gj = g + 2 * j;
        float *gk = g + 2 * kk;
        // Through memory, in this order: gj and gk are the same row when the
        // edge is a loop.
        gj[0] = gj[0] + grad0;
        gk[0] = gk[0] - grad0;
        gj[1] = gj[1] + grad1;
        gk[1] = gk[1] - grad1;
        eons[pos] = eons[pos] + (double)e.eps;

        const int n_neg = vorlix_umap_negative_count(n, eonn[pos], epn[pos]);
        if (n_neg > 0) {
            uint32_t rng[3];
            vorlix_umap_seed_rng(w->seed, s + S * kx, n, rng);
            float acc0 = gj[0], acc1 = gj[1];
            // Samples in batches: the batch's points are drawn and their
            // rows requested first, so that the loads are in flight together
            // instead of each starting only after the previous sample's
            // arithmetic has left the instruction window.
            uint32_t batch[kSampleBatch];
            for (int p0 = 0; p0 < n_neg; p0 += kSampleBatch) {
                const int m = n_neg - p0 < kSampleBatch ? n_neg - p0 : kSampleBatch;
                for (int p = 0; p < m; ++p) {
                    batch[p] = vorlix_umap_fastmod(vorlix_umap_tau_rand(rng), mod_magic, nv);
                    __builtin_prefetch(emb + 2 * (int64_t)batch[p]);
                }
                for (int p = 0; p < m; ++p) {
                    const int64_t k2 = batch[p];
                    const float e0 = c0 - emb[2 * k2];
                    const float e1 = c1 - emb[2 * k2 + 1];
                    const float dd2 = e0 * e0 + e1 * e1;
                    if (dd2 <= 0.0f) continue;
                    const float gcn = vorlix_umap_repulsive_coeff(dd2, a, b, gamma);
                    if (gcn > 0.0f) {
                        acc0 = acc0 + vorlix_umap_clip(gcn * e0);
                        acc1 = acc1 + vorlix_umap_clip(gcn * e1);
                    }
                }
            }
            gj[0] = acc0;
            gj[1] = acc1;
            eonn[pos] = eonn[pos] + (double)n_neg * epn[pos];
        }
    }
}

// Gradient phase of one sub-step, any dimension.
inline void gradient_run_generic(const layout_worker_args *w, float *g, int n, int64_t s,
                                 int64_t S, int64_t pos, int64_t pos_end, int64_t first_k,
                                 uint64_t mod_magic) {
    const float *emb = w->embedding;
    const edge_rec *plan = w->plan;
    double *eons = w->eons;
    double *eonn = w->eonn;
    const double *epn = w->epn;
    const int dim = w->dim;
    const uint32_t nv = (uint32_t)w->n_vertices;
    const float a = w->a, b = w->b, gamma = w->gamma;
    const double nd = (double)n;
    for (int64_t kx = first_k; pos < pos_end; ++pos, ++kx) {
        const edge_rec e = plan[pos];
        if (e.eps <= 0.0f || eons[pos] > nd) continue;
        const float *cur = emb + (int64_t)e.head * dim;
        const float *oth = emb + (int64_t)e.tail * dim;
        float *gj = g + (int64_t)e.head * dim;
        float *gk = g + (int64_t)e.tail * dim;
        const float d2 = vorlix_umap_rdist(cur, oth, dim);
        const float gc = vorlix_umap_attractive_coeff(d2, a, b);
        for (int d = 0; d < dim; ++d) {
            const float grad = vorlix_umap_clip((cur[d] - oth[d]) * gc);
            gj[d] = gj[d] + grad;
            gk[d] = gk[d] - grad;
        }
        eons[pos] = eons[pos] + (double)e.eps;

        const int n_neg = vorlix_umap_negative_count(n, eonn[pos], epn[pos]);
        if (n_neg > 0) {
            uint32_t rng[3];
            vorlix_umap_seed_rng(w->seed, s + S * kx, n, rng);
            for (int p = 0; p < n_neg; ++p) {
                const uint32_t k2 = vorlix_umap_fastmod(vorlix_umap_tau_rand(rng), mod_magic, nv);
                const float *oth2 = emb + (int64_t)k2 * dim;
                const float dd2 = vorlix_umap_rdist(cur, oth2, dim);
                if (dd2 <= 0.0f) continue;
                const float gcn = vorlix_umap_repulsive_coeff(dd2, a, b, gamma);
                if (gcn > 0.0f) {
                    for (int d = 0; d < dim; ++d)
                        gj[d] = gj[d] + vorlix_umap_clip(gcn * (cur[d] - oth2[d]));
                }
            }
            eonn[pos] = eonn[pos] + (double)n_neg * epn[pos];
        }
    }
}

void *layout_worker(void *raw) {
    const layout_worker_args *w = (const layout_worker_args *)raw;
    const int T = w->n_threads;
    const int t = w->tid;
    const int dim = w->dim;
    const int64_t S = w->n_substeps;
    const int64_t n_edges = w->n_edges;
    const size_t emb_len = w->emb_len;
    float *const embedding = w->embedding;
    float *const gbuf = w->gbuf;
    float *const g = gbuf + (size_t)t * emb_len;
    // t * emb_len < T * emb_len, whose byte size the driver checked fits size_t.
    const size_t v_lo = ((size_t)t * emb_len) / (size_t)T;
    const size_t v_hi = ((size_t)(t + 1) * emb_len) / (size_t)T;
    const int64_t q = n_edges / S;
    const int64_t r = n_edges % S;
    const uint64_t mod_magic = vorlix_umap_fastmod_magic((uint32_t)w->n_vertices);

    for (int n = 0; n < w->n_epochs; ++n) {
        const float alpha =
            n == 0 ? w->initial_alpha
                   : (1.0f - (float)(n - 1) / (float)w->n_epochs) * w->initial_alpha;
        for (int64_t s = 0; s < S; ++s) {
            std::memset(g, 0, emb_len * sizeof(float));
            // Edges congruent to s modulo S; (n_edges - s - 1) / S + 1 is the
            // ceiling without the overflow-prone n_edges - s + S - 1.
            const int64_t K = s < n_edges ? (n_edges - s - 1) / S + 1 : 0;
            int64_t k_lo, k_hi;
            split_range(K, t, T, &k_lo, &k_hi);
            const int64_t base = substep_offset(s, q, r);
            if (dim == 2)
                gradient_run_dim2(w, g, n, s, S, base + k_lo, base + k_hi, k_lo, mod_magic);
            else
                gradient_run_generic(w, g, n, s, S, base + k_lo, base + k_hi, k_lo, mod_magic);
            if (vorlix_barrier_wait(w->barrier) != 0) return nullptr;
            for (size_t v = v_lo; v < v_hi; ++v) {
                float acc = 0.0f;
                for (int tt = 0; tt < T; ++tt) acc = acc + gbuf[(size_t)tt * emb_len + v];
                embedding[v] = embedding[v] + acc * alpha;
            }
            if (vorlix_barrier_wait(w->barrier) != 0) return nullptr;
        }
    }
    return nullptr;
}

// The threaded run on eff_threads >= 2 workers.  Returns true when it ran
// to completion; false, with everything freed, every started worker joined
// and the embedding untouched, when a buffer or a thread could not be had.
bool run_workers(float *embedding, int n_samples, int dim, const int32_t *head,
                 const int32_t *tail, int64_t n_edges, const float *epochs_per_sample,
                 int n_epochs, float a, float b, float gamma, float initial_alpha,
                 float negative_sample_rate, uint64_t seed, int eff_threads) {
    const int n_substeps = resolve_substeps(n_edges, n_samples);
    const size_t emb_len = (size_t)n_samples * (size_t)dim;

    // Sizes whose byte counts would wrap size_t are allocation failures; the
    // workers' index products rely on T * emb_len fitting as well.
    const size_t T = (size_t)eff_threads;
    const size_t E = (size_t)n_edges;
    const bool fits = emb_len <= SIZE_MAX / sizeof(float) / T &&
                      (uint64_t)n_edges <= SIZE_MAX / sizeof(double);
    float *gbuf = fits ? (float *)std::malloc(T * emb_len * sizeof(float)) : nullptr;
    double *eons = fits ? (double *)std::malloc(E * sizeof(double)) : nullptr;
    double *eonn = fits ? (double *)std::malloc(E * sizeof(double)) : nullptr;
    double *epn = fits ? (double *)std::malloc(E * sizeof(double)) : nullptr;
    pthread_t *threads = (pthread_t *)std::malloc(T * sizeof(pthread_t));
    layout_worker_args *args = (layout_worker_args *)std::malloc(T * sizeof(layout_worker_args));
    edge_rec *plan = fits ? (edge_rec *)std::malloc(E * sizeof(edge_rec)) : nullptr;
    if (gbuf == nullptr || eons == nullptr || eonn == nullptr || epn == nullptr ||
        threads == nullptr || args == nullptr || plan == nullptr) {
        std::free(plan);
        std::free(args);
        std::free(threads);
        std::free(epn);
        std::free(eonn);
        std::free(eons);
        std::free(gbuf);
        return false;
    }

    // Positions in sub-step order: edge i = s + S * k goes to position
    // offset(s) + k, which is simply the running count below.
    {
        int64_t pos = 0;
        for (int64_t s = 0; s < n_substeps; ++s) {
            for (int64_t i = s; i < n_edges; i += n_substeps, ++pos) {
                const double eps = (double)epochs_per_sample[i];
                plan[pos].head = head[i];
                plan[pos].tail = tail[i];
                plan[pos].eps = epochs_per_sample[i];
                epn[pos] = eps / (double)negative_sample_rate;
                eons[pos] = eps;
                eonn[pos] = epn[pos];
            }
        }
    }

    vorlix_barrier_t barrier;
    vorlix_barrier_init(&barrier, eff_threads);
    int spawned = 0;
    for (int t = 0; t < eff_threads; ++t) {
        layout_worker_args *w = &args[t];
        w->tid = t;
        w->n_threads = eff_threads;
        w->embedding = embedding;
        w->dim = dim;
        w->n_vertices = n_samples;
        w->head = head;
        w->tail = tail;
        w->n_edges = n_edges;
        w->epochs_per_sample = epochs_per_sample;
        w->eons = eons;
        w->eonn = eonn;
        w->epn = epn;
        w->gbuf = gbuf;
        w->emb_len = emb_len;
        w->n_epochs = n_epochs;
        w->n_substeps = n_substeps;
        w->a = a;
        w->b = b;
        w->gamma = gamma;
        w->initial_alpha = initial_alpha;
        w->negative_sample_rate = negative_sample_rate;
        w->seed = seed;
        w->barrier = &barrier;
        w->plan = plan;
        if (pthread_create(&threads[t], nullptr, layout_worker, w) != 0) break;
        spawned += 1;
    }

    const bool complete = spawned == eff_threads;
    // No worker writes the embedding before the first barrier cycle completes,
    // and that cycle needs all eff_threads workers: after an abort the
    // caller's serial run starts from the caller's embedding.
    if (!complete) vorlix_barrier_abort(&barrier);
    for (int t = 0; t < spawned; ++t) pthread_join(threads[t], nullptr);
    vorlix_barrier_destroy(&barrier);
    std::free(plan);
    std::free(args);
    std::free(threads);
    std::free(epn);
    std::free(eonn);
    std::free(eons);
    std::free(gbuf);
    return complete;
}

}  // namespace

extern "C" QUELMO_API int vorlix_umap_optimize_layout_euclidean_f32_parallel(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b,
    float gamma, float initial_alpha, float negative_sample_rate, uint64_t seed,
    int n_threads) {
    if (embedding == nullptr || head == nullptr || tail == nullptr ||
        epochs_per_sample == nullptr)
        return -1;
    if (n_samples <= 0 || dim <= 0 || n_edges <= 0 || n_epochs <= 0) return -1;
    if (negative_sample_rate <= 0.0f) return -1;

    if (n_threads <= 0) {
        const long cpus = vorlix_umap_online_cpus();
        n_threads = cpus > INT_MAX ? INT_MAX : (int)cpus;
        if (n_threads < 1) n_threads = 1;
    }
    const int eff_threads = n_edges < (int64_t)n_threads ? (int)n_edges : n_threads;
    if (eff_threads > 1 &&
        run_workers(embedding, n_samples, dim, head, tail, n_edges, epochs_per_sample, n_epochs,
                    a, b, gamma, initial_alpha, negative_sample_rate, seed, eff_threads))
        return 0;
    // The arguments passed the serial optimiser's own checks above, so its
    // only failure left is its schedule allocation: the layout then did not
    // run at all, which the caller must not mistake for a serial run.
    const int serial = vorlix_umap_optimize_layout_serial_f32(
        embedding, n_samples, dim, head, tail, n_edges, epochs_per_sample, n_epochs, a, b, gamma,
        initial_alpha, negative_sample_rate, seed);
    return serial == -2 ? -2 : -1;
}
