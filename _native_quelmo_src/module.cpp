// The CPython extension module _native_quelmo: argument checks, buffer
// acquisition, and calls of the exported kernels with the interpreter lock
// released.  The module keeps no state; every call owns its views and scratch.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>

#include "buffer_check.h"
#include "method_checks.h"
#include "quelmo_kernels.h"

static PyObject *py_knn_descent_f32(PyObject *, PyObject *args) {
    PyObject *x_obj, *idx_obj, *dist_obj;
    int n, d, k, n_trees, n_iters, leaf_size, n_threads;
    unsigned long long seed;
    if (!PyArg_ParseTuple(args, "OOOiiiiiKii", &x_obj, &idx_obj, &dist_obj, &n, &d, &k,
                          &n_trees, &n_iters, &seed, &leaf_size, &n_threads))
        return nullptr;
    if (n <= 0 || d <= 0 || k <= 0) {
        PyErr_SetString(PyExc_ValueError, "n, d, and k must be positive");
        return nullptr;
    }

    // Products of two positive ints fit in 64 bits.
    const Py_ssize_t nd = (Py_ssize_t)n * (Py_ssize_t)d;
    const Py_ssize_t nk = (Py_ssize_t)n * (Py_ssize_t)k;
    Py_buffer x, idx, dist;
    PyObject *result = nullptr;
    if (get_buffer(x_obj, &x, 0, 4, nd, "x") != 0) return nullptr;
    if (get_buffer(idx_obj, &idx, 1, 4, nk, "idx") != 0) goto fail_x;
    if (get_buffer(dist_obj, &dist, 1, 4, nk, "dist") != 0) goto fail_idx;
    if (check_knn_views(&x, &idx, &dist, nd, nk) != 0) goto fail_dist;

    {
        PyThreadState *save = PyEval_SaveThread();
        // The kernel takes leaf_size before seed, unlike the argument list.
        const int rc = vorlix_knn_descent_f32(n, d, k, (const float *)x.buf, n_trees, n_iters,
                                              leaf_size, (uint64_t)seed, (int32_t *)idx.buf,
                                              (float *)dist.buf, n_threads);
        PyEval_RestoreThread(save);
        result = PyLong_FromLong(rc);
    }

fail_dist:
    PyBuffer_Release(&dist);
fail_idx:
    PyBuffer_Release(&idx);
fail_x:
    PyBuffer_Release(&x);
    return result;
}

static PyObject *py_umap_graph_f32(PyObject *, PyObject *args) {
    PyObject *idx_obj, *dist_obj, *rows_obj, *cols_obj, *vals_obj;
    int n_samples, n_neighbors;
    if (!PyArg_ParseTuple(args, "OOOOOii", &idx_obj, &dist_obj, &rows_obj, &cols_obj,
                          &vals_obj, &n_samples, &n_neighbors))
        return nullptr;
    if (n_samples <= 0 || n_neighbors <= 0) {
        PyErr_SetString(PyExc_ValueError, "n_samples and n_neighbors must be positive");
        return nullptr;
    }

    // Both factors are positive ints, so 2 * flat stays below 2^63.
    const Py_ssize_t flat = (Py_ssize_t)n_samples * (Py_ssize_t)n_neighbors;
    Py_buffer idx, dist, rows, cols, vals;
    PyObject *result = nullptr;
    if (get_buffer(idx_obj, &idx, 0, 4, flat, "idx") != 0) return nullptr;
    if (get_buffer(dist_obj, &dist, 0, 4, flat, "dist") != 0) goto fail_idx;
    if (get_buffer(rows_obj, &rows, 1, 4, 2 * flat, "out_rows") != 0) goto fail_dist;
    if (get_buffer(cols_obj, &cols, 1, 4, 2 * flat, "out_cols") != 0) goto fail_rows;
    if (get_buffer(vals_obj, &vals, 1, 4, 2 * flat, "out_vals") != 0) goto fail_cols;

    {
        const size_t n_flat = (size_t)flat;
        float *sigmas = (float *)std::malloc((size_t)n_samples * sizeof(float));
        float *rhos = (float *)std::malloc((size_t)n_samples * sizeof(float));
        int32_t *srows = (int32_t *)std::malloc(n_flat * sizeof(int32_t));
        int32_t *scols = (int32_t *)std::malloc(n_flat * sizeof(int32_t));
        float *svals = (float *)std::malloc(n_flat * sizeof(float));
        float *tmp_dists = (float *)std::malloc(n_flat * sizeof(float));
        if (sigmas && rhos && srows && scols && svals && tmp_dists) {
            PyThreadState *save = PyEval_SaveThread();
            vorlix_umap_smooth_knn_dist_f32(n_samples, n_neighbors, (const float *)dist.buf,
                                            (float)n_neighbors, 64, 1.0f, 1.0f, sigmas, rhos);
            vorlix_umap_membership_strengths_f32(
                n_samples, n_neighbors, (const int32_t *)idx.buf, (const float *)dist.buf,
                sigmas, rhos, 0, 0, srows, scols, svals, tmp_dists);
            vorlix_umap_symmetrize_fuzzy_graph_f32(n_samples, n_neighbors, srows, scols, svals,
                                                   1.0f, (int32_t *)rows.buf,
                                                   (int32_t *)cols.buf, (float *)vals.buf);
            PyEval_RestoreThread(save);
            result = Py_NewRef(Py_None);
        } else {
            PyErr_NoMemory();
        }
        std::free(tmp_dists);
        std::free(svals);
        std::free(scols);
        std::free(srows);
        std::free(rhos);
        std::free(sigmas);
    }

    PyBuffer_Release(&vals);
fail_cols:
    PyBuffer_Release(&cols);
fail_rows:
    PyBuffer_Release(&rows);
fail_dist:
    PyBuffer_Release(&dist);
fail_idx:
    PyBuffer_Release(&idx);
    return result;
}

