// Threaded edge-sampling SGD of a UMAP layout: every epoch is cut into
// sub-steps; within one, workers read a frozen embedding and add their moves
// into private gradient slices, then each adds all slices into its own part
// of the embedding.  Two barrier cycles per sub-step.
//
// Since the embedding is frozen inside a sub-step, the coefficients of all
// pulls and pushes of a worker's share are independent of each other: the
// worker gathers a chunk of them (schedule, samples, differences), has
// layout_coeff compute them in bulk, and only then adds them into its slice,
// one by one in the order of the per-edge loop, which is what fixes the bits.

#include "layout_coeff.h"
#include "layout_draw.h"
#include "layout_due.h"
#include "layout_group.h"
#include "quelmo_kernels.h"
#include "run_control.h"
#include "umap_layout_internal.h"
#include "umap_layout_serial.h"

#include <pthread.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Generation-counting barrier that can be aborted: once aborted, every
// current and later wait fails, so workers started before a failed thread
// creation leave instead of waiting for a worker that never comes.
//
// A waiter first spins for a while on the generation before it sleeps on the
// condition variable: the workers of a sub-step mostly arrive within
// microseconds of each other, far sooner than a sleeping thread is woken.
// The counters change only under the mutex; generation and aborted are
// stored atomically there so that the spinning read outside it is defined.
// The last arrival broadcasts only when somebody sleeps.
struct vorlix_barrier_t {
    pthread_mutex_t mtx;
    pthread_cond_t cond;
    int count;
    int generation;
    int n_threads;
    int aborted;
    int sleepers;
};

// The spin: a few microseconds of pauses before the waiter sleeps.  Longer
// spins (or yields) lose on a busy machine, where the spinning worker takes
// the core from the one it waits for.
constexpr int kBarrierSpins = 256;

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

inline void vorlix_barrier_init(vorlix_barrier_t *b, int n) {
    pthread_mutex_init(&b->mtx, nullptr);
    pthread_cond_init(&b->cond, nullptr);
    b->count = 0;
    b->generation = 0;
    b->n_threads = n;
    b->aborted = 0;
    b->sleepers = 0;
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
        __atomic_store_n(&b->generation, gen + 1, __ATOMIC_RELEASE);
        if (b->sleepers > 0) pthread_cond_broadcast(&b->cond);
    } else {
        pthread_mutex_unlock(&b->mtx);
        for (int i = 0; i < kBarrierSpins; ++i) {
            if (__atomic_load_n(&b->generation, __ATOMIC_ACQUIRE) != gen ||
                __atomic_load_n(&b->aborted, __ATOMIC_ACQUIRE))
                break;
            cpu_pause();
        }
        pthread_mutex_lock(&b->mtx);
        while (b->generation == gen && !b->aborted) {
            b->sleepers += 1;
            pthread_cond_wait(&b->cond, &b->mtx);
            b->sleepers -= 1;
        }
    }
    // Checked after the cycle as well: a worker released by an abort must not
    // go on into a phase that the missing workers will never finish.
    const int aborted = b->aborted;
    pthread_mutex_unlock(&b->mtx);
    return aborted ? -1 : 0;
}

inline void vorlix_barrier_abort(vorlix_barrier_t *b) {
    pthread_mutex_lock(&b->mtx);
    __atomic_store_n(&b->aborted, 1, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&b->cond);
    pthread_mutex_unlock(&b->mtx);
}

inline void vorlix_barrier_destroy(vorlix_barrier_t *b) {
    pthread_mutex_destroy(&b->mtx);
    pthread_cond_destroy(&b->cond);
}

