// Neighbour query of new points against a fitted model's training points:
// forest leaves give the first candidates, a best-first search over the
// search graph refines them (the beam search of graph-based indexes, with a
// beam of `ef` points, cut short where no candidate left can come within a
// slack of the k-th nearest found).  Each query runs alone on one thread
// with its own scratch, so its result is the same whatever else the call
// holds.

#include "knn_query.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ext_parallel.h"

namespace {

// Rows evaluated per call of the many-row distance kernel.
constexpr int kBatch = 64;

struct cand {
    float d;
    int32_t id;
};

// Strict total order: distance, then id.  NaN never enters (see clean).
inline bool before(cand a, cand b) { return a.d < b.d || (a.d == b.d && a.id < b.id); }

// A distance that compares: NaN (from inf - inf in an overflowing sum)
// counts as infinitely far.
inline float clean(float d) { return d == d ? d : INFINITY; }

// Binary heaps on `before`: a max-heap keeps the beam (worst at the top), a
// min-heap the candidates to expand (nearest at the top).
template <bool MAX>
inline bool above(cand a, cand b) {
    return MAX ? before(b, a) : before(a, b);
}

template <bool MAX>
void heap_push(cand *h, int64_t *size, cand c) {
    int64_t i = (*size)++;
    while (i > 0) {
        const int64_t p = (i - 1) / 2;
        if (!above<MAX>(c, h[p])) break;
        h[i] = h[p];
        i = p;
    }
    h[i] = c;
}

template <bool MAX>
cand heap_pop(cand *h, int64_t *size) {
    const cand top = h[0];
    const cand last = h[--(*size)];
    const int64_t n = *size;
    int64_t i = 0;
    for (;;) {
        const int64_t l = 2 * i + 1;
        if (l >= n) break;
        int64_t c = l;
        if (l + 1 < n && above<MAX>(h[l + 1], h[l])) c = l + 1;
        if (!above<MAX>(h[c], last)) break;
        h[i] = h[c];
        i = c;
    }
    if (n > 0) h[i] = last;
    return top;
}

// ---------------------------------------------------------------------------
// Search graph

struct graph_job {
    int64_t n;
    int k;
    const int32_t *knn_idx;
    const float *knn_dist;
    int width;
    const int64_t *rev_ptr;
    const int32_t *rev_ids;
    const float *rev_d;
    int64_t max_row;
    int32_t *graph;
};

int graph_worker(void *arg, int64_t i0, int64_t i1, int) {
    const graph_job *g = (const graph_job *)arg;
    cand *row = (cand *)std::malloc((size_t)g->max_row * sizeof(cand));
    if (row == nullptr) return -2;
    for (int64_t i = i0; i < i1; ++i) {
        int64_t cnt = 0;
        for (int j = 0; j < g->k; ++j) {
            const int64_t off = i * g->k + j;
            const int32_t c = g->knn_idx[off];
            if (c < 0 || c >= g->n || c == i) continue;
            row[cnt++] = cand{clean(g->knn_dist[off]), c};
        }
        for (int64_t r = g->rev_ptr[i]; r < g->rev_ptr[i + 1]; ++r)
            row[cnt++] = cand{g->rev_d[r], g->rev_ids[r]};
        std::sort(row, row + cnt, before);
        int32_t *out = g->graph + i * g->width;
        int filled = 0;
        for (int64_t r = 0; r < cnt && filled < g->width; ++r) {
            bool dup = false;
            for (int f = 0; f < filled && !dup; ++f) dup = out[f] == row[r].id;
            if (!dup) out[filled++] = row[r].id;
        }
        for (int f = filled; f < g->width; ++f) out[f] = -1;
    }
    std::free(row);
    return 0;
}

// ---------------------------------------------------------------------------
// Query

struct query_job {
    const float *X;
    const uint8_t *Xb;  // X in byte form, or null
    int64_t stride;     // bytes per row of Xb
    int64_t n;
    int d;
    ext_distance dist;
    const int32_t *graph;
    int width;
    const ext_forest *forest;
    const float *Q;
    const int32_t *exclude;  // one id per query, or null
    int k, ef;
    float slack;  // a candidate farther than slack times the k-th best is of no use
    int32_t *out_idx;
    float *out_dist;
};

struct query_scratch {
    uint32_t *seen;
    uint32_t stamp;
    cand *beam;  // max-heap, ef entries
    int64_t n_beam;
    cand *todo;  // min-heap, at most one entry per training point
    int64_t n_todo;
    cand *best;  // max-heap, the k nearest found
    int64_t n_best;
    int64_t *leaf_first, *leaf_count;  // one per tree
    uint8_t *qb;                       // the query in byte form
    int bytes;                         // whether this query is measured in bytes
};

// Whether candidate c is beyond the slack of the k-th nearest found: then
// neither it nor anything farther can enter the k nearest by way of it.
inline bool out_of_reach(const query_job *job, const query_scratch *s, cand c) {
    return s->n_best == job->k && c.d > s->best[0].d * job->slack;
}

// Offers point id at distance dv to the beam; one that enters it is also
// queued for expansion.
inline void offer(const query_job *job, query_scratch *s, cand c) {
    if (out_of_reach(job, s, c)) return;
    if (s->n_best < job->k || before(c, s->best[0])) {
        if (s->n_best == job->k) heap_pop<true>(s->best, &s->n_best);
        heap_push<true>(s->best, &s->n_best, c);
    }
    if (s->n_beam == job->ef) {
        if (!before(c, s->beam[0])) return;
        heap_pop<true>(s->beam, &s->n_beam);
    }
    heap_push<true>(s->beam, &s->n_beam, c);
    heap_push<false>(s->todo, &s->n_todo, c);
    // Its graph row is read if it is expanded: request it now.
    if (job->width > 0) __builtin_prefetch(job->graph + (int64_t)c.id * job->width);
}

// Distances of the query to the training points ids[0 .. cnt-1] (valid,
// cnt <= kBatch), in byte form where this query has one.
void measure(const query_job *job, const query_scratch *s, const float *q, const int32_t *ids,
             int cnt, float *dv) {
    const float *rows[kBatch];
    const uint8_t *brows[kBatch];
    // Rows are scattered over the training data; requesting them all before
    // the first distance overlaps their loads.
    for (int j = 0; j < cnt; ++j) rows[j] = job->X + (int64_t)ids[j] * job->d;
    if (s->bytes) {
        for (int j = 0; j < cnt; ++j) {
            brows[j] = job->Xb + (int64_t)ids[j] * job->stride;
            __builtin_prefetch(brows[j]);
        }
        job->dist.many_bytes(q, s->qb, rows, brows, cnt, job->d, dv);
    } else {
        for (int j = 0; j < cnt; ++j) __builtin_prefetch(rows[j]);
        job->dist.many(q, rows, cnt, job->d, dv);
    }
}

struct measure_ctx {
    const query_job *job;
    const query_scratch *s;
    const float *q;
};

void measure_pivots(void *arg, const int32_t *ids, int cnt, float *out) {
    const measure_ctx *c = (const measure_ctx *)arg;
    measure(c->job, c->s, c->q, ids, cnt, out);
}

// Evaluates the points ids[0 .. cnt-1] (unseen, valid) and offers them in
// order.  Batching changes no decision: each distance is a value of its own,
// and the offers happen in the same order as one at a time.
inline void offer_batch(const query_job *job, query_scratch *s, const float *q,
                        const int32_t *ids, int cnt) {
    float dv[kBatch];
    measure(job, s, q, ids, cnt, dv);
    for (int j = 0; j < cnt; ++j) offer(job, s, cand{clean(dv[j]), ids[j]});
}

// Marks id seen and appends it to the batch; flushes a full batch.
inline void visit(const query_job *job, query_scratch *s, const float *q, int32_t id,
                  int32_t *ids, int *cnt) {
    if (id < 0 || id >= job->n || s->seen[id] == s->stamp) return;
    s->seen[id] = s->stamp;
    ids[(*cnt)++] = id;
    if (*cnt == kBatch) {
        offer_batch(job, s, q, ids, *cnt);
        *cnt = 0;
    }
}

void query_one(const query_job *job, query_scratch *s, int64_t qi) {
    const float *q = job->Q + qi * job->d;
    if (++s->stamp == 0) {
        std::memset(s->seen, 0, (size_t)job->n * sizeof(uint32_t));
        s->stamp = 1;
    }
    s->n_beam = 0;
    s->n_todo = 0;
    s->n_best = 0;
    // An excluded point counts as met already: never measured, never expanded.
    if (job->exclude != nullptr) {
        const int32_t x = job->exclude[qi];
        if (x >= 0 && x < job->n) s->seen[x] = s->stamp;
    }
    // The byte form gives the same bits, faster: used where both the
    // training data and this query are bytes.
    s->bytes = job->Xb != nullptr && ext_bytes_eligible(q, job->d);
    if (s->bytes) ext_bytes_pack(q, job->d, s->qb);
    int32_t ids[kBatch];
    int cnt = 0;

    const ext_forest *f = job->forest;
    measure_ctx ctx{job, s, q};
    ext_forest_leaves(f, job->n, measure_pivots, &ctx, s->leaf_first, s->leaf_count);
    for (int t = 0; t < f->n_trees; ++t) {
        const int32_t *perm = f->perm + (int64_t)t * job->n + s->leaf_first[t];
        for (int64_t j = 0; j < s->leaf_count[t]; ++j) visit(job, s, q, perm[j], ids, &cnt);
    }
    if (f->n_trees == 0) visit(job, s, q, 0, ids, &cnt);
    if (cnt > 0) offer_batch(job, s, q, ids, cnt);
    cnt = 0;

    while (s->n_todo > 0) {
        const cand c = heap_pop<false>(s->todo, &s->n_todo);
        if (s->n_beam == job->ef && before(s->beam[0], c)) break;
        if (out_of_reach(job, s, c)) break;
        const int32_t *row = job->graph + (int64_t)c.id * job->width;
        for (int j = 0; j < job->width; ++j) visit(job, s, q, row[j], ids, &cnt);
        if (cnt > 0) offer_batch(job, s, q, ids, cnt);
        cnt = 0;
    }

    std::sort(s->beam, s->beam + s->n_beam, before);
    int32_t *oi = job->out_idx + qi * job->k;
    float *od = job->out_dist + qi * job->k;
    for (int j = 0; j < job->k; ++j) {
        const bool have = j < s->n_beam;
        oi[j] = have ? s->beam[j].id : -1;
        od[j] = have ? s->beam[j].d : INFINITY;
    }
}

int query_worker(void *arg, int64_t q0, int64_t q1, int) {
    const query_job *job = (const query_job *)arg;
    query_scratch s;
    s.seen = (uint32_t *)std::malloc((size_t)job->n * sizeof(uint32_t));
    s.beam = (cand *)std::malloc((size_t)job->ef * sizeof(cand));
    s.todo = (cand *)std::malloc((size_t)job->n * sizeof(cand));
    s.best = (cand *)std::malloc((size_t)job->k * sizeof(cand));
    const size_t trees = (size_t)job->forest->n_trees + 1;
    s.leaf_first = (int64_t *)std::malloc(trees * sizeof(int64_t));
    s.leaf_count = (int64_t *)std::malloc(trees * sizeof(int64_t));
    s.qb = (uint8_t *)std::malloc((size_t)job->stride + 1);
    s.stamp = 0;
    int status = -2;
    if (s.seen != nullptr && s.beam != nullptr && s.todo != nullptr && s.best != nullptr &&
        s.leaf_first != nullptr && s.leaf_count != nullptr && s.qb != nullptr) {
        std::memset(s.seen, 0, (size_t)job->n * sizeof(uint32_t));
        for (int64_t qi = q0; qi < q1; ++qi) query_one(job, &s, qi);
        status = 0;
    }
    std::free(s.qb);
    std::free(s.leaf_count);
    std::free(s.leaf_first);
    std::free(s.best);
    std::free(s.todo);
    std::free(s.beam);
    std::free(s.seen);
    return status;
}

}  // namespace

