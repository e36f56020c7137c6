// Metric methods of _native_ext: the general-metric kNN and all-pairs
// distances, on dense float32 rows or CSR matrices.

#include "ext_methods.h"

#include <cstdint>
#include <cstdlib>

#include "buffer_check.h"
#include "ext_args.h"
#include "metric_args.h"
#include "metric_kernels.h"

namespace {

int status_to_error(int rc) {
    if (rc == -2) {
        PyErr_NoMemory();
        return -1;
    }
    if (rc != 0) {
        PyErr_SetString(PyExc_ValueError, "the neighbour search refused its sizes (k must be "
                                          "below the number of rows)");
        return -1;
    }
    return 0;
}

// The search settings that follow the metric in both kNN methods.
struct search_settings {
    int n_trees, n_iters, leaf_size, n_threads;
    uint64_t seed;
};

// Reads args[0 .. 5) as n_trees, n_iters, leaf_size, seed and n_threads, and
// checks k < n.  Returns 0, or -1 with an exception set.
int parse_search(PyObject *const *args, int k, int n, search_settings *out) {
    if (ext_arg_int(args[0], "n_trees", 1, INT32_MAX, &out->n_trees) != 0 ||
        ext_arg_int(args[1], "n_iters", 1, INT32_MAX, &out->n_iters) != 0 ||
        ext_arg_int(args[2], "leaf_size", 1, INT32_MAX, &out->leaf_size) != 0 ||
        ext_arg_seed(args[3], "seed", &out->seed) != 0 ||
        ext_arg_int(args[4], "n_threads", INT32_MIN, INT32_MAX, &out->n_threads) != 0)
        return -1;
    if (k >= n) {
        PyErr_SetString(PyExc_ValueError, "k must be below n");
        return -1;
    }
    return 0;
}

// Acquires the writable n x k outputs idx and dist, which must not overlap.
// Returns 0, or -1 with an exception set.
int acquire_rows(metric_views *vs, PyObject *idx_obj, PyObject *dist_obj, Py_ssize_t nk,
                 int *idx, int *dist) {
    if ((*idx = metric_acquire(vs, idx_obj, 1, 4, nk, "idx")) < 0 ||
        (*dist = metric_acquire(vs, dist_obj, 1, 4, nk, "dist")) < 0)
        return -1;
    if (views_overlap(&vs->v[*idx], 4 * nk, &vs->v[*dist], 4 * nk)) {
        PyErr_SetString(PyExc_ValueError, "idx and dist must not overlap");
        return -1;
    }
    return 0;
}

}  // namespace

const char ext_metric_knn_f32_doc[] =
    "metric_knn_f32($module, x, idx, dist, n, d, k, metric, p, n_trees, n_iters, leaf_size,"
    " seed, n_threads, /)\n--\n\n"
    "k approximate nearest neighbours of each row of the dense float32 matrix x (n x d) under\n"
    "a metric ('sqeuclidean', 'manhattan', 'chebyshev', 'minkowski' with exponent p, 'canberra',\n"
    "'braycurtis', 'hamming'; 'jaccard' and 'dice' on binary rows), the row itself excluded.\n"
    "idx (int32) and dist (float32), n x k, receive ids and rank distances, each row sorted by\n"
    "(distance, id), -1 / 1e30 in unfilled slots at the end.  The result does not depend on\n"
    "n_threads.";