// The edges as the workers read them.  The driver stores the edges sub-step
// by sub-step (edge i = s + S * k at position offset(s) + k), and the
// schedule arrays in the same order, so a worker's share of a sub-step is one
// contiguous run instead of a stride-S walk through five arrays.
struct edge_plan {
    int32_t *head;
    int32_t *tail;
    float *eps;
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
    edge_plan plan;
    const layout_coeff *coeff;
    // The caller's control record, or null; with one, worker 0 decides at
    // every sub-step whether all stop, in *stop (see layout_worker).
    int64_t *control;
    int *stop;
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

constexpr int64_t kEdgeLookahead = 8;

// First plan position of sub-step s: sub-steps before it hold q + 1 edges
// each while below r = n_edges % S, q = n_edges / S after.
inline int64_t substep_offset(int64_t s, int64_t q, int64_t r) {
    return s * q + (s < r ? s : r);
}

// A chunk of one worker's share of a sub-step: its due edges and their
// negative samples, in the order of the per-edge loop.  Small enough for the
// L1 cache and the worker's stack.
constexpr int kChunkEdges = 128;
constexpr int kChunkSamples = 1024;
// Groups whose largest sample count is at most this draw in bulk.
constexpr int kDrawMost = 32;

struct chunk {
    int n_edges;
    int n_samples;
    int32_t head[kChunkEdges];
    int32_t tail[kChunkEdges];
    int32_t n_push[kChunkEdges];  // samples of the edge in this chunk
    // Two coordinates: the differences head - tail, then the pulls.  Other
    // dimensions: the squared distance in p0, then the coefficient.
    float p0[kChunkEdges];
    float p1[kChunkEdges];
    uint32_t sample[kChunkSamples + kDrawMost];
    // The same for the samples: head - sample, then the pushes; or the
    // squared distance, then the coefficient.
    float q0[kChunkSamples];
    float q1[kChunkSamples];
};

// The chunk in two coordinates: differences from the frozen embedding, all
// pulls and pushes in bulk, then the sums into the slice in the order of the
// per-edge loop (attraction of the edge, then its samples in draw order).
// rdist's leading 0.0f + x is left out in layout_coeff (x a square).
void flush_dim2(const layout_worker_args *w, float *g, chunk *c) {
    const float *emb = w->embedding;
    int q = 0;
    for (int e = 0; e < c->n_edges; ++e) {
        const int64_t j = c->head[e];
        const int64_t k = c->tail[e];
        const float c0 = emb[2 * j], c1 = emb[2 * j + 1];
        c->p0[e] = c0 - emb[2 * k];
        c->p1[e] = c1 - emb[2 * k + 1];
        for (int end = q + c->n_push[e]; q < end; ++q) {
            const int64_t k2 = c->sample[q];
            c->q0[q] = c0 - emb[2 * k2];
            c->q1[q] = c1 - emb[2 * k2 + 1];
        }
    }
    layout_pull2(w->coeff, c->p0, c->p1, (size_t)c->n_edges);
    layout_push2(w->coeff, c->q0, c->q1, (size_t)c->n_samples);
    q = 0;
    for (int e = 0; e < c->n_edges; ++e) {
        float *gj = g + 2 * (int64_t)c->head[e];
        float *gk = g + 2 * (int64_t)c->tail[e];
        // Through memory, in this order: gj and gk are the same row when the
        // edge is a loop.
        gj[0] = gj[0] + c->p0[e];
        gk[0] = gk[0] - c->p0[e];
        gj[1] = gj[1] + c->p1[e];
        gk[1] = gk[1] - c->p1[e];
        if (c->n_push[e] > 0) {
            // A sample that moves nothing holds -0.0f, which adds nothing.
            float acc0 = gj[0], acc1 = gj[1];
            for (int end = q + c->n_push[e]; q < end; ++q) {
                acc0 = acc0 + c->q0[q];
                acc1 = acc1 + c->q1[q];
            }
            gj[0] = acc0;
            gj[1] = acc1;
        }
    }
    c->n_edges = 0;
    c->n_samples = 0;
}

// The chunk in any dimension: squared distances, coefficients in bulk, then
// the per-coordinate moves in the order of the per-edge loop.
void flush_generic(const layout_worker_args *w, float *g, chunk *c) {
    const float *emb = w->embedding;
    const int dim = w->dim;
    int q = 0;
    for (int e = 0; e < c->n_edges; ++e) {
        const float *cur = emb + (int64_t)c->head[e] * dim;
        c->p0[e] = vorlix_umap_rdist(cur, emb + (int64_t)c->tail[e] * dim, dim);
        for (int end = q + c->n_push[e]; q < end; ++q)
            c->q0[q] = vorlix_umap_rdist(cur, emb + (int64_t)c->sample[q] * dim, dim);
    }
    layout_pull(w->coeff, c->p0, (size_t)c->n_edges);
    layout_push(w->coeff, c->q0, (size_t)c->n_samples);
    q = 0;
    for (int e = 0; e < c->n_edges; ++e) {
        const float *cur = emb + (int64_t)c->head[e] * dim;
        const float *oth = emb + (int64_t)c->tail[e] * dim;
        float *gj = g + (int64_t)c->head[e] * dim;
        float *gk = g + (int64_t)c->tail[e] * dim;
        const float gc = c->p0[e];
        for (int d = 0; d < dim; ++d) {
            const float grad = vorlix_umap_clip((cur[d] - oth[d]) * gc);
            gj[d] = gj[d] + grad;
            gk[d] = gk[d] - grad;
        }
        for (int end = q + c->n_push[e]; q < end; ++q) {
            const float gcn = c->q0[q];
            if (gcn > 0.0f) {
                const float *oth2 = emb + (int64_t)c->sample[q] * dim;
                for (int d = 0; d < dim; ++d)
                    gj[d] = gj[d] + vorlix_umap_clip(gcn * (cur[d] - oth2[d]));
            }
        }
    }
    c->n_edges = 0;
    c->n_samples = 0;
}

inline void flush(const layout_worker_args *w, float *g, chunk *c) {
    if (c->n_edges == 0) return;
    if (w->dim == 2) flush_dim2(w, g, c);
    else flush_generic(w, g, c);
}

// One edge with more samples than a chunk holds (a tiny period or a huge
// sample rate), done on its own with the per-edge arithmetic.
void edge_alone(const layout_worker_args *w, float *g, int32_t head, int32_t tail, int64_t edge,
                int n, int n_neg, uint64_t mod_magic) {
    const float *emb = w->embedding;
    const int dim = w->dim;
    const float a = w->a, b = w->b, gamma = w->gamma;
    const float *cur = emb + (int64_t)head * dim;
    const float *oth = emb + (int64_t)tail * dim;
    float *gj = g + (int64_t)head * dim;
    float *gk = g + (int64_t)tail * dim;
    const float gc = vorlix_umap_attractive_coeff(vorlix_umap_rdist(cur, oth, dim), a, b);
    for (int d = 0; d < dim; ++d) {
        const float grad = vorlix_umap_clip((cur[d] - oth[d]) * gc);
        gj[d] = gj[d] + grad;
        gk[d] = gk[d] - grad;
    }
    uint32_t rng[3];
    vorlix_umap_seed_rng(w->seed, edge, n, rng);
    for (int p = 0; p < n_neg; ++p) {
        const uint32_t k2 =
            vorlix_umap_fastmod(vorlix_umap_tau_rand(rng), mod_magic, (uint32_t)w->n_vertices);
        const float *oth2 = emb + (int64_t)k2 * dim;
        const float dd2 = vorlix_umap_rdist(cur, oth2, dim);
        if (dd2 <= 0.0f) continue;
        const float gcn = vorlix_umap_repulsive_coeff(dd2, a, b, gamma);
        if (gcn > 0.0f) {
            for (int d = 0; d < dim; ++d)
                gj[d] = gj[d] + vorlix_umap_clip(gcn * (cur[d] - oth2[d]));
        }
    }
}

// vorlix_umap_negative_count of m <= 8 edges, and their advanced next-sample
// epochs (next[l] + n_neg[l] * per[l], meaningful where n_neg[l] > 0).  The
// vector form does the same double operations per lane; the clamp to the
// int range with NaN as 0 is done by max/min (which give the second operand
// for a NaN first) and a select.
#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) void negative_counts_avx2(int n, double *next,
                                                              const double *per, int *n_neg) {
    const __m256d nd = _mm256_set1_pd((double)n);
    const __m256d lo = _mm256_set1_pd((double)INT_MIN), hi = _mm256_set1_pd((double)INT_MAX);
    for (int h = 0; h < LAYOUT_DRAW_LANES; h += 4) {
        const __m256d e = _mm256_loadu_pd(next + h);
        const __m256d p = _mm256_loadu_pd(per + h);
        const __m256d v = _mm256_div_pd(_mm256_sub_pd(nd, e), p);
        const __m256d nan = _mm256_cmp_pd(v, v, _CMP_UNORD_Q);
        const __m256d clamped = _mm256_andnot_pd(nan, _mm256_min_pd(_mm256_max_pd(v, lo), hi));
        const __m128i k = _mm256_cvttpd_epi32(clamped);
        _mm_storeu_si128((__m128i *)(n_neg + h), k);
        _mm256_storeu_pd(next + h, _mm256_add_pd(e, _mm256_mul_pd(_mm256_cvtepi32_pd(k), p)));
    }
}
#endif

