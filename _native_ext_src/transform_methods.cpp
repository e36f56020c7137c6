// Methods of _native_ext for placing new points on a fitted model: the
// forest and the search graph that a fit keeps, the neighbour query, and the
// layout of new points.  Each checks its arguments, acquires its buffers,
// releases the interpreter lock around the kernel and turns a status of -2
// into MemoryError.

#include "ext_methods.h"

#include <cstdint>

#include "buffer_check.h"
#include "ext_args.h"
#include "knn_query.h"
#include "rp_forest.h"
#include "transform_layout.h"

namespace {

// Largest forest and search width the methods accept: far beyond any useful
// value, small enough that no size product can overflow.
constexpr int kMaxTrees = 4096;
constexpr int kMaxWidth = 1 << 16;
constexpr int kMaxEf = 1 << 20;

// A real number, +infinity allowed (NaN is refused by the caller's check).
int ext_arg_float_or_inf(PyObject *obj, const char *name, double *out) {
    const double v = PyBool_Check(obj) ? -1.0 : PyFloat_AsDouble(obj);
    if (PyBool_Check(obj) || (v == -1.0 && PyErr_Occurred())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a real number", name);
        return -1;
    }
    *out = v;
    return 0;
}

// A kernel status as a Python result: None, or the exception it stands for.
PyObject *status_result(int status, const char *what) {
    if (status == 0) return Py_NewRef(Py_None);
    if (status == -2) return PyErr_NoMemory();
    PyErr_Format(PyExc_ValueError, "%s refused its arguments", what);
    return nullptr;
}

}  // namespace

const char ext_forest_nodes_per_tree_doc[] =
    "forest_nodes_per_tree($module, n, leaf_size, /)\n--\n\n"
    "Nodes of one tree of forest_build_f32 over n points with leaves of at most leaf_size\n"
    "points (every tree has this many).";

PyObject *ext_forest_nodes_per_tree_method(PyObject *, PyObject *const *args,
                                           Py_ssize_t nargs) {
    int64_t n;
    int leaf_size;
    if (ext_arg_count("forest_nodes_per_tree", nargs, 2) != 0 ||
        ext_arg_int64(args[0], "n", 1, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[1], "leaf_size", 1, INT32_MAX, &leaf_size) != 0)
        return nullptr;
    return PyLong_FromLongLong((long long)ext_forest_nodes_per_tree(n, leaf_size));
}

const char ext_forest_build_f32_doc[] =
    "forest_build_f32($module, x, nodes, threshold, perm, n, d, n_trees, leaf_size, seed,"
    " n_threads, /)\n--\n\n"
    "Random-projection forest of the rows of x (n x d, float32): per tree P nodes\n"
    "(forest_nodes_per_tree) as four int32 in nodes and one float32 in threshold, and a\n"
    "permutation of the n points in perm.  Tree t draws from a stream of its own, so the\n"
    "forest does not depend on n_threads.";

