// General-metric approximate k nearest neighbours: random-projection trees
// give each point candidates (all pairs of every leaf), NN-descent refines
// the table, and every distance is the metric's own (metric_kernels.h).
//
// Independence of the thread count.  Rows are bounded heaps keyed on
// (distance, id) with ties broken by id, and a pair's distance is the same
// float however it is computed (the kernels are symmetric bit for bit).  A
// row that is offered a set of candidates therefore ends as the k smallest
// distinct ones, whatever the order of the offers.  So the forest's table is
// the same however the trees are shared out over threads and merged, an
// iteration of the descent (which draws its candidates from a snapshot of the
// table) gives each row the same content whichever thread runs it, and the
// count that stops the descent (entries new in a row after the iteration) is
// the same too.  Each tree draws from its own random stream, seeded from the
// caller's seed and the tree's number.

#include "metric_units.h"

#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// An empty slot: a distance larger than any worth keeping and id -1, which
// compares as the largest id (ids are compared as unsigned).
constexpr float kEmptyDist = 1e30f;
// Largest leaf buffer of packed rows, in floats (8 MB).
constexpr int64_t kLeafRowsFloats = (int64_t)1 << 21;

// The descent stops once an iteration brings fewer than this share of n * k
// new entries.
constexpr double kStopShare = 0.001;

// ---------------------------------------------------------------------------
// Neighbour rows: a max-heap on (distance, id) in hd, hi, with flags hf
// (1 = new since the flags were last cleared) travelling with the entries.

inline bool key_less(float da, int32_t ia, float db, int32_t ib) {
    return da < db || (da == db && (uint32_t)ia < (uint32_t)ib);
}

// Fills the hole at the root of the max-heap [0, size) with (dc, c), flag
// `flag` where the row has flags: the larger child moves up until (dc, c)
// is above both children.
inline void sift_down(float *hd, int32_t *hi, uint8_t *hf, int size, float dc, int32_t c,
                      uint8_t flag) {
    int m = 0;
    for (;;) {
        const int l = 2 * m + 1, r = l + 1;
        int p = -1;
        float pd = dc;
        int32_t pi = c;
        if (l < size && key_less(pd, pi, hd[l], hi[l])) {
            p = l;
            pd = hd[l];
            pi = hi[l];
        }
        if (r < size && key_less(pd, pi, hd[r], hi[r])) p = r;
        if (p < 0) break;
        hd[m] = hd[p];
        hi[m] = hi[p];
        if (hf) hf[m] = hf[p];
        m = p;
    }
    hd[m] = dc;
    hi[m] = c;
    if (hf) hf[m] = flag;
}

// Offers candidate c at distance dc; returns 1 when inserted.  A NaN
// distance fails the first comparison and is never inserted.  DISTINCT: the
// caller guarantees that c is not in the row, so the scan for it is skipped.
template <bool DISTINCT = false>
inline int hpush(float *hd, int32_t *hi, uint8_t *hf, int k, int32_t c, float dc) {
    if (!key_less(dc, c, hd[0], hi[0])) return 0;
    if (!DISTINCT)
        for (int j = 0; j < k; ++j)
            if (hi[j] == c) return 0;
    sift_down(hd, hi, hf, k, dc, c, 1);
    return 1;
}

// Sorts a row that is a max-heap into increasing (distance, id): the
// largest entry moves to the end, the heap shrinks by one, and so on.  Two
// rows holding the same entries end the same, whatever their heap layout.
void sort_row(float *hd, int32_t *hi, int k) {
    for (int end = k - 1; end > 0; --end) {
        const float td = hd[end];
        const int32_t ti = hi[end];
        hd[end] = hd[0];
        hi[end] = hi[0];
        sift_down(hd, hi, nullptr, end, td, ti, 0);
    }
}

inline void rows_clear(float *hd, int32_t *hi, uint8_t *hf, int64_t count) {
    for (int64_t j = 0; j < count; ++j) {
        hd[j] = kEmptyDist;
        hi[j] = -1;
        if (hf) hf[j] = 1;
    }
}

// ---------------------------------------------------------------------------
// Threads: one helper for every phase.  Runs fn on each of count records
// (stride bytes apart) on its own thread, or in the calling thread when no
// thread can be created, and joins them all.  Returns -2 when the handle
// array cannot be allocated (nothing run), else 0.