inline void negative_counts(bool vector, int n, double *next, double *per, int *n_neg, int m) {
#if defined(__x86_64__)
    if (vector) {
        // Lanes past m compute on a harmless 0 / 1.
        for (int l = m; l < LAYOUT_DRAW_LANES; ++l) {
            next[l] = 0.0;
            per[l] = 1.0;
        }
        return negative_counts_avx2(n, next, per, n_neg);
    }
#endif
    for (int l = 0; l < m; ++l) {
        n_neg[l] = vorlix_umap_negative_count(n, next[l], per[l]);
        next[l] = next[l] + (double)n_neg[l] * per[l];
    }
}

// The due edges among positions [lo, lo + m) of the plan in epoch n, listed
// without a branch per edge (whether an edge is due follows no pattern, and a
// mispredicted branch per edge would cost more than the test), with their
// schedule advanced: their offsets from lo, sample counts (and with AVX-512
// heads and tails) in out; returns how many.  A disabled edge's schedule
// starts at +inf (the driver), so !(eons > n) is the whole test, a NaN period
// being due as it must.  AVX-512 does it eight positions per vector
// (layout_due.h), requesting the schedule ahead within the n_ahead positions
// from lo on that belong to this run.
int list_due(const layout_worker_args *w, int64_t lo, int m, int64_t n_ahead, int n,
             const layout_due_list *out) {
    double *eons = w->eons + lo;
    double *eonn = w->eonn + lo;
    const float *eps = w->plan.eps + lo;
    const double rate = (double)w->negative_sample_rate;
    int32_t *due = out->at;
    int32_t *n_neg = out->n_neg;
    if (w->coeff->simd >= 5) {
        const layout_due_block blk = {eons, eonn, eps, rate, w->plan.head + lo,
                                      w->plan.tail + lo, n_ahead};
        return layout_due_scan(&blk, m, n, out);
    }
    const double nd = (double)n;
    const bool vector = w->coeff->simd != 0;
    int n_due = 0;
    for (int i = 0; i < m; ++i) {
        due[n_due] = i;
        n_due += !(eons[i] > nd);
    }
    for (int u0 = 0; u0 < n_due; u0 += LAYOUT_DRAW_LANES) {
        const int m_group = n_due - u0 < LAYOUT_DRAW_LANES ? n_due - u0 : LAYOUT_DRAW_LANES;
        double next[LAYOUT_DRAW_LANES], per[LAYOUT_DRAW_LANES];
        for (int l = 0; l < m_group; ++l) {
            const int i = due[u0 + l];
            eons[i] = eons[i] + (double)eps[i];
            next[l] = eonn[i];
            per[l] = (double)eps[i] / rate;
        }
        negative_counts(vector, n, next, per, n_neg + u0, m_group);
        for (int l = 0; l < m_group; ++l)
            if (n_neg[u0 + l] > 0) eonn[due[u0 + l]] = next[l];
    }
    return n_due;
}