PyObject *ext_forest_build_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int64_t n;
    int d, n_trees, leaf_size, n_threads;
    uint64_t seed;
    if (ext_arg_count("forest_build_f32", nargs, 10) != 0 ||
        ext_arg_int64(args[4], "n", 2, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[5], "d", 1, INT32_MAX, &d) != 0 ||
        ext_arg_int(args[6], "n_trees", 1, kMaxTrees, &n_trees) != 0 ||
        ext_arg_int(args[7], "leaf_size", 1, INT32_MAX, &leaf_size) != 0 ||
        ext_arg_seed(args[8], "seed", &seed) != 0 ||
        ext_arg_int(args[9], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    const Py_ssize_t per_tree = (Py_ssize_t)ext_forest_nodes_per_tree(n, leaf_size);
    const Py_ssize_t n_nodes = per_tree * n_trees;
    Py_buffer x, nodes, threshold, perm;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &x, 0, 4, (Py_ssize_t)n * d, "x") != 0) return nullptr;
    if (get_buffer(args[1], &nodes, 1, 4, 4 * n_nodes, "nodes") != 0) goto fail_x;
    if (get_buffer(args[2], &threshold, 1, 4, n_nodes, "threshold") != 0) goto fail_nodes;
    if (get_buffer(args[3], &perm, 1, 4, (Py_ssize_t)n * n_trees, "perm") != 0)
        goto fail_threshold;
    if (views_overlap(&nodes, 16 * n_nodes, &threshold, 4 * n_nodes) ||
        views_overlap(&nodes, 16 * n_nodes, &perm, 4 * n * n_trees) ||
        views_overlap(&threshold, 4 * n_nodes, &perm, 4 * n * n_trees) ||
        views_overlap(&x, 4 * n * d, &nodes, 16 * n_nodes) ||
        views_overlap(&x, 4 * n * d, &threshold, 4 * n_nodes) ||
        views_overlap(&x, 4 * n * d, &perm, 4 * n * n_trees)) {
        PyErr_SetString(PyExc_ValueError, "the forest buffers must not overlap each other or x");
        goto fail_perm;
    }
    {
        PyThreadState *save = PyEval_SaveThread();
        const int status = ext_forest_build((const float *)x.buf, n, d, EXT_METRIC_SQEUCLIDEAN,
                                            n_trees, leaf_size, seed, n_threads,
                                            (int32_t *)nodes.buf, (float *)threshold.buf,
                                            (int32_t *)perm.buf);
        PyEval_RestoreThread(save);
        result = status_result(status, "forest_build_f32");
    }
fail_perm:
    PyBuffer_Release(&perm);
fail_threshold:
    PyBuffer_Release(&threshold);
fail_nodes:
    PyBuffer_Release(&nodes);
fail_x:
    PyBuffer_Release(&x);
    return result;
}

const char ext_search_graph_doc[] =
    "search_graph($module, knn_idx, knn_dist, graph, n, k, width, n_threads, /)\n--\n\n"
    "Search graph of n points from their kNN arrays (n x k): row i of graph (n x width,\n"
    "int32) lists the nearest width distinct points among i's neighbours and the points\n"
    "listing i, by increasing (distance, id), padded with -1.";

PyObject *ext_search_graph_method(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int64_t n;
    int k, width, n_threads;
    if (ext_arg_count("search_graph", nargs, 7) != 0 ||
        ext_arg_int64(args[3], "n", 1, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[4], "k", 1, INT32_MAX, &k) != 0 ||
        ext_arg_int(args[5], "width", 0, kMaxWidth, &width) != 0 ||
        ext_arg_int(args[6], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    const Py_ssize_t flat = (Py_ssize_t)n * k, gflat = (Py_ssize_t)n * width;
    Py_buffer idx, dist, graph;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &idx, 0, 4, flat, "knn_idx") != 0) return nullptr;
    if (get_buffer(args[1], &dist, 0, 4, flat, "knn_dist") != 0) goto fail_idx;
    if (get_buffer(args[2], &graph, 1, 4, gflat, "graph") != 0) goto fail_dist;
    if (views_overlap(&graph, 4 * gflat, &idx, 4 * flat) ||
        views_overlap(&graph, 4 * gflat, &dist, 4 * flat)) {
        PyErr_SetString(PyExc_ValueError, "graph must not overlap knn_idx or knn_dist");
        goto fail_graph;
    }
    {
        PyThreadState *save = PyEval_SaveThread();
        const int status = ext_search_graph(n, k, (const int32_t *)idx.buf,
                                            (const float *)dist.buf, width, n_threads,
                                            (int32_t *)graph.buf);
        PyEval_RestoreThread(save);
        result = status_result(status, "search_graph");
    }
fail_graph:
    PyBuffer_Release(&graph);
fail_dist:
    PyBuffer_Release(&dist);
fail_idx:
    PyBuffer_Release(&idx);
    return result;
}