int run_workers(int count, void *(*fn)(void *), void *records, size_t stride) {
    pthread_t *th = (pthread_t *)std::malloc((size_t)count * sizeof(pthread_t));
    uint8_t *started = (uint8_t *)std::malloc((size_t)count);
    if (!th || !started) {
        std::free(started);
        std::free(th);
        return -2;
    }
    for (int e = 0; e < count; ++e) {
        void *rec = (char *)records + (size_t)e * stride;
        started[e] = pthread_create(&th[e], nullptr, fn, rec) == 0;
        if (!started[e]) fn(rec);
    }
    for (int e = 0; e < count; ++e)
        if (started[e]) pthread_join(th[e], nullptr);
    std::free(started);
    std::free(th);
    return 0;
}

// Contiguous split of n items over m workers: the first n % m get one more.
inline void split_range(int64_t n, int m, int e, int64_t *lo, int64_t *hi) {
    const int64_t base = n / m, rem = n % m;
    *lo = e * base + (e < rem ? e : rem);
    *hi = *lo + base + (e < rem ? 1 : 0);
}

// Threads of a call: n_threads, or the online processors when it is 0 or
// less, and never more than the larger of the processors and 16.  Each
// descent worker keeps a stamp per point, so a thread count far above the
// processors would only cost memory; the result does not depend on it.
int resolve_threads(int n_threads) {
    const long cpus = metric_online_cpus();
    const long cap = cpus > 16 ? cpus : 16;
    const long want = n_threads > 0 ? (long)n_threads : cpus;
    return (int)(want < cap ? want : cap);
}

// ---------------------------------------------------------------------------
// Random streams (SplitMix64).