// Gradient phase of one sub-step over plan positions [pos0, pos_end): the
// schedule and the samples edge by edge (they depend on nothing but the
// edge), the arithmetic eight edges side by side where layout_group serves
// the layout (grouped), else chunk by chunk.  In a large layout, rows are
// requested ahead on the chunked path: those of the due edges a few places
// on, and each sample's as soon as it is drawn.
constexpr int kScanBlock = 256;
constexpr size_t kNearBytes = 256 * 1024;

void gradient_run(const layout_worker_args *w, float *g, chunk *c,
                  const layout_group_ctx *grouped, int n, int64_t s, int64_t S, int64_t pos0,
                  int64_t pos_end, int64_t first_k, uint64_t mod_magic) {
    const float *emb = w->embedding;
    const int32_t *plan_head = w->plan.head;
    const int32_t *plan_tail = w->plan.tail;
    const int dim = w->dim;
    const uint32_t nv = (uint32_t)w->n_vertices;
    // Requests ahead pay only when the rows come from beyond the L2 cache:
    // for a small layout (embedding and slice in L2) they merely occupy the
    // load queue.
    const bool far = w->emb_len * sizeof(float) > kNearBytes;
    int32_t due[kScanBlock + LAYOUT_DUE_SLACK];
    int32_t counts[kScanBlock + LAYOUT_DUE_SLACK];
    int32_t due_head[kScanBlock + LAYOUT_DUE_SLACK];
    int32_t due_tail[kScanBlock + LAYOUT_DUE_SLACK];
    const layout_due_list listed = {due, counts, due_head, due_tail};
    uint32_t draws[kDrawMost * LAYOUT_DRAW_LANES];
    c->n_edges = 0;
    c->n_samples = 0;
    for (int64_t lo = pos0; lo < pos_end; lo += kScanBlock) {
        const int m = pos_end - lo < kScanBlock ? (int)(pos_end - lo) : kScanBlock;
        const int n_due = list_due(w, lo, m, pos_end - lo, n, &listed);
        if (grouped != nullptr) {
            layout_group_block(grouped, n, &listed, n_due, s + S * (first_k + lo - pos0), S);
            continue;
        }
        // Due edges in groups of eight: the samples of the whole group at
        // once (one stream per lane), then the edges and their samples into
        // the chunk in order.
        for (int u0 = 0; u0 < n_due; u0 += LAYOUT_DRAW_LANES) {
            const int m_group = n_due - u0 < LAYOUT_DRAW_LANES ? n_due - u0 : LAYOUT_DRAW_LANES;
            const int32_t *n_neg = counts + u0;
            uint32_t s0[LAYOUT_DRAW_LANES] = {0}, s1[LAYOUT_DRAW_LANES] = {0},
                     s2[LAYOUT_DRAW_LANES] = {0};
            int64_t edges[LAYOUT_DRAW_LANES] = {0};
            int most = 0;
            for (int l = 0; l < m_group; ++l) {
                edges[l] = s + S * (first_k + (lo + due[u0 + l] - pos0));
                if (n_neg[l] > most) most = n_neg[l];
            }
            // Every lane is seeded; the words of a lane without samples
            // (or past the group) are never used.
            if (most > 0) layout_seed8(w->seed, edges, n, s0, s1, s2, w->coeff->simd);
            const bool drawn = most <= kDrawMost;
            if (drawn && most > 0) layout_draw8(s0, s1, s2, most, nv, draws, w->coeff->simd);
            for (int l = 0; l < m_group; ++l) {
                const int u = u0 + l;
                if (far && u + kEdgeLookahead < n_due) {
                    const int64_t ahead = lo + due[u + kEdgeLookahead];
                    __builtin_prefetch(emb + (int64_t)plan_head[ahead] * dim);
                    __builtin_prefetch(emb + (int64_t)plan_tail[ahead] * dim);
                    __builtin_prefetch(g + (int64_t)plan_head[ahead] * dim, 1);
                    __builtin_prefetch(g + (int64_t)plan_tail[ahead] * dim, 1);
                }
                const int64_t pos = lo + due[u];
                const int32_t head = plan_head[pos], tail = plan_tail[pos];
                const int n_push = n_neg[l] > 0 ? n_neg[l] : 0;
                if (n_push > kChunkSamples) {
                    flush(w, g, c);
                    edge_alone(w, g, head, tail, edges[l], n, n_neg[l], mod_magic);
                    continue;
                }
                if (c->n_edges == kChunkEdges || c->n_samples + n_push > kChunkSamples)
                    flush(w, g, c);
                const int at = c->n_edges++;
                c->head[at] = head;
                c->tail[at] = tail;
                c->n_push[at] = n_push;
                if (n_push == 0) continue;
                uint32_t *out = c->sample + c->n_samples;
                if (drawn) {
                    // The whole column, a fixed count: the entries past this
                    // edge's own are overwritten by the next edge's (the
                    // sample array has room for the overhang).
                    for (int p = 0; p < most; ++p) out[p] = draws[p * LAYOUT_DRAW_LANES + l];
                } else {
                    uint32_t rng[3] = {s0[l], s1[l], s2[l]};
                    for (int p = 0; p < n_push; ++p)
                        out[p] = vorlix_umap_fastmod(vorlix_umap_tau_rand(rng), mod_magic, nv);
                }
                if (far) {
                    for (int p = 0; p < n_push; ++p)
                        __builtin_prefetch(emb + (int64_t)out[p] * dim);
                }
                c->n_samples += n_push;
            }
        }
    }
    flush(w, g, c);
}