PyObject *ext_metric_knn_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int n, d, k;
    metric m;
    search_settings ss;
    if (ext_arg_count("metric_knn_f32", nargs, 13) != 0 ||
        ext_arg_int(args[3], "n", 2, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[4], "d", 1, INT32_MAX, &d) != 0 ||
        ext_arg_int(args[5], "k", 1, INT32_MAX, &k) != 0 ||
        metric_parse_arg(args[6], args[7], 0, &m) != 0 || parse_search(args + 8, k, n, &ss) != 0)
        return nullptr;
    const Py_ssize_t nd = (Py_ssize_t)n * d, nk = (Py_ssize_t)n * k;
    metric_views vs = {};
    PyObject *result = nullptr;
    uint64_t *bits = nullptr;
    void *bytes = nullptr;
    int x, idx, dist;
    if ((x = metric_acquire(&vs, args[0], 0, 4, nd, "x")) < 0 ||
        acquire_rows(&vs, args[1], args[2], nk, &idx, &dist) != 0)
        goto done;
    {
        points s = {};
        s.n = n;
        s.d = d;
        s.X = (const float *)vs.v[x].buf;
        if (m.id == METRIC_JACCARD || m.id == METRIC_DICE) {
            s.words = ((int64_t)d + 63) / 64;
            bits = (uint64_t *)std::malloc((size_t)n * (size_t)s.words * sizeof(uint64_t));
            if (!bits) {
                PyErr_NoMemory();
                goto done;
            }
            if (metric_pack_bits(s.X, n, d, bits) != 0) {
                PyErr_SetString(PyExc_ValueError, "jaccard and dice need binary data (0 or 1)");
                goto done;
            }
            s.bits = bits;
        }
        int rc;
        Py_BEGIN_ALLOW_THREADS
        bytes = metric_bytes_view(&m, &s);
        if (bytes) metric_use_bytes(&m);
        rc = metric_knn(&m, &s, k, ss.n_trees, ss.n_iters, ss.leaf_size, 0, ss.seed,
                        ss.n_threads, (int32_t *)vs.v[idx].buf, (float *)vs.v[dist].buf);
        Py_END_ALLOW_THREADS
        if (status_to_error(rc) == 0) result = Py_NewRef(Py_None);
    }
done:
    std::free(bytes);
    std::free(bits);
    metric_release_all(&vs);
    return result;
}

const char ext_metric_knn_csr_f32_doc[] =
    "metric_knn_csr_f32($module, indptr, indices, data, idx, dist, n, d, k, metric, p, n_trees,"
    " n_iters, leaf_size, seed, n_threads, /)\n--\n\n"
    "As metric_knn_f32 for a canonical CSR matrix (indptr int64, indices int32, data float32;\n"
    "sorted columns, no stored zeros), with the metrics 'sqeuclidean', 'manhattan',\n"
    "'chebyshev', 'minkowski', 'canberra', 'braycurtis', 'correlation', and 'hamming',\n"
    "'jaccard', 'dice' on the sparsity patterns.";

PyObject *ext_metric_knn_csr_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int n, k;
    int64_t d;
    metric m;
    search_settings ss;
    if (ext_arg_count("metric_knn_csr_f32", nargs, 15) != 0 ||
        ext_arg_int(args[5], "n", 2, INT32_MAX, &n) != 0 ||
        ext_arg_int64(args[6], "d", 1, (int64_t)INT32_MAX + 1, &d) != 0 ||
        ext_arg_int(args[7], "k", 1, INT32_MAX, &k) != 0 ||
        metric_parse_arg(args[8], args[9], 1, &m) != 0 || parse_search(args + 10, k, n, &ss) != 0)
        return nullptr;
    static const char *const kNames[] = {"indptr", "indices", "data"};
    const Py_ssize_t nk = (Py_ssize_t)n * k;
    metric_views vs = {};
    PyObject *result = nullptr;
    double *aux = nullptr;
    points s = {};
    int csr, idx, dist;
    if ((csr = metric_acquire_csr(&vs, args, n, kNames)) < 0 ||
        acquire_rows(&vs, args[3], args[4], nk, &idx, &dist) != 0 ||
        metric_csr_points(&vs, csr, n, d, "the matrix", &s) != 0 ||
        (aux = metric_aux_alloc(&m, &s)) == nullptr)
        goto done;
    {
        const int pattern =
            m.id == METRIC_HAMMING || m.id == METRIC_JACCARD || m.id == METRIC_DICE;
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = metric_knn(&m, &s, k, ss.n_trees, ss.n_iters, ss.leaf_size, pattern, ss.seed,
                        ss.n_threads, (int32_t *)vs.v[idx].buf, (float *)vs.v[dist].buf);
        Py_END_ALLOW_THREADS
        if (status_to_error(rc) == 0) result = Py_NewRef(Py_None);
    }
done:
    std::free(aux);
    metric_release_all(&vs);
    return result;
}

const char ext_metric_cross_f32_doc[] =
    "metric_cross_f32($module, x, y, out, nx, ny, d, metric, p, n_threads, /)\n--\n\n"
    "Rank distances of every row of x (nx x d) to every row of y (ny x d), dense float32,\n"
    "into out (nx x ny, float32), with the kernels of metric_knn_f32.";