int ext_search_graph(int64_t n, int k, const int32_t *knn_idx, const float *knn_dist,
                     int width, int n_threads, int32_t *graph) {
    if (knn_idx == nullptr || knn_dist == nullptr || graph == nullptr) return -1;
    if (n < 1 || n > INT32_MAX || k < 1 || width < 0) return -1;
    if (width == 0) return 0;
    const int64_t flat = n * (int64_t)k;
    int64_t *rev_ptr = (int64_t *)std::malloc(((size_t)n + 1) * sizeof(int64_t));
    int32_t *rev_ids = (int32_t *)std::malloc((size_t)flat * sizeof(int32_t));
    float *rev_d = (float *)std::malloc((size_t)flat * sizeof(float));
    int status = -2;
    if (rev_ptr != nullptr && rev_ids != nullptr && rev_d != nullptr) {
        std::memset(rev_ptr, 0, ((size_t)n + 1) * sizeof(int64_t));
        // Reverse lists by counting sort: entry (i, c) becomes (c, i), rows
        // and then columns in increasing order.
        for (int64_t off = 0; off < flat; ++off) {
            const int32_t c = knn_idx[off];
            if (c >= 0 && c < n && c != off / k) ++rev_ptr[c + 1];
        }
        int64_t max_in = 0;
        for (int64_t i = 0; i < n; ++i) {
            max_in = std::max(max_in, rev_ptr[i + 1]);
            rev_ptr[i + 1] += rev_ptr[i];
        }
        int64_t *fill = (int64_t *)std::malloc((size_t)n * sizeof(int64_t));
        if (fill != nullptr) {
            std::memcpy(fill, rev_ptr, (size_t)n * sizeof(int64_t));
            for (int64_t off = 0; off < flat; ++off) {
                const int32_t c = knn_idx[off];
                const int64_t i = off / k;
                if (c < 0 || c >= n || c == i) continue;
                rev_ids[fill[c]] = (int32_t)i;
                rev_d[fill[c]++] = clean(knn_dist[off]);
            }
            std::free(fill);
            graph_job g{n, k, knn_idx, knn_dist, width, rev_ptr, rev_ids, rev_d, k + max_in,
                        graph};
            status = ext_parallel_ranges(n, n_threads, graph_worker, &g);
        }
    }
    std::free(rev_d);
    std::free(rev_ids);
    std::free(rev_ptr);
    return status;
}