// Apply phase over [v_lo, v_hi): every slice added in worker order, the sum
// scaled once, and the slices cleared there for the next sub-step (which the
// second barrier orders before any worker writes its slice again).  In blocks
// so that each loop runs over contiguous floats and vectorises; every
// coordinate still sums 0.0f + slice 0 + slice 1 + ... in that order.
constexpr size_t kApplyBlock = 512;

void apply_slices(float *embedding, float *gbuf, size_t emb_len, int T, size_t v_lo,
                  size_t v_hi, float alpha) {
    float acc[kApplyBlock];
    for (size_t v0 = v_lo; v0 < v_hi; v0 += kApplyBlock) {
        const size_t m = v_hi - v0 < kApplyBlock ? v_hi - v0 : kApplyBlock;
        for (size_t i = 0; i < m; ++i) acc[i] = 0.0f;
        for (int tt = 0; tt < T; ++tt) {
            float *slice = gbuf + (size_t)tt * emb_len + v0;
            for (size_t i = 0; i < m; ++i) acc[i] = acc[i] + slice[i];
            std::memset(slice, 0, m * sizeof(float));
        }
        float *out = embedding + v0;
        for (size_t i = 0; i < m; ++i) out[i] = out[i] + acc[i] * alpha;
    }
}

// The grouped path's view of a worker's sub-steps, summing into slice g.
layout_group_ctx group_context(const layout_worker_args *w, float *g) {
    layout_group_ctx ctx;
    ctx.coeff = w->coeff;
    ctx.emb = w->embedding;
    ctx.g = g;
    ctx.n_vertices = (uint32_t)w->n_vertices;
    ctx.seed = w->seed;
    layout_group_ctx_init(&ctx);
    return ctx;
}