PyObject *ext_metric_cross_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int nx, ny, d, n_threads;
    metric m;
    if (ext_arg_count("metric_cross_f32", nargs, 9) != 0 ||
        ext_arg_int(args[3], "nx", 0, INT32_MAX, &nx) != 0 ||
        ext_arg_int(args[4], "ny", 0, INT32_MAX, &ny) != 0 ||
        ext_arg_int(args[5], "d", 1, INT32_MAX, &d) != 0 ||
        metric_parse_arg(args[6], args[7], 0, &m) != 0 ||
        ext_arg_int(args[8], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    const Py_ssize_t nxy = (Py_ssize_t)nx * ny;
    metric_views vs = {};
    PyObject *result = nullptr;
    metric_pair_storage held = {};
    int x, y, out;
    if ((x = metric_acquire(&vs, args[0], 0, 4, (Py_ssize_t)nx * d, "x")) < 0 ||
        (y = metric_acquire(&vs, args[1], 0, 4, (Py_ssize_t)ny * d, "y")) < 0 ||
        (out = metric_acquire(&vs, args[2], 1, 4, nxy, "out")) < 0)
        goto done;
    {
        points qs = {}, ps = {};
        qs.n = nx;
        ps.n = ny;
        qs.d = ps.d = d;
        qs.X = (const float *)vs.v[x].buf;
        ps.X = (const float *)vs.v[y].buf;
        if (metric_dense_pair(&m, &qs, &ps, &held) != 0) goto done;
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = metric_cross(&m, &qs, &ps, n_threads, (float *)vs.v[out].buf);
        Py_END_ALLOW_THREADS
        if (status_to_error(rc) == 0) result = Py_NewRef(Py_None);
    }
done:
    metric_pair_free(&held);
    metric_release_all(&vs);
    return result;
}

const char ext_metric_cross_csr_f32_doc[] =
    "metric_cross_csr_f32($module, x_indptr, x_indices, x_data, y_indptr, y_indices, y_data,"
    " out, nx, ny, d, metric, p, n_threads, /)\n--\n\n"
    "Rank distances of every row of the CSR matrix x to every row of the CSR matrix y (both\n"
    "canonical, d columns) into out (nx x ny, float32), with the kernels of\n"
    "metric_knn_csr_f32.";

PyObject *ext_metric_cross_csr_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int nx, ny, n_threads;
    int64_t d;
    metric m;
    if (ext_arg_count("metric_cross_csr_f32", nargs, 13) != 0 ||
        ext_arg_int(args[7], "nx", 0, INT32_MAX, &nx) != 0 ||
        ext_arg_int(args[8], "ny", 0, INT32_MAX, &ny) != 0 ||
        ext_arg_int64(args[9], "d", 1, (int64_t)INT32_MAX + 1, &d) != 0 ||
        metric_parse_arg(args[10], args[11], 1, &m) != 0 ||
        ext_arg_int(args[12], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    static const char *const kX[] = {"x_indptr", "x_indices", "x_data"};
    static const char *const kY[] = {"y_indptr", "y_indices", "y_data"};
    const Py_ssize_t nxy = (Py_ssize_t)nx * ny;
    metric_views vs = {};
    PyObject *result = nullptr;
    double *xaux = nullptr, *yaux = nullptr;
    points qs = {}, ps = {};
    int x, y, out;
    if ((x = metric_acquire_csr(&vs, args, nx, kX)) < 0 ||
        (y = metric_acquire_csr(&vs, args + 3, ny, kY)) < 0 ||
        (out = metric_acquire(&vs, args[6], 1, 4, nxy, "out")) < 0 ||
        metric_csr_points(&vs, x, nx, d, "x", &qs) != 0 ||
        metric_csr_points(&vs, y, ny, d, "y", &ps) != 0 ||
        (xaux = metric_aux_alloc(&m, &qs)) == nullptr ||
        (yaux = metric_aux_alloc(&m, &ps)) == nullptr)
        goto done;
    {
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = metric_cross(&m, &qs, &ps, n_threads, (float *)vs.v[out].buf);
        Py_END_ALLOW_THREADS
        if (status_to_error(rc) == 0) result = Py_NewRef(Py_None);
    }
done:
    std::free(yaux);
    std::free(xaux);
    metric_release_all(&vs);
    return result;
}
