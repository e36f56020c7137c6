// Resolution of a metric: its name, its kernel for the storage and the
// instruction set, and what the kernel needs (per-row constants, scratch).

#include "metric_units.h"

#include <unistd.h>

#include <cstring>

namespace {

const char *const kNames[METRIC_COUNT] = {
    "sqeuclidean", "manhattan", "chebyshev", "minkowski", "canberra",
    "braycurtis",  "hamming",   "jaccard",   "dice",      "correlation",
};

}  // namespace

int metric_from_name(const char *name) {
    for (int id = 0; id < METRIC_COUNT; ++id)
        if (std::strcmp(name, kNames[id]) == 0) return id;
    return -1;
}

int metric_resolve(metric *m, int id, double p, int sparse) {
    m->id = id;
    m->p = p;
    m->sparse = sparse ? 1 : 0;
    m->simd = sparse ? SIMD_PORTABLE : dense_cpu_simd();
    m->many = sparse ? sparse_kernel(id) : dense_kernel(id, p, m->simd);
    return m->many ? 0 : -1;
}

int metric_aux_width(const metric *m) { return m->sparse ? sparse_aux_width(m->id) : 0; }

void metric_aux(const metric *m, const points *s, double *aux) {
    if (metric_aux_width(m) > 0) sparse_aux(m->id, m->p, s, aux);
}

// The sparse kernels scatter the query into a dense row; the
// dense ones need nothing.  Tree projections need a direction of d floats.
int64_t metric_scratch_floats(const metric *m, int64_t d) {
    return m->sparse ? sparse_scratch_floats(d) : 0;
}

void metric_project(const metric *m, const points *s, int pattern, int32_t a, int32_t b,
                    const int32_t *ids, int cnt, double *out, float *dir) {
    if (s->indptr)
        sparse_project(s, pattern, a, b, ids, cnt, out, dir);
    else
        dense_project(m->simd, s, a, b, ids, cnt, out, dir);
}

long metric_online_cpus(void) {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? n : 1;
}