const char ext_knn_query_f32_doc[] =
    "knn_query_f32($module, x, xb, graph, nodes, threshold, perm, q, out_idx, out_dist,"
    " exclude, n, d, width, n_trees, m, k, ef, epsilon, n_threads, /)\n--\n\n"
    "The k nearest rows of x (n x d, float32) to each of the m rows of q (m x d): ids and\n"
    "squared Euclidean distances into out_idx and out_dist (m x k), each row by increasing\n"
    "(distance, id), -1 and inf where nothing was found.  Candidates come from the leaves of\n"
    "the forest (nodes, threshold, perm of forest_build_f32 over x) and a best-first search\n"
    "over graph (n x width, search_graph) that keeps the best ef points and leaves out\n"
    "candidates farther than (1 + epsilon) times the k-th nearest found.  xb is x in byte\n"
    "form (bytes_pack_rows) or empty; queries of bytes are then measured in integers, to\n"
    "the same bits.  exclude (int32, m ids, or empty) names per query a training point to\n"
    "leave out of its search, to query training points as if they were new.  A query's\n"
    "result depends only on its own values, the index, ef and epsilon.";

PyObject *ext_knn_query_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int64_t n, m;
    int d, width, n_trees, k, ef, n_threads;
    double epsilon;
    if (ext_arg_count("knn_query_f32", nargs, 19) != 0 ||
        ext_arg_int64(args[10], "n", 2, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[11], "d", 1, INT32_MAX, &d) != 0 ||
        ext_arg_int(args[12], "width", 0, kMaxWidth, &width) != 0 ||
        ext_arg_int(args[13], "n_trees", 0, kMaxTrees, &n_trees) != 0 ||
        ext_arg_int64(args[14], "m", 0, INT32_MAX, &m) != 0 ||
        ext_arg_int(args[15], "k", 1, kMaxEf, &k) != 0 ||
        ext_arg_int(args[16], "ef", 1, kMaxEf, &ef) != 0 ||
        ext_arg_float_or_inf(args[17], "epsilon", &epsilon) != 0 ||
        ext_arg_int(args[18], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    if (ef < k) {
        PyErr_SetString(PyExc_ValueError, "ef must not be smaller than k");
        return nullptr;
    }
    if (!(epsilon >= 0.0)) {
        PyErr_SetString(PyExc_ValueError, "epsilon must be non-negative");
        return nullptr;
    }
    const Py_ssize_t xflat = (Py_ssize_t)n * d, qflat = (Py_ssize_t)m * d;
    const Py_ssize_t oflat = (Py_ssize_t)m * k, gflat = (Py_ssize_t)n * width;
    Py_buffer x, xb, graph, nodes, threshold, perm, q, oidx, odist, excl;
    PyObject *result = nullptr;
    Py_ssize_t per_tree = 0;
    const Py_ssize_t bflat = (Py_ssize_t)n * ext_bytes_stride(d);
    if (get_buffer(args[0], &x, 0, 4, xflat, "x") != 0) return nullptr;
    if (get_buffer(args[1], &xb, 0, 1, 0, "xb") != 0) goto fail_x;
    if (xb.len != 0 && xb.len < bflat) {
        PyErr_SetString(PyExc_ValueError, "xb must be empty or hold x in byte form");
        goto fail_xb;
    }
    if (get_buffer(args[2], &graph, 0, 4, gflat, "graph") != 0) goto fail_xb;
    if (get_buffer(args[3], &nodes, 0, 4, 0, "nodes") != 0) goto fail_graph;
    if (get_buffer(args[4], &threshold, 0, 4, 0, "threshold") != 0) goto fail_nodes;
    if (get_buffer(args[5], &perm, 0, 4, (Py_ssize_t)n * n_trees, "perm") != 0)
        goto fail_threshold;
    if (get_buffer(args[6], &q, 0, 4, qflat, "q") != 0) goto fail_perm;
    if (get_buffer(args[7], &oidx, 1, 4, oflat, "out_idx") != 0) goto fail_q;
    if (get_buffer(args[8], &odist, 1, 4, oflat, "out_dist") != 0) goto fail_oidx;
    if (get_buffer(args[9], &excl, 0, 4, 0, "exclude") != 0) goto fail_odist;
    if (excl.len != 0 && excl.len / 4 < m) {
        PyErr_SetString(PyExc_ValueError, "exclude must be empty or hold one id per query");
        goto fail_excl;
    }
    // The node arrays hold n_trees trees of equal size: P nodes each.
    if (n_trees > 0) {
        per_tree = threshold.len / 4 / n_trees;
        if (per_tree < 1 || per_tree * n_trees * 4 != threshold.len ||
            nodes.len / 16 < per_tree * n_trees) {
            PyErr_SetString(PyExc_ValueError,
                            "nodes and threshold must hold n_trees trees of equal size");
            goto fail_excl;
        }
    }
    if (views_overlap(&oidx, 4 * oflat, &odist, 4 * oflat) ||
        views_overlap(&oidx, 4 * oflat, &q, 4 * qflat) ||
        views_overlap(&odist, 4 * oflat, &q, 4 * qflat) ||
        views_overlap(&oidx, 4 * oflat, &x, 4 * xflat) ||
        views_overlap(&odist, 4 * oflat, &x, 4 * xflat) ||
        views_overlap(&oidx, 4 * oflat, &graph, graph.len) ||
        views_overlap(&odist, 4 * oflat, &graph, graph.len) ||
        views_overlap(&oidx, 4 * oflat, &nodes, nodes.len) ||
        views_overlap(&odist, 4 * oflat, &nodes, nodes.len) ||
        views_overlap(&oidx, 4 * oflat, &threshold, threshold.len) ||
        views_overlap(&odist, 4 * oflat, &threshold, threshold.len) ||
        views_overlap(&oidx, 4 * oflat, &perm, perm.len) ||
        views_overlap(&odist, 4 * oflat, &perm, perm.len) ||
        views_overlap(&oidx, 4 * oflat, &xb, xb.len) ||
        views_overlap(&odist, 4 * oflat, &xb, xb.len) ||
        views_overlap(&oidx, 4 * oflat, &excl, excl.len) ||
        views_overlap(&odist, 4 * oflat, &excl, excl.len)) {
        PyErr_SetString(PyExc_ValueError, "out_idx and out_dist must not overlap each other "
                                          "or the inputs");
        goto fail_excl;
    }
    {
        ext_forest forest{n_trees, (int64_t)per_tree, (const int32_t *)nodes.buf,
                          (const float *)threshold.buf, (const int32_t *)perm.buf};
        PyThreadState *save = PyEval_SaveThread();
        const uint8_t *bytes = xb.len >= bflat && bflat > 0 ? (const uint8_t *)xb.buf : nullptr;
        const int status = ext_knn_query((const float *)x.buf, bytes, n, d,
                                         EXT_METRIC_SQEUCLIDEAN,
                                         (const int32_t *)graph.buf, width, &forest,
                                         (const float *)q.buf,
                                         excl.len ? (const int32_t *)excl.buf : nullptr, m, k,
                                         ef, (float)epsilon,
                                         n_threads,
                                         (int32_t *)oidx.buf, (float *)odist.buf);
        PyEval_RestoreThread(save);
        result = status_result(status, "knn_query_f32");
    }
fail_excl:
    PyBuffer_Release(&excl);
fail_odist:
    PyBuffer_Release(&odist);
fail_oidx:
    PyBuffer_Release(&oidx);
fail_q:
    PyBuffer_Release(&q);
fail_perm:
    PyBuffer_Release(&perm);
fail_threshold:
    PyBuffer_Release(&threshold);
fail_nodes:
    PyBuffer_Release(&nodes);
fail_graph:
    PyBuffer_Release(&graph);
fail_xb:
    PyBuffer_Release(&xb);
fail_x:
    PyBuffer_Release(&x);
    return result;
}

const char ext_bytes_pack_rows_doc[] =
    "bytes_pack_rows($module, x, out, n, d, n_threads, /)\n--\n\n"
    "The byte form of the rows of x (n x d, float32) for knn_query_f32, into out (n rows of\n"
    "16 bytes per pair of 8-blocks, uint8), when every value is an integer 0 ... 255 and d\n"
    "has at most 257 8-blocks; returns whether it did (out is unspecified when not).";

PyObject *ext_bytes_pack_rows_method(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int64_t n;
    int d, n_threads;
    if (ext_arg_count("bytes_pack_rows", nargs, 5) != 0 ||
        ext_arg_int64(args[2], "n", 1, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[3], "d", 1, INT32_MAX, &d) != 0 ||
        ext_arg_int(args[4], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    const Py_ssize_t bflat = (Py_ssize_t)n * ext_bytes_stride(d);
    Py_buffer x, out;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &x, 0, 4, (Py_ssize_t)n * d, "x") != 0) return nullptr;
    if (get_buffer(args[1], &out, 1, 1, bflat, "out") != 0) goto fail_x;
    if (views_overlap(&x, 4 * (Py_ssize_t)n * d, &out, bflat)) {
        PyErr_SetString(PyExc_ValueError, "out must not overlap x");
        goto fail_out;
    }
    {
        PyThreadState *save = PyEval_SaveThread();
        const int packed = bflat > 0 && ext_bytes_pack_rows((const float *)x.buf, n, d,
                                                            n_threads, (uint8_t *)out.buf);
        PyEval_RestoreThread(save);
        result = PyBool_FromLong(packed);
    }
fail_out:
    PyBuffer_Release(&out);
fail_x:
    PyBuffer_Release(&x);
    return result;
}

const char ext_row_hashes_doc[] =
    "row_hashes($module, x, out, n, d, n_threads, /)\n--\n\n"
    "64-bit hash of the bytes of each row of x (n x d, float32) into out (n, uint64): the\n"
    "hash that seeds a new point's random streams and finds the training rows it equals.";

PyObject *ext_row_hashes_method(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int64_t n;
    int d, n_threads;
    if (ext_arg_count("row_hashes", nargs, 5) != 0 ||
        ext_arg_int64(args[2], "n", 0, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[3], "d", 1, INT32_MAX, &d) != 0 ||
        ext_arg_int(args[4], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    Py_buffer x, out;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &x, 0, 4, (Py_ssize_t)n * d, "x") != 0) return nullptr;
    if (get_buffer(args[1], &out, 1, 8, (Py_ssize_t)n, "out") != 0) goto fail_x;
    if (views_overlap(&x, 4 * (Py_ssize_t)n * d, &out, 8 * (Py_ssize_t)n)) {
        PyErr_SetString(PyExc_ValueError, "out must not overlap x");
        goto fail_out;
    }
    {
        PyThreadState *save = PyEval_SaveThread();
        ext_row_hashes((const float *)x.buf, n, d, n_threads, (uint64_t *)out.buf);
        PyEval_RestoreThread(save);
        result = Py_NewRef(Py_None);
    }
fail_out:
    PyBuffer_Release(&out);
fail_x:
    PyBuffer_Release(&x);
    return result;
}

const char ext_transform_layout_f32_doc[] =
    "transform_layout_f32($module, q, knn_idx, knn_sqdist, x, embedding, hash_sorted,"
    " hash_order, out, m, d, k, n, dim, n_epochs, a, b, gamma, learning_rate,"
    " negative_sample_rate, local_connectivity, seed, n_threads, /)\n--\n\n"
    "Positions (m x dim, into out) of the m rows of q (m x d) on the fitted embedding\n"
    "(n x dim) of the training data x (n x d), given their k nearest training points\n"
    "(knn_idx, knn_sqdist: m x k, by increasing squared Euclidean distance).  Each point is\n"
    "placed on its own: memberships by the fit's rules, a start at the weighted mean of its\n"
    "neighbours' positions, then n_epochs of the fit's SGD on that point alone with random\n"
    "streams seeded from seed and its own values.  A row equal bit for bit to a training\n"
    "row (found through hash_sorted, the sorted row_hashes of x, and hash_order, the ids in\n"
    "that order) gets that row's fitted position.";

PyObject *ext_transform_layout_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int64_t m, n;
    int d, k, dim, n_epochs, n_threads;
    double a, b, gamma, rate, neg_rate, lc;
    uint64_t seed;
    if (ext_arg_count("transform_layout_f32", nargs, 22) != 0 ||
        ext_arg_int64(args[8], "m", 0, INT32_MAX, &m) != 0 ||
        ext_arg_int(args[9], "d", 1, INT32_MAX, &d) != 0 ||
        ext_arg_int(args[10], "k", 1, INT32_MAX, &k) != 0 ||
        ext_arg_int64(args[11], "n", 1, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[12], "dim", 1, INT32_MAX, &dim) != 0 ||
        ext_arg_int(args[13], "n_epochs", 1, INT32_MAX, &n_epochs) != 0 ||
        ext_arg_finite(args[14], "a", &a) != 0 || ext_arg_finite(args[15], "b", &b) != 0 ||
        ext_arg_finite(args[16], "gamma", &gamma) != 0 ||
        ext_arg_finite(args[17], "learning_rate", &rate) != 0 ||
        ext_arg_finite(args[18], "negative_sample_rate", &neg_rate) != 0 ||
        ext_arg_finite(args[19], "local_connectivity", &lc) != 0 ||
        ext_arg_seed(args[20], "seed", &seed) != 0 ||
        ext_arg_int(args[21], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    if (!(neg_rate > 0.0) || (float)neg_rate <= 0.0f) {
        PyErr_SetString(PyExc_ValueError, "negative_sample_rate must be positive");
        return nullptr;
    }
    const Py_ssize_t qflat = (Py_ssize_t)m * d, kflat = (Py_ssize_t)m * k;
    const Py_ssize_t xflat = (Py_ssize_t)n * d, eflat = (Py_ssize_t)n * dim;
    const Py_ssize_t oflat = (Py_ssize_t)m * dim;
    Py_buffer q, idx, sqd, x, emb, hsorted, horder, out;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &q, 0, 4, qflat, "q") != 0) return nullptr;
    if (get_buffer(args[1], &idx, 0, 4, kflat, "knn_idx") != 0) goto fail_q;
    if (get_buffer(args[2], &sqd, 0, 4, kflat, "knn_sqdist") != 0) goto fail_idx;
    if (get_buffer(args[3], &x, 0, 4, xflat, "x") != 0) goto fail_sqd;
    if (get_buffer(args[4], &emb, 0, 4, eflat, "embedding") != 0) goto fail_x;
    if (get_buffer(args[5], &hsorted, 0, 8, n, "hash_sorted") != 0) goto fail_emb;
    if (get_buffer(args[6], &horder, 0, 4, n, "hash_order") != 0) goto fail_hsorted;
    if (get_buffer(args[7], &out, 1, 4, oflat, "out") != 0) goto fail_horder;
    if (views_overlap(&out, 4 * oflat, &q, 4 * qflat) ||
        views_overlap(&out, 4 * oflat, &idx, 4 * kflat) ||
        views_overlap(&out, 4 * oflat, &sqd, 4 * kflat) ||
        views_overlap(&out, 4 * oflat, &x, 4 * xflat) ||
        views_overlap(&out, 4 * oflat, &emb, 4 * eflat) ||
        views_overlap(&out, 4 * oflat, &hsorted, 8 * n) ||
        views_overlap(&out, 4 * oflat, &horder, 4 * n)) {
        PyErr_SetString(PyExc_ValueError, "out must not overlap the inputs");
        goto fail_out;
    }
    {
        const ext_fitted fit{(const float *)x.buf,         n,
                             d,
                             (const float *)emb.buf,       dim,
                             (const uint64_t *)hsorted.buf, (const int32_t *)horder.buf};
        const ext_layout_params p{(float)a,    (float)b,        (float)gamma, (float)rate,
                                  (float)neg_rate, n_epochs,    (float)lc,    seed};
        PyThreadState *save = PyEval_SaveThread();
        const int status =
            ext_transform_layout(&fit, (const float *)q.buf, m, (const int32_t *)idx.buf,
                                 (const float *)sqd.buf, k, &p, n_threads, (float *)out.buf);
        PyEval_RestoreThread(save);
        result = status_result(status, "transform_layout_f32");
    }
fail_out:
    PyBuffer_Release(&out);
fail_horder:
    PyBuffer_Release(&horder);
fail_hsorted:
    PyBuffer_Release(&hsorted);
fail_emb:
    PyBuffer_Release(&emb);
fail_x:
    PyBuffer_Release(&x);
fail_sqd:
    PyBuffer_Release(&sqd);
fail_idx:
    PyBuffer_Release(&idx);
fail_q:
    PyBuffer_Release(&q);
    return result;
}