inline uint64_t sm64(uint64_t *s) {
    *s += 0x9E3779B97F4A7C15ULL;
    uint64_t z = *s;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

inline uint64_t tree_seed(uint64_t seed, int tree) {
    uint64_t s = seed ^ ((uint64_t)(tree + 1) * 0xD1B54A32D192ED03ULL);
    return sm64(&s);
}

// ---------------------------------------------------------------------------
// Forest

struct job {
    const metric *m;
    const points *s;
    int n, k, leaf, pattern;
    uint64_t seed;
    const uint64_t *groups;  // group_masks of s, or null
    int64_t gwords;          // words per row of groups
};

struct tree_work {
    const job *j;
    int t0, t1;
    float *hd;  // the thread's table (n * k)
    int32_t *hi;
    int32_t *order;  // receives the leaf order of tree t0, or null
    int status;
};

struct tree_ctx {
    const job *j;
    float *hd;
    int32_t *hi;
    double *pv;      // projections (n)
    float *scratch;  // direction and kernel scratch (all zero between uses)
    float *ldist;    // one leaf row of distances (leaf)
    // With j->groups: a leaf's rows packed without their common zero
    // groups (leaf * d floats), the ids 0 .. leaf - 1, and gwords of scratch.
    float *lrows;
    int32_t *lids;
    uint64_t *lany;
};

// Reorders pv[0 .. n) with idx so that rank `target` sits at target, nothing
// before it larger and nothing after it smaller (quickselect, pivots drawn
// from the tree's stream).
void select_rank(double *pv, int32_t *idx, int n, int target, uint64_t *rng) {
    int lo = 0, hi = n - 1;
    while (lo < hi) {
        const int p = lo + (int)(sm64(rng) % (uint64_t)(hi - lo + 1));
        const double pivot = pv[p];
        double tv = pv[p];
        pv[p] = pv[lo];
        pv[lo] = tv;
        int32_t ti = idx[p];
        idx[p] = idx[lo];
        idx[lo] = ti;
        int store = lo;
        for (int i = lo + 1; i <= hi; ++i)
            if (pv[i] < pivot) {
                ++store;
                tv = pv[store];
                pv[store] = pv[i];
                pv[i] = tv;
                ti = idx[store];
                idx[store] = idx[i];
                idx[i] = ti;
            }
        tv = pv[lo];
        pv[lo] = pv[store];
        pv[store] = tv;
        ti = idx[lo];
        idx[lo] = idx[store];
        idx[store] = ti;
        if (store == target) break;
        if (store < target)
            lo = store + 1;
        else
            hi = store - 1;
    }
}

// The dense kernels whose every term of two zero coordinates is +0 and whose
// result depends on the columns only through their lane sums (or maxima): a
// lane starts at +0 and gains terms >= +0, so it is never -0 and a +0 term
// leaves it unchanged, whichever lanes the group of sixteen feeds.  (hamming
// divides by the column count, the set metrics read bits.)
bool zero_groups_add_nothing(const metric *m, const points *s) {
    if (m->sparse || !s->X || s->bytes || s->bits) return false;
    switch (m->id) {
        case METRIC_SQEUCLIDEAN:
        case METRIC_MANHATTAN:
        case METRIC_CHEBYSHEV:
        case METRIC_MINKOWSKI:
        case METRIC_CANBERRA:
        case METRIC_BRAYCURTIS:
            return true;
        default:
            return false;
    }
}

// True when the 16 floats at x are all +0 or -0.
inline bool zero_group(const float *x) {
    uint32_t any = 0;
    for (int e = 0; e < 16; ++e) {
        uint32_t bits;
        std::memcpy(&bits, x + e, sizeof bits);
        any |= bits << 1;  // the sign bit shifted out: -0 is a zero
    }
    return any == 0;
}

// Bit g of row i's words is set when the group of sixteen columns g of row i
// holds a value other than +0 or -0.  Null when a sample of rows shows few
// zero groups (a leaf keeps every group that one of its rows needs, so then
// nothing would be left out), when a value is not finite (chebyshev's maximum
// lets a later +0 term replace a NaN, so leaving a zero group out would keep
// one), or when out of memory: the masks only save time.
uint64_t *group_masks(const points *s, int64_t words) {
    const int n = s->n;
    const int64_t d = s->d, ng = d / 16;
    if (ng == 0) return nullptr;
    const int sample = n < 256 ? n : 256;
    int64_t zero = 0;
    for (int r = 0; r < sample; ++r) {
        const float *x = s->X + (int64_t)r * (n / sample) * d;
        for (int64_t g = 0; g < ng; ++g) zero += zero_group(x + 16 * g);
    }
    if (zero * 4 < (int64_t)sample * ng) return nullptr;
    uint64_t *masks = (uint64_t *)std::calloc((size_t)n * (size_t)words, sizeof(uint64_t));
    if (!masks) return nullptr;
    uint32_t nonfinite = 0;
    for (int64_t i = 0; i < n; ++i) {
        const float *x = s->X + i * d;
        for (int64_t g = 0; g < ng; ++g)
            masks[i * words + (g >> 6)] |= (uint64_t)!zero_group(x + 16 * g) << (g & 63);
        for (int64_t t = 0; t < d; ++t) {
            uint32_t bits;
            std::memcpy(&bits, x + t, sizeof bits);
            nonfinite |= (uint32_t)((bits & 0x7F800000u) == 0x7F800000u);
        }
    }
    if (nonfinite) {
        std::free(masks);
        return nullptr;
    }
    return masks;
}

// Copies rows ids[0 .. m) into c->lrows without the groups of sixteen
// columns that are zero in all of them, and returns the packed row length, or
// 0 (nothing copied) when too few groups would go.  The partial last group
// stays last, so every lane folds the same terms less some +0 ones: the
// distances of the packed rows are those of the rows (zero_groups_add_nothing).
int64_t pack_leaf(tree_ctx *c, const int32_t *ids, int m) {
    const job *j = c->j;
    const int64_t d = j->s->d, ng = d / 16, rest = d - 16 * ng, words = j->gwords;
    for (int64_t w = 0; w < words; ++w) c->lany[w] = 0;
    for (int a = 0; a < m; ++a)
        for (int64_t w = 0; w < words; ++w) c->lany[w] |= j->groups[(int64_t)ids[a] * words + w];
    int64_t kept = 0;
    for (int64_t w = 0; w < words; ++w) kept += __builtin_popcountll(c->lany[w]);
    if (kept == ng || kept > ng - ng / 8) return 0;
    const int64_t d2 = 16 * kept + rest;
    for (int a = 0; a < m; ++a) {
        const float *src = j->s->X + (int64_t)ids[a] * d;
        float *dst = c->lrows + (int64_t)a * d2;
        for (int64_t w = 0; w < words; ++w)
            for (uint64_t bits = c->lany[w]; bits; bits &= bits - 1) {
                std::memcpy(dst, src + 16 * (64 * w + __builtin_ctzll(bits)), 16 * sizeof(float));
                dst += 16;
            }
        std::memcpy(dst, src + 16 * ng, (size_t)rest * sizeof(float));
    }
    return d2;
}

// Every pair of the leaf, its distance computed once and offered to both rows.
void leaf_pairs(tree_ctx *c, const int32_t *ids, int m) {
    const job *j = c->j;
    const int k = j->k;
    // Rows with many zero groups in common are packed first: a leaf's rows
    // are alike, and each is read m - 1 times.
    points packed = {};
    const int64_t d2 = c->lrows ? pack_leaf(c, ids, m) : 0;
    if (d2 > 0) {
        packed.n = m;
        packed.d = d2;
        packed.X = c->lrows;
    }
    for (int a = 0; a + 1 < m; ++a) {
        if (d2 > 0)
            j->m->many(j->m, &packed, a, &packed, c->lids + a + 1, m - a - 1, c->ldist,
                       c->scratch);
        else
            j->m->many(j->m, j->s, ids[a], j->s, ids + a + 1, m - a - 1, c->ldist, c->scratch);
        const int32_t u = ids[a];
        for (int b = a + 1; b < m; ++b) {
            const int32_t v = ids[b];
            const float dd = c->ldist[b - a - 1];
            hpush(c->hd + (int64_t)u * k, c->hi + (int64_t)u * k, nullptr, k, v, dd);
            hpush(c->hd + (int64_t)v * k, c->hi + (int64_t)v * k, nullptr, k, u, dd);
        }
    }
}

// Splits idx[lo .. hi) at the median of the projections on the direction
// between two random members, down to leaves of at most `leaf` points.
void split(tree_ctx *c, int32_t *idx, int lo, int hi, uint64_t *rng) {
    const int m = hi - lo;
    if (m <= c->j->leaf) {
        leaf_pairs(c, idx + lo, m);
        return;
    }
    const int ia = (int)(sm64(rng) % (uint64_t)m);
    int ib;
    do {
        ib = (int)(sm64(rng) % (uint64_t)m);
    } while (ib == ia);
    metric_project(c->j->m, c->j->s, c->j->pattern, idx[lo + ia], idx[lo + ib], idx + lo, m,
                   c->pv, c->scratch);
    const int mid = m / 2;
    select_rank(c->pv, idx + lo, m, mid, rng);
    split(c, idx, lo, lo + mid, rng);
    split(c, idx, lo + mid, hi, rng);
}

void *tree_worker(void *arg) {
    tree_work *w = (tree_work *)arg;
    const job *j = w->j;
    const int n = j->n;
    rows_clear(w->hd, w->hi, nullptr, (int64_t)n * j->k);
    // The direction of a split (d floats), then the kernels' own scratch; the
    // two are never in use at once.
    const int64_t kernel = metric_scratch_floats(j->m, j->s->d);
    const int64_t nscratch = kernel > j->s->d ? kernel : j->s->d;
    int32_t *idx = (int32_t *)std::malloc((size_t)n * sizeof(int32_t));
    double *pv = (double *)std::malloc((size_t)n * sizeof(double));
    float *scratch = (float *)std::calloc((size_t)nscratch, sizeof(float));
    float *ldist = (float *)std::malloc((size_t)j->leaf * sizeof(float));
    // The packed leaves only save time: without their buffers the leaves
    // read the rows where they are.
    float *lrows = nullptr;
    int32_t *lids = nullptr;
    uint64_t *lany = nullptr;
    if (j->groups && (int64_t)j->leaf * j->s->d <= kLeafRowsFloats) {
        lrows = (float *)std::malloc((size_t)j->leaf * (size_t)j->s->d * sizeof(float));
        lids = (int32_t *)std::malloc((size_t)j->leaf * sizeof(int32_t));
        lany = (uint64_t *)std::malloc((size_t)j->gwords * sizeof(uint64_t));
        if (lids)
            for (int i = 0; i < j->leaf; ++i) lids[i] = i;
    }
    w->status = idx && pv && scratch && ldist ? 0 : -2;
    if (w->status == 0) {
        tree_ctx c = {j, w->hd, w->hi, pv, scratch, ldist, nullptr, nullptr, nullptr};
        if (lrows && lids && lany) {
            c.lrows = lrows;
            c.lids = lids;
            c.lany = lany;
        }
        for (int t = w->t0; t < w->t1; ++t) {
            uint64_t rng = tree_seed(j->seed, t);
            for (int i = 0; i < n; ++i) idx[i] = i;
            split(&c, idx, 0, n, &rng);
            if (t == w->t0 && w->order) std::memcpy(w->order, idx, (size_t)n * sizeof(int32_t));
        }
    }
    std::free(lany);
    std::free(lids);
    std::free(lrows);
    std::free(ldist);
    std::free(scratch);
    std::free(pv);
    std::free(idx);
    return nullptr;
}

struct merge_work {
    int64_t i0, i1;
    int k, parts;
    float **thd;
    int32_t **thi;
    float *hd;
    int32_t *hi;
    uint8_t *hf;
};

void *merge_worker(void *arg) {
    merge_work *w = (merge_work *)arg;
    const int k = w->k;
    for (int64_t i = w->i0; i < w->i1; ++i) {
        const int64_t off = i * k;
        rows_clear(w->hd + off, w->hi + off, w->hf + off, k);
        for (int e = 0; e < w->parts; ++e)
            for (int q = 0; q < k; ++q) {
                const int32_t c = w->thi[e][off + q];
                if (c >= 0) hpush(w->hd + off, w->hi + off, w->hf + off, k, c, w->thd[e][off + q]);
            }
    }
    return nullptr;
}

// Builds the trees on teff threads into private tables and merges them into
// hd, hi (every entry flagged new); order receives the leaf order of tree 0.
// Returns 0 or -2.
int forest(const job *j, int n_trees, int n_threads, float *hd, int32_t *hi, uint8_t *hf,
           int32_t *order) {
    const int n = j->n, k = j->k;
    const size_t nk = (size_t)n * (size_t)k;
    const int teff = n_threads < n_trees ? n_threads : n_trees;
    tree_work *tw = (tree_work *)std::calloc((size_t)teff, sizeof(tree_work));
    float **thd = (float **)std::calloc((size_t)teff, sizeof(float *));
    int32_t **thi = (int32_t **)std::calloc((size_t)teff, sizeof(int32_t *));
    int rc = tw && thd && thi ? 0 : -2;
    for (int e = 0; rc == 0 && e < teff; ++e) {
        thd[e] = (float *)std::malloc(nk * sizeof(float));
        thi[e] = (int32_t *)std::malloc(nk * sizeof(int32_t));
        if (!thd[e] || !thi[e]) rc = -2;
        int64_t t0, t1;
        split_range(n_trees, teff, e, &t0, &t1);
        tw[e] = {j, (int)t0, (int)t1, thd[e], thi[e], e == 0 ? order : nullptr, 0};
    }
    if (rc == 0) rc = run_workers(teff, tree_worker, tw, sizeof(tree_work));
    for (int e = 0; rc == 0 && e < teff; ++e)
        if (tw[e].status != 0) rc = -2;
    if (rc == 0) {
        const int meff = n_threads < n ? n_threads : n;
        merge_work *mw = (merge_work *)std::malloc((size_t)meff * sizeof(merge_work));
        if (!mw) rc = -2;
        for (int e = 0; rc == 0 && e < meff; ++e) {
            int64_t i0, i1;
            split_range(n, meff, e, &i0, &i1);
            mw[e] = {i0, i1, k, teff, thd, thi, hd, hi, hf};
        }
        if (rc == 0) rc = run_workers(meff, merge_worker, mw, sizeof(merge_work));
        std::free(mw);
    }
    for (int e = 0; thd && thi && e < teff; ++e) {
        std::free(thi[e]);
        std::free(thd[e]);
    }
    std::free(thi);
    std::free(thd);
    std::free(tw);
    return rc;
}

// ---------------------------------------------------------------------------
// NN-descent
//
// Each iteration joins, for every point v, the members of its neighbourhood
// (its neighbours and the points that list it, its reverse neighbours) pair by
// pair, but only pairs with at least one link still new (inserted in the
// previous iteration); new links are the ones whose joins have not been made.
// Seen from a row p, that offers p every q that shares a neighbourhood with p:
// q in N(v) or R(v) for v in N(p) or R(p), each pair when the link p-v or the
// link v-q is new.  Rows are updated from a snapshot of the table taken at the
// start of the iteration, so the iteration's outcome is fixed before it runs.

// Reverse lists: for each point up to cap points that list it, new links
// first, each group in increasing order of the listing point.  Sparse data
// keeps 2 k of them, dense data k: in many dimensions some points are listed
// by far more than k others, and the lists they lose cost more recall there
// (on the TF-IDF matrix of the benchmarks, 2 k turn 95.6% into 96.5% under
// jaccard for 16% more time; on MNIST they buy a tenth of a point).
struct reverse_lists {
    int cap;
    int32_t *id;  // n * cap
    uint8_t *nw;  // n * cap: 1 when the link is new
    int *count;   // n
};

void build_reverse(const int32_t *sh, const uint8_t *sf, int n, int k, reverse_lists *r) {
    std::memset(r->count, 0, (size_t)n * sizeof(int));
    for (int pass = 1; pass >= 0; --pass)
        for (int64_t p = 0; p < n; ++p)
            for (int l = 0; l < k; ++l) {
                const int64_t at = p * k + l;
                const int32_t v = sh[at];
                if (v < 0 || sf[at] != pass || r->count[v] >= r->cap) continue;
                r->id[(int64_t)v * r->cap + r->count[v]] = (int32_t)p;
                r->nw[(int64_t)v * r->cap + r->count[v]] = (uint8_t)pass;
                r->count[v] += 1;
            }
}

struct desc_work {
    const job *j;
    int64_t i0, i1;        // positions in order
    const int32_t *order;  // rows in the order they are visited
    const int32_t *sh;     // snapshot of the ids at the start of the iteration
    const uint8_t *sf;     // snapshot of the flags
    const reverse_lists *rev;
    float *hd;
    int32_t *hi;
    uint8_t *hf;
    // Thread scratch, kept over the iterations: candidates and their
    // distances, a stamp per point (the last row it was offered to) and the
    // kernels' scratch.
    int32_t *cand;
    float *cdist;
    uint32_t *mark;
    uint32_t stamp;
    float *scratch;
    int64_t fresh;  // entries new in the rows after this iteration
};

// Candidates of row p reached through point v, whose link to p is new when
// pv_new is set.  A candidate is taken once per row (mark), and never when
// it is in the row already: the row's end state is the k smallest distinct
// candidates, so repeats cannot change it.
inline int gather_via(desc_work *w, int64_t v, int pv_new, uint32_t stamp, int nc) {
    const int k = w->j->k;
    const int32_t *nb = w->sh + v * k;
    const uint8_t *nf = w->sf + v * k;
    for (int b = 0; b < k; ++b) {
        const int32_t q = nb[b];
        if (q < 0 || !(pv_new | nf[b]) || w->mark[q] == stamp) continue;
        w->mark[q] = stamp;
        w->cand[nc++] = q;
    }
    const int32_t *rb = w->rev->id + v * w->rev->cap;
    const uint8_t *rf = w->rev->nw + v * w->rev->cap;
    for (int b = 0; b < w->rev->count[v]; ++b) {
        const int32_t q = rb[b];
        if (!(pv_new | rf[b]) || w->mark[q] == stamp) continue;
        w->mark[q] = stamp;
        w->cand[nc++] = q;
    }
    return nc;
}

void *desc_worker(void *arg) {
    desc_work *w = (desc_work *)arg;
    const job *j = w->j;
    const int n = j->n, k = j->k;
    int64_t fresh = 0;
    for (int64_t pos = w->i0; pos < w->i1; ++pos) {
        const int64_t p = w->order[pos];
        const int64_t off = p * k;
        float *rd = w->hd + off;
        int32_t *ri = w->hi + off;
        uint8_t *rf = w->hf + off;
        if (++w->stamp == 0) {  // wrapped: no mark may match a stale stamp
            std::memset(w->mark, 0, (size_t)n * sizeof(uint32_t));
            w->stamp = 1;
        }
        const uint32_t stamp = w->stamp;
        w->mark[p] = stamp;
        for (int a = 0; a < k; ++a)
            if (ri[a] >= 0) w->mark[ri[a]] = stamp;
        int nc = 0;
        // Reverse neighbours joined directly with p (the pair p-v itself).
        const int64_t roff = p * w->rev->cap;
        for (int a = 0; a < w->rev->count[p]; ++a) {
            const int32_t v = w->rev->id[roff + a];
            if (!w->rev->nw[roff + a] || w->mark[v] == stamp) continue;
            w->mark[v] = stamp;
            w->cand[nc++] = v;
        }
        for (int a = 0; a < k; ++a)
            if (w->sh[off + a] >= 0) nc = gather_via(w, w->sh[off + a], w->sf[off + a], stamp, nc);
        for (int a = 0; a < w->rev->count[p]; ++a)
            nc = gather_via(w, w->rev->id[roff + a], w->rev->nw[roff + a], stamp, nc);
        if (nc > 0) {
            j->m->many(j->m, j->s, p, j->s, w->cand, nc, w->cdist, w->scratch);
            // Marked candidates are distinct and none is in the row.
            for (int q = 0; q < nc; ++q) hpush<true>(rd, ri, rf, k, w->cand[q], w->cdist[q]);
        }
        for (int a = 0; a < k; ++a) fresh += rf[a];
    }
    w->fresh = fresh;
    return nullptr;
}

// Rows are visited in the leaf order of a tree: consecutive rows then share
// most of their candidates, whose data is still in the cache.  The order of
// the rows cannot change a row's outcome.
int descent(const job *j, int n_iters, int n_threads, const int32_t *order, float *hd,
            int32_t *hi, uint8_t *hf) {
    const int n = j->n, k = j->k;
    const size_t nk = (size_t)n * (size_t)k;
    const int deff = n_threads < n ? n_threads : n;
    reverse_lists rev;
    rev.cap = j->s->indptr ? 2 * k : k;
    const size_t ncap = (size_t)n * (size_t)rev.cap;
    // Direct reverse links, then through each of the k + cap points of a
    // neighbourhood its k neighbours and cap reverse neighbours.
    const size_t ncand = (size_t)rev.cap + ((size_t)k + rev.cap) * ((size_t)k + rev.cap);
    int32_t *sh = (int32_t *)std::malloc(nk * sizeof(int32_t));
    uint8_t *sf = (uint8_t *)std::malloc(nk);
    rev.id = (int32_t *)std::malloc(ncap * sizeof(int32_t));
    rev.nw = (uint8_t *)std::malloc(ncap);
    rev.count = (int *)std::malloc((size_t)n * sizeof(int));
    desc_work *dw = (desc_work *)std::calloc((size_t)deff, sizeof(desc_work));
    int rc = sh && sf && rev.id && rev.nw && rev.count && dw ? 0 : -2;
    for (int e = 0; rc == 0 && e < deff; ++e) {
        desc_work *w = &dw[e];
        w->j = j;
        split_range(n, deff, e, &w->i0, &w->i1);
        w->order = order;
        w->sh = sh;
        w->sf = sf;
        w->rev = &rev;
        w->hd = hd;
        w->hi = hi;
        w->hf = hf;
        w->cand = (int32_t *)std::malloc(ncand * sizeof(int32_t));
        w->cdist = (float *)std::malloc(ncand * sizeof(float));
        w->mark = (uint32_t *)std::calloc((size_t)n, sizeof(uint32_t));
        w->scratch = (float *)std::calloc((size_t)metric_scratch_floats(j->m, j->s->d) + 1,
                                          sizeof(float));
        if (!w->cand || !w->cdist || !w->mark || !w->scratch) rc = -2;
    }
    const int64_t threshold = (int64_t)(kStopShare * (double)n * (double)k);
    for (int it = 0; rc == 0 && it < n_iters; ++it) {
        std::memcpy(sh, hi, nk * sizeof(int32_t));
        std::memcpy(sf, hf, nk);
        std::memset(hf, 0, nk);
        build_reverse(sh, sf, n, k, &rev);
        rc = run_workers(deff, desc_worker, dw, sizeof(desc_work));
        int64_t fresh = 0;
        for (int e = 0; e < deff; ++e) fresh += dw[e].fresh;
        if (fresh <= threshold) break;
    }
    for (int e = 0; dw && e < deff; ++e) {
        std::free(dw[e].scratch);
        std::free(dw[e].mark);
        std::free(dw[e].cdist);
        std::free(dw[e].cand);
    }
    std::free(dw);
    std::free(rev.count);
    std::free(rev.nw);
    std::free(rev.id);
    std::free(sf);
    std::free(sh);
    return rc;
}

// ---------------------------------------------------------------------------
// All pairs between two sets.

struct cross_work {
    const metric *m;
    const points *qs, *ps;
    int64_t i0, i1;
    const int32_t *all;  // 0 .. ps->n - 1
    float *out;
    int status;
};

void *cross_worker(void *arg) {
    cross_work *w = (cross_work *)arg;
    float *scratch = (float *)std::calloc((size_t)metric_scratch_floats(w->m, w->ps->d) + 1,
                                          sizeof(float));
    w->status = scratch ? 0 : -2;
    for (int64_t i = w->i0; scratch && i < w->i1; ++i)
        w->m->many(w->m, w->qs, i, w->ps, w->all, w->ps->n, w->out + i * w->ps->n, scratch);
    std::free(scratch);
    return nullptr;
}

}  // namespace

