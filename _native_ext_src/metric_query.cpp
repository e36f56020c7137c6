// Graph query of new points under the general metrics.  The pool is a small
// array kept sorted by (distance, id), each entry flagged once its graph row
// has been read; the nearest unexpanded entry is found from a cursor below
// which every entry is expanded.  One query runs on one thread with its own
// scratch, so nothing about it depends on the rest of the call.

#include "metric_query.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "ext_parallel.h"

namespace {

struct entry {
    float d;
    int32_t id;
    int32_t expanded;
};

// Strict total order: distance, then id.
inline bool before(float da, int32_t ia, float db, int32_t ib) {
    return da < db || (da == db && ia < ib);
}

// A distance that orders like the metric: NaN counts as infinitely far, and
// rounding below zero (or -0) reads as +0, as the exact scan reads it.
inline float tidy(float d) {
    if (d != d) return INFINITY;
    return d > 0.0f ? d : 0.0f;
}

struct query_job {
    const metric *m;
    const points *qs;
    const points *ps;
    const int32_t *graph;
    int width;
    const int32_t *seeds;
    int n_seeds;
    int k, pool;
    int32_t *out_idx;
    float *out_dist;
};

struct query_scratch {
    uint32_t *seen;  // stamp of the last query that met each training point
    uint32_t stamp;
    entry *pool;
    int size;    // entries in the pool
    int cursor;  // every entry below it is expanded
    int32_t *ids;
    float *dist;
    float *kernel;  // the metric's scratch, all zero between calls
};

// Offers training point id at distance d to the pool.
void offer(const query_job *job, query_scratch *s, float d, int32_t id) {
    int pos = s->size;
    if (pos == job->pool) {
        const entry &worst = s->pool[pos - 1];
        if (!before(d, id, worst.d, worst.id)) return;
        --pos;  // the worst leaves
    } else {
        ++s->size;
    }
    while (pos > 0 && before(d, id, s->pool[pos - 1].d, s->pool[pos - 1].id)) {
        s->pool[pos] = s->pool[pos - 1];
        --pos;
    }
    s->pool[pos] = entry{d, id, 0};
    if (pos < s->cursor) s->cursor = pos;
}

// Measures the points ids[0 .. cnt) from query q and offers them in order.
void measure(const query_job *job, query_scratch *s, int64_t q, int cnt) {
    if (cnt == 0) return;
    job->m->many(job->m, job->qs, q, job->ps, s->ids, cnt, s->dist, s->kernel);
    for (int j = 0; j < cnt; ++j) offer(job, s, tidy(s->dist[j]), s->ids[j]);
}

void query_one(const query_job *job, query_scratch *s, int64_t q) {
    const int64_t n = job->ps->n;
    if (++s->stamp == 0) {
        std::memset(s->seen, 0, (size_t)n * sizeof(uint32_t));
        s->stamp = 1;
    }
    s->size = 0;
    s->cursor = 0;
    int cnt = 0;
    for (int j = 0; j < job->n_seeds; ++j) {
        const int32_t id = job->seeds[j];
        if (id < 0 || id >= n || s->seen[id] == s->stamp) continue;
        s->seen[id] = s->stamp;
        s->ids[cnt++] = id;
    }
    measure(job, s, q, cnt);
    for (;;) {
        while (s->cursor < s->size && s->pool[s->cursor].expanded) ++s->cursor;
        if (s->cursor == s->size) break;
        entry *e = &s->pool[s->cursor];
        e->expanded = 1;
        const int32_t *row = job->graph + (int64_t)e->id * job->width;
        cnt = 0;
        for (int j = 0; j < job->width; ++j) {
            const int32_t id = row[j];
            if (id < 0 || id >= n || s->seen[id] == s->stamp) continue;
            s->seen[id] = s->stamp;
            s->ids[cnt++] = id;
        }
        measure(job, s, q, cnt);
    }
    int32_t *oi = job->out_idx + q * job->k;
    float *od = job->out_dist + q * job->k;
    for (int j = 0; j < job->k; ++j) {
        oi[j] = j < s->size ? s->pool[j].id : -1;
        od[j] = j < s->size ? s->pool[j].d : INFINITY;
    }
}

int query_range(void *ctx, int64_t begin, int64_t end, int) {
    const query_job *job = (const query_job *)ctx;
    const int64_t n = job->ps->n;
    const int batch = job->n_seeds > job->width ? job->n_seeds : job->width;
    query_scratch s = {};
    s.seen = (uint32_t *)std::calloc((size_t)n, sizeof(uint32_t));
    s.pool = (entry *)std::malloc((size_t)job->pool * sizeof(entry));
    s.ids = (int32_t *)std::malloc((size_t)batch * sizeof(int32_t));
    s.dist = (float *)std::malloc((size_t)batch * sizeof(float));
    s.kernel = (float *)std::calloc((size_t)metric_scratch_floats(job->m, job->ps->d) + 1,
                                    sizeof(float));
    int rc = s.seen && s.pool && s.ids && s.dist && s.kernel ? 0 : -2;
    for (int64_t q = begin; rc == 0 && q < end; ++q) query_one(job, &s, q);
    std::free(s.kernel);
    std::free(s.dist);
    std::free(s.ids);
    std::free(s.pool);
    std::free(s.seen);
    return rc;
}

}  // namespace

int metric_graph_query(const metric *m, const points *qs, const points *ps,
                       const int32_t *graph, int width, const int32_t *seeds, int n_seeds,
                       int k, int pool, int n_threads, int32_t *out_idx, float *out_dist) {
    if (ps->n < 1 || qs->n < 0 || width < 0 || n_seeds < 1 || k < 1 || pool < k) return -1;
    if (qs->n == 0) return 0;
    query_job job = {m, qs, ps, graph, width, seeds, n_seeds, k, pool, out_idx, out_dist};
    return ext_parallel_ranges(qs->n, n_threads, query_range, &job);
}