// The learning rate of epoch n.
inline float epoch_alpha(const layout_worker_args *w, int n) {
    return n == 0 ? w->initial_alpha
                  : (1.0f - (float)(n - 1) / (float)w->n_epochs) * w->initial_alpha;
}

void *layout_worker(void *raw) {
    const layout_worker_args *w = (const layout_worker_args *)raw;
    const int T = w->n_threads;
    const int t = w->tid;
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
    chunk c;
    const layout_group_ctx group_ctx = group_context(w, g);
    const layout_group_ctx *grouped =
        layout_group_ready(w->coeff, w->dim) ? &group_ctx : nullptr;

    // Each worker clears its own slice once; from then on every apply phase
    // clears the slices behind it.
    std::memset(g, 0, emb_len * sizeof(float));
    for (int n = 0; n < w->n_epochs; ++n) {
        const float alpha = epoch_alpha(w, n);
        for (int64_t s = 0; s < S; ++s) {
            // Edges congruent to s modulo S; (n_edges - s - 1) / S + 1 is the
            // ceiling without the overflow-prone n_edges - s + S - 1.
            const int64_t K = s < n_edges ? (n_edges - s - 1) / S + 1 : 0;
            int64_t k_lo, k_hi;
            split_range(K, t, T, &k_lo, &k_hi);
            const int64_t base = substep_offset(s, q, r);
            gradient_run(w, g, &c, grouped, n, s, S, base + k_lo, base + k_hi, k_lo, mod_magic);
            // A stop request: worker 0 reads it for all, and the barrier
            // publishes its answer, so every worker leaves after the same
            // barrier and none waits for one that has gone.  Nothing of this
            // sub-step has been applied yet.
            if (t == 0 && w->control) *w->stop = run_stop_requested(w->control);
            if (vorlix_barrier_wait(w->barrier) != 0) return nullptr;
            if (w->control && *w->stop) return nullptr;
            apply_slices(embedding, gbuf, emb_len, T, v_lo, v_hi, alpha);
            if (vorlix_barrier_wait(w->barrier) != 0) return nullptr;
        }
        if (t == 0) run_set(w->control, RUN_EPOCHS_DONE, n + 1);
    }
    return nullptr;
}

