// Graph query methods of _native_ext: the k nearest training points of new
// points under the general metrics, on dense float32 rows or CSR matrices.

#include "ext_methods.h"

#include <cstdint>
#include <cstdlib>

#include "buffer_check.h"
#include "ext_args.h"
#include "metric_args.h"
#include "metric_kernels.h"
#include "metric_query.h"

namespace {

// Largest pool a query may keep (its scratch is a few bytes per entry).
constexpr int kMaxPool = 1 << 16;
// Largest row of the search graph.
constexpr int kMaxWidth = 1 << 16;

// The sizes of a query call, in the order the methods take them.
struct query_sizes {
    int n, m;
    int64_t d;
    int width, k, pool, n_seeds, n_threads;
};

// Parses n, m, d, width, k, pool, n_seeds (args[0 .. 7)) and n_threads
// (args[9]); the metric (args[7], args[8]) is parsed by the caller.
int parse_sizes(PyObject *const *args, int64_t max_d, query_sizes *s) {
    if (ext_arg_int(args[0], "n", 1, INT32_MAX, &s->n) != 0 ||
        ext_arg_int(args[1], "m", 0, INT32_MAX, &s->m) != 0 ||
        ext_arg_int64(args[2], "d", 1, max_d, &s->d) != 0 ||
        ext_arg_int(args[3], "width", 0, kMaxWidth, &s->width) != 0 ||
        ext_arg_int(args[4], "k", 1, kMaxPool, &s->k) != 0 ||
        ext_arg_int(args[5], "pool", 1, kMaxPool, &s->pool) != 0 ||
        ext_arg_int(args[6], "n_seeds", 1, INT32_MAX, &s->n_seeds) != 0 ||
        ext_arg_int(args[9], "n_threads", INT32_MIN, INT32_MAX, &s->n_threads) != 0)
        return -1;
    if (s->pool < s->k) {
        PyErr_SetString(PyExc_ValueError, "pool must not be smaller than k");
        return -1;
    }
    return 0;
}

// Acquires graph, seeds, out_idx and out_dist (args[0 .. 4)) and checks
// that the outputs overlap nothing of the call.  Returns the index of
// graph's view; seeds, out_idx and out_dist follow it.
int acquire_graph_and_outputs(metric_views *vs, PyObject *const *args, const query_sizes *s) {
    const Py_ssize_t gflat = (Py_ssize_t)s->n * s->width, oflat = (Py_ssize_t)s->m * s->k;
    const int first = vs->count;
    if (metric_acquire(vs, args[0], 0, 4, gflat, "graph") < 0 ||
        metric_acquire(vs, args[1], 0, 4, s->n_seeds, "seeds") < 0 ||
        metric_acquire(vs, args[2], 1, 4, oflat, "out_idx") < 0 ||
        metric_acquire(vs, args[3], 1, 4, oflat, "out_dist") < 0)
        return -1;
    for (int a = 0; a < vs->count; ++a) {
        for (int o = first + 2; o < first + 4; ++o) {
            if (a != o && views_overlap(&vs->v[o], 4 * oflat, &vs->v[a], vs->v[a].len)) {
                PyErr_SetString(PyExc_ValueError,
                                "out_idx and out_dist must not overlap each other or the inputs");
                return -1;
            }
        }
    }
    return first;
}

PyObject *run_query(const metric *m, const points *qs, const points *ps, const metric_views *vs,
                    int graph, const query_sizes *s) {
    int rc;
    Py_BEGIN_ALLOW_THREADS
    rc = metric_graph_query(m, qs, ps, (const int32_t *)vs->v[graph].buf, s->width,
                            (const int32_t *)vs->v[graph + 1].buf, s->n_seeds, s->k, s->pool,
                            s->n_threads, (int32_t *)vs->v[graph + 2].buf,
                            (float *)vs->v[graph + 3].buf);
    Py_END_ALLOW_THREADS
    if (rc == -2) return PyErr_NoMemory();
    if (rc != 0) {
        PyErr_SetString(PyExc_ValueError, "the graph query refused its sizes");
        return nullptr;
    }
    return Py_NewRef(Py_None);
}

}  // namespace