int ext_knn_query(const float *X, const uint8_t *Xb, int64_t n, int d, int metric,
                  const int32_t *graph, int width, const ext_forest *forest, const float *Q,
                  const int32_t *exclude, int64_t m, int k, int ef, float epsilon,
                  int n_threads, int32_t *out_idx, float *out_dist) {
    if (X == nullptr || Q == nullptr || forest == nullptr || out_idx == nullptr ||
        out_dist == nullptr || (width > 0 && graph == nullptr))
        return -1;
    if (n < 1 || n > INT32_MAX || d < 1 || m < 0 || k < 1 || ef < k || width < 0 ||
        !(epsilon >= 0.0f) ||
        forest->n_trees < 0 || (forest->n_trees > 0 && forest->nodes_per_tree < 1))
        return -1;
    query_job job;
    if (ext_distance_select(metric, &job.dist) != 0) return -1;
    job.X = X;
    job.stride = ext_bytes_stride(d);
    job.Xb = job.dist.many_bytes != nullptr && job.stride > 0 ? Xb : nullptr;
    job.n = n;
    job.d = d;
    job.graph = graph;
    job.width = width;
    job.forest = forest;
    job.Q = Q;
    job.exclude = exclude;
    job.k = k;
    job.ef = ef;
    // The kernel measures squared distances: a slack of 1 + epsilon on the
    // distance is its square on them (infinite epsilon: no cut).
    job.slack = (1.0f + epsilon) * (1.0f + epsilon);
    job.out_idx = out_idx;
    job.out_dist = out_dist;
    return ext_parallel_ranges(m, n_threads, query_worker, &job);
}

namespace {

struct pack_job {
    const float *X;
    int d;
    int64_t stride;
    uint8_t *Xb;
};

int check_worker(void *arg, int64_t i0, int64_t i1, int) {
    const pack_job *job = (const pack_job *)arg;
    const int ok = ext_bytes_eligible(job->X + i0 * job->d, (i1 - i0) * job->d);
    return ok ? 0 : -1;
}

int pack_worker(void *arg, int64_t i0, int64_t i1, int) {
    const pack_job *job = (const pack_job *)arg;
    for (int64_t i = i0; i < i1; ++i)
        ext_bytes_pack(job->X + i * job->d, job->d, job->Xb + i * job->stride);
    return 0;
}

}  // namespace

int ext_bytes_pack_rows(const float *X, int64_t n, int d, int n_threads, uint8_t *Xb) {
    pack_job job{X, d, ext_bytes_stride(d), Xb};
    if (X == nullptr || Xb == nullptr || n < 1 || job.stride == 0) return 0;
    if (ext_parallel_ranges(n, n_threads, check_worker, &job) != 0) return 0;
    ext_parallel_ranges(n, n_threads, pack_worker, &job);
    return 1;
}