// The workers' phases one after the other on the calling thread: worker t's
// gradient phase reads only the frozen embedding and writes only slice t,
// and the apply phases cover disjoint ranges, each coordinate summed over the
// slices in worker order whatever the range, so this gives the threaded
// run's bytes.  For a small layout it is the faster way: there a sub-step is
// a few microseconds of work, less than the two barrier cycles around it.
void run_inline(layout_worker_args *args, int T) {
    const layout_worker_args *w = &args[0];
    const int64_t S = w->n_substeps;
    const int64_t n_edges = w->n_edges;
    const size_t emb_len = w->emb_len;
    const int64_t q = n_edges / S;
    const int64_t r = n_edges % S;
    const uint64_t mod_magic = vorlix_umap_fastmod_magic((uint32_t)w->n_vertices);
    chunk c;
    layout_group_ctx group_ctx = group_context(w, w->gbuf);
    const bool grouped = layout_group_ready(w->coeff, w->dim);

    std::memset(w->gbuf, 0, (size_t)T * emb_len * sizeof(float));
    for (int n = 0; n < w->n_epochs; ++n) {
        const float alpha = epoch_alpha(w, n);
        for (int64_t s = 0; s < S; ++s) {
            const int64_t K = s < n_edges ? (n_edges - s - 1) / S + 1 : 0;
            const int64_t base = substep_offset(s, q, r);
            for (int t = 0; t < T; ++t) {
                int64_t k_lo, k_hi;
                split_range(K, t, T, &k_lo, &k_hi);
                float *g = w->gbuf + (size_t)t * emb_len;
                group_ctx.g = g;
                gradient_run(w, g, &c, grouped ? &group_ctx : nullptr, n, s, S, base + k_lo,
                             base + k_hi, k_lo, mod_magic);
            }
            if (w->control && run_stop_requested(w->control)) {
                *w->stop = 1;
                return;
            }
            apply_slices(w->embedding, w->gbuf, emb_len, T, 0, emb_len, alpha);
        }
        run_set(w->control, RUN_EPOCHS_DONE, n + 1);
    }
}

// Pair updates (edges and their samples) per worker and sub-step below which
// a layout runs inline (run_inline): about ten microseconds of work, the
// cost of the barrier cycles that threads would add.
constexpr double kInlineUpdates = 2048.0;