int metric_knn(const metric *m, const points *s, int k, int n_trees, int n_iters, int leaf_size,
               int tree_pattern, uint64_t seed, int n_threads, int32_t *knn_idx,
               float *knn_dist) {
    const int n = s->n;
    if (n <= 0 || s->d <= 0 || k <= 0 || k >= n) return -1;
    const int threads = resolve_threads(n_threads);
    job j;
    j.m = m;
    j.s = s;
    j.n = n;
    j.k = k;
    // Leaves hold at least two points and, like a row, room for k neighbours.
    j.leaf = leaf_size > k + 1 ? leaf_size : k + 1;
    j.pattern = tree_pattern;
    j.seed = seed;
    j.gwords = (s->d / 16 + 63) / 64;
    uint64_t *groups = zero_groups_add_nothing(m, s) ? group_masks(s, j.gwords) : nullptr;
    j.groups = groups;
    uint8_t *hf = (uint8_t *)std::malloc((size_t)n * (size_t)k);
    int32_t *order = (int32_t *)std::malloc((size_t)n * sizeof(int32_t));
    int rc = hf && order ? 0 : -2;
    if (rc == 0) rc = forest(&j, n_trees > 0 ? n_trees : 1, threads, knn_dist, knn_idx, hf, order);
    if (rc == 0)
        rc = descent(&j, n_iters > 0 ? n_iters : 1, threads, order, knn_dist, knn_idx, hf);
    if (rc == 0)
        for (int64_t i = 0; i < n; ++i) sort_row(knn_dist + i * k, knn_idx + i * k, k);
    std::free(order);
    std::free(hf);
    std::free(groups);
    return rc;
}

int metric_cross(const metric *m, const points *qs, const points *ps, int n_threads,
                 float *out) {
    if (qs->n <= 0 || ps->n <= 0) return 0;
    const int threads = resolve_threads(n_threads);
    const int teff = threads < qs->n ? threads : qs->n;
    int32_t *all = (int32_t *)std::malloc((size_t)ps->n * sizeof(int32_t));
    cross_work *cw = (cross_work *)std::malloc((size_t)teff * sizeof(cross_work));
    int rc = all && cw ? 0 : -2;
    if (rc == 0) {
        for (int i = 0; i < ps->n; ++i) all[i] = i;
        for (int e = 0; e < teff; ++e) {
            cw[e] = {m, qs, ps, 0, 0, all, out, 0};
            split_range(qs->n, teff, e, &cw[e].i0, &cw[e].i1);
        }
        rc = run_workers(teff, cross_worker, cw, sizeof(cross_work));
        for (int e = 0; rc == 0 && e < teff; ++e)
            if (cw[e].status != 0) rc = -2;
    }
    std::free(cw);
    std::free(all);
    return rc;
}