static PyObject *py_umap_layout_euclidean_f32(PyObject *, PyObject *args) {
    PyObject *embedding_obj, *head_obj, *tail_obj, *eps_obj;
    int n_samples, dim, n_epochs;
    double a, b, gamma, initial_alpha, negative_sample_rate;
    unsigned long long seed;
    int n_threads;
    if (!PyArg_ParseTuple(args, "OOOOiiidddddKi", &embedding_obj, &head_obj, &tail_obj,
                          &eps_obj, &n_samples, &dim, &n_epochs, &a, &b, &gamma,
                          &initial_alpha, &negative_sample_rate, &seed, &n_threads))
        return nullptr;
    if (n_samples <= 0 || dim <= 0 || n_epochs <= 0) {
        PyErr_SetString(PyExc_ValueError, "n_samples, dim, and n_epochs must be positive");
        return nullptr;
    }
    if (check_layout_floats(a, b, gamma, initial_alpha, negative_sample_rate) != 0)
        return nullptr;

    const Py_ssize_t emb_items = (Py_ssize_t)n_samples * (Py_ssize_t)dim;
    Py_buffer embedding, head, tail, eps;
    PyObject *result = nullptr;
    if (get_buffer(embedding_obj, &embedding, 1, 4, emb_items, "embedding") != 0) return nullptr;
    if (get_buffer(head_obj, &head, 0, 4, 0, "head") != 0) goto fail_embedding;
    if (get_buffer(tail_obj, &tail, 0, 4, 0, "tail") != 0) goto fail_head;
    if (get_buffer(eps_obj, &eps, 0, 4, 0, "epochs_per_sample") != 0) goto fail_tail;

    {
        Py_ssize_t n_edges;
        if (check_layout_edges(&embedding, emb_items, &head, &tail, &eps, n_samples,
                               &n_edges) != 0)
            goto fail_eps;
        PyThreadState *save = PyEval_SaveThread();
        const int rc = vorlix_umap_optimize_layout_euclidean_f32_parallel(
            (float *)embedding.buf, n_samples, dim, (const int32_t *)head.buf,
            (const int32_t *)tail.buf, (int64_t)n_edges,
            (const float *)eps.buf, n_epochs, (float)a, (float)b, (float)gamma,
            (float)initial_alpha, (float)negative_sample_rate, (uint64_t)seed, n_threads);
        PyEval_RestoreThread(save);
        // -2: neither the threaded nor the serial optimiser could allocate
        // its scratch, so the embedding was not optimised at all.
        if (rc == -2)
            PyErr_SetString(PyExc_MemoryError,
                            "the layout optimiser could not allocate its scratch memory");
        else
            result = PyLong_FromLong(rc);
    }

fail_eps:
    PyBuffer_Release(&eps);
fail_tail:
    PyBuffer_Release(&tail);
fail_head:
    PyBuffer_Release(&head);
fail_embedding:
    PyBuffer_Release(&embedding);
    return result;
}

static PyMethodDef methods[] = {
    {"knn_descent_f32", py_knn_descent_f32, METH_VARARGS,
     "Fill kNN indices and squared distances with the vendored Quelmo kNN kernel."},
    {"umap_graph_f32", py_umap_graph_f32, METH_VARARGS,
     "Build symmetrized UMAP fuzzy graph COO buffers from dense kNN arrays."},
    {"umap_layout_euclidean_f32", py_umap_layout_euclidean_f32, METH_VARARGS,
     "Optimize a UMAP layout in-place with the vendored pthread kernel."},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_native_quelmo",
    "Minimal vendored native kernels for tolvarin.quelmo.",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

extern "C" PyMODINIT_FUNC PyInit__native_quelmo(void) {
    return PyModule_Create2(&module, 1013);
}