// The threaded run on eff_threads >= 2 workers.  Returns 0 when it ran to
// completion; -1, with everything freed, every started worker joined and the
// embedding untouched, when a buffer or a thread could not be had; and
// RUN_STATUS_STOPPED when the workers stopped on request.
int run_workers(float *embedding, int n_samples, int dim, const int32_t *head,
                const int32_t *tail, int64_t n_edges, const float *epochs_per_sample,
                int n_epochs, float a, float b, float gamma, float initial_alpha,
                float negative_sample_rate, uint64_t seed, int eff_threads,
                int64_t *control, bool may_run_inline) {
    const int n_substeps = resolve_substeps(n_edges, n_samples);
    const size_t emb_len = (size_t)n_samples * (size_t)dim;

    // Sizes whose byte counts would wrap size_t are allocation failures; the
    // workers' index products rely on T * emb_len fitting as well.
    const size_t T = (size_t)eff_threads;
    const size_t E = (size_t)n_edges;
    const size_t plan_bytes = 2 * sizeof(int32_t) + sizeof(float);  // per edge
    const bool fits = emb_len <= SIZE_MAX / sizeof(float) / T &&
                      (uint64_t)n_edges <= SIZE_MAX / sizeof(double) &&
                      (uint64_t)n_edges <= SIZE_MAX / plan_bytes;
    float *gbuf = fits ? (float *)std::malloc(T * emb_len * sizeof(float)) : nullptr;
    double *eons = fits ? (double *)std::malloc(E * sizeof(double)) : nullptr;
    double *eonn = fits ? (double *)std::malloc(E * sizeof(double)) : nullptr;
    pthread_t *threads = (pthread_t *)std::malloc(T * sizeof(pthread_t));
    layout_worker_args *args = (layout_worker_args *)std::malloc(T * sizeof(layout_worker_args));
    // The plan's three arrays in one block: heads, tails, periods.
    void *plan_block = fits ? std::malloc(E * plan_bytes) : nullptr;
    if (gbuf == nullptr || eons == nullptr || eonn == nullptr ||
        threads == nullptr || args == nullptr || plan_block == nullptr) {
        std::free(plan_block);
        std::free(args);
        std::free(threads);
        std::free(eonn);
        std::free(eons);
        std::free(gbuf);
        return -1;
    }

    layout_coeff coeff;
    layout_coeff_init(&coeff, a, b, gamma);
    edge_plan plan;
    plan.head = (int32_t *)plan_block;
    plan.tail = plan.head + E;
    plan.eps = (float *)(plan.tail + E);

    // Positions in sub-step order: edge i = s + S * k goes to position
    // offset(s) + k, which is simply the running count below.
    // Edge updates per epoch, for the choice of run_inline.
    double due_per_epoch = 0.0;
    {
        int64_t pos = 0;
        for (int64_t s = 0; s < n_substeps; ++s) {
            for (int64_t i = s; i < n_edges; i += n_substeps, ++pos) {
                const double eps = (double)epochs_per_sample[i];
                due_per_epoch += eps >= 1.0 ? 1.0 / eps : 1.0;
                plan.head[pos] = head[i];
                plan.tail[pos] = tail[i];
                plan.eps[pos] = epochs_per_sample[i];
                // +inf: a disabled edge (period <= 0) is never due, which
                // spares the workers a second test.
                eons[pos] = epochs_per_sample[i] <= 0.0f ? HUGE_VAL : eps;
                // The sample period eps / rate is not kept: the workers form
                // it again from the period, the same division.
                eonn[pos] = eps / (double)negative_sample_rate;
            }
        }
    }

    vorlix_barrier_t barrier;
    vorlix_barrier_init(&barrier, eff_threads);
    int stop = 0;
    run_set(control, RUN_EPOCHS_TOTAL, n_epochs);
    run_set(control, RUN_PHASE, RUN_PHASE_LAYOUT);
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
        w->coeff = &coeff;
        w->control = control;
        w->stop = &stop;
    }
    const double updates = due_per_epoch * (1.0 + (double)negative_sample_rate) /
                           ((double)n_substeps * (double)eff_threads);
    bool run_here = may_run_inline && updates < kInlineUpdates;
    int spawned = 0;
    if (run_here) {
        run_inline(args, eff_threads);
    } else {
        for (int t = 0; t < eff_threads; ++t) {
            if (pthread_create(&threads[t], nullptr, layout_worker, &args[t]) != 0) break;
            spawned += 1;
        }
    }

    const bool complete = run_here || spawned == eff_threads;
    // No worker writes the embedding before the first barrier cycle completes,
    // and that cycle needs all eff_threads workers: after an abort the
    // caller's serial run starts from the caller's embedding.
    if (!complete) vorlix_barrier_abort(&barrier);
    for (int t = 0; t < spawned; ++t) pthread_join(threads[t], nullptr);
    vorlix_barrier_destroy(&barrier);
    std::free(plan_block);
    std::free(args);
    std::free(threads);
    std::free(eonn);
    std::free(eons);
    std::free(gbuf);
    if (!complete) return -1;
    return stop ? RUN_STATUS_STOPPED : 0;
}

}  // namespace

int vorlix_umap_optimize_layout_control_f32(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b,
    float gamma, float initial_alpha, float negative_sample_rate, uint64_t seed,
    int n_threads, int64_t *control, int may_run_inline) {
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
    if (eff_threads > 1) {
        const int rc = run_workers(embedding, n_samples, dim, head, tail, n_edges,
                                   epochs_per_sample, n_epochs, a, b, gamma, initial_alpha,
                                   negative_sample_rate, seed, eff_threads, control,
                                   may_run_inline != 0);
        if (rc != -1) return rc;
    }
    // The arguments passed the serial optimiser's own checks above, so its
    // only failure left is its schedule allocation: the layout then did not
    // run at all, which the caller must not mistake for a serial run.
    const int serial = vorlix_umap_optimize_layout_serial_f32(
        embedding, n_samples, dim, head, tail, n_edges, epochs_per_sample, n_epochs, a, b, gamma,
        initial_alpha, negative_sample_rate, seed, control);
    return serial == -2 || serial == RUN_STATUS_STOPPED ? serial : -1;
}

extern "C" QUELMO_API int vorlix_umap_optimize_layout_euclidean_f32_parallel(
    float *embedding, int n_samples, int dim, const int32_t *head, const int32_t *tail,
    int64_t n_edges, const float *epochs_per_sample, int n_epochs, float a, float b,
    float gamma, float initial_alpha, float negative_sample_rate, uint64_t seed,
    int n_threads) {
    return vorlix_umap_optimize_layout_control_f32(
        embedding, n_samples, dim, head, tail, n_edges, epochs_per_sample, n_epochs, a, b, gamma,
        initial_alpha, negative_sample_rate, seed, n_threads, nullptr, 0);
}