const char ext_metric_query_f32_doc[] =
    "metric_query_f32($module, x, q, graph, seeds, out_idx, out_dist, n, m, d, width, k, pool,"
    " n_seeds, metric, p, n_threads, /)\n--\n\n"
    "The k nearest rows of x (n x d, dense float32) to each row of q (m x d) under a metric\n"
    "of metric_knn_f32: int32 ids and rank distances into out_idx and out_dist (m x k), each\n"
    "row by increasing (distance, id), -1 / inf where nothing was found.  A best-first search\n"
    "over graph (n x width, search_graph) from the training points seeds (int32, n_seeds ids),\n"
    "keeping the best pool points.  A query's result depends only on its own values, x,\n"
    "graph, seeds, k and pool.";

PyObject *ext_metric_query_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    query_sizes s;
    metric m;
    if (ext_arg_count("metric_query_f32", nargs, 16) != 0 ||
        parse_sizes(args + 6, INT32_MAX, &s) != 0 ||
        metric_parse_arg(args[13], args[14], 0, &m) != 0)
        return nullptr;
    metric_views vs = {};
    PyObject *result = nullptr;
    metric_pair_storage held = {};
    int x, q, graph;
    if ((x = metric_acquire(&vs, args[0], 0, 4, (Py_ssize_t)s.n * s.d, "x")) < 0 ||
        (q = metric_acquire(&vs, args[1], 0, 4, (Py_ssize_t)s.m * s.d, "q")) < 0 ||
        (graph = acquire_graph_and_outputs(&vs, args + 2, &s)) < 0)
        goto done;
    {
        points qs = {}, ps = {};
        qs.n = s.m;
        ps.n = s.n;
        qs.d = ps.d = s.d;
        qs.X = (const float *)vs.v[q].buf;
        ps.X = (const float *)vs.v[x].buf;
        if (metric_dense_pair(&m, &qs, &ps, &held) != 0) goto done;
        result = run_query(&m, &qs, &ps, &vs, graph, &s);
    }
done:
    metric_pair_free(&held);
    metric_release_all(&vs);
    return result;
}

const char ext_metric_query_csr_f32_doc[] =
    "metric_query_csr_f32($module, x_indptr, x_indices, x_data, q_indptr, q_indices, q_data,"
    " graph, seeds, out_idx, out_dist, n, m, d, width, k, pool, n_seeds, metric, p,"
    " n_threads, /)"
    "\n--\n\n"
    "As metric_query_f32 for canonical CSR matrices x (n rows) and q (m rows) of d columns,\n"
    "with the metrics of metric_knn_csr_f32.";

PyObject *ext_metric_query_csr_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    query_sizes s;
    metric m;
    if (ext_arg_count("metric_query_csr_f32", nargs, 20) != 0 ||
        parse_sizes(args + 10, (int64_t)INT32_MAX + 1, &s) != 0 ||
        metric_parse_arg(args[17], args[18], 1, &m) != 0)
        return nullptr;
    static const char *const kX[] = {"x_indptr", "x_indices", "x_data"};
    static const char *const kQ[] = {"q_indptr", "q_indices", "q_data"};
    metric_views vs = {};
    PyObject *result = nullptr;
    double *xaux = nullptr, *qaux = nullptr;
    points qs = {}, ps = {};
    int x, q, graph;
    if ((x = metric_acquire_csr(&vs, args, s.n, kX)) < 0 ||
        (q = metric_acquire_csr(&vs, args + 3, s.m, kQ)) < 0 ||
        (graph = acquire_graph_and_outputs(&vs, args + 6, &s)) < 0 ||
        metric_csr_points(&vs, x, s.n, s.d, "x", &ps) != 0 ||
        metric_csr_points(&vs, q, s.m, s.d, "q", &qs) != 0 ||
        (xaux = metric_aux_alloc(&m, &ps)) == nullptr ||
        (qaux = metric_aux_alloc(&m, &qs)) == nullptr)
        goto done;
    result = run_query(&m, &qs, &ps, &vs, graph, &s);
done:
    std::free(qaux);
    std::free(xaux);
    metric_release_all(&vs);
    return result;
}
