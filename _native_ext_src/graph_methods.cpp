// Fuzzy-graph methods of _native_ext: the symmetrized graph with the
// bandwidth and set-operation options exposed.

#include "ext_methods.h"

#include <cstdint>
#include <cstdlib>

#include "buffer_check.h"
#include "ext_args.h"
#include "quelmo_kernels.h"

const char ext_fuzzy_graph_f32_doc[] =
    "fuzzy_graph_f32($module, idx, dist, out_rows, out_cols, out_vals, n_samples, n_neighbors,"
    " local_connectivity, set_op_mix_ratio, /)\n--\n\n"
    "Symmetrized fuzzy graph of dense kNN arrays as COO triplets (two slots per kNN entry,\n"
    "(0, 0, 0) where no edge is), with the local connectivity of the bandwidth search and the\n"
    "union/intersection mix of the symmetrization given.  With 1.0 and 1.0 the result equals\n"
    "_native_quelmo.umap_graph_f32 bit for bit.";

PyObject *ext_fuzzy_graph_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int n_samples, n_neighbors;
    double local_connectivity, mix_ratio;
    if (ext_arg_count("fuzzy_graph_f32", nargs, 9) != 0 ||
        ext_arg_int(args[5], "n_samples", 1, INT32_MAX, &n_samples) != 0 ||
        ext_arg_int(args[6], "n_neighbors", 1, INT32_MAX, &n_neighbors) != 0 ||
        ext_arg_finite(args[7], "local_connectivity", &local_connectivity) != 0 ||
        ext_arg_finite(args[8], "set_op_mix_ratio", &mix_ratio) != 0)
        return nullptr;
    if (local_connectivity < 0.0) {
        PyErr_SetString(PyExc_ValueError, "local_connectivity must be non-negative");
        return nullptr;
    }
    if (mix_ratio < 0.0 || mix_ratio > 1.0) {
        PyErr_SetString(PyExc_ValueError, "set_op_mix_ratio must lie in [0, 1]");
        return nullptr;
    }

    // Both factors are positive ints, so 2 * flat stays below 2^63.
    const Py_ssize_t flat = (Py_ssize_t)n_samples * (Py_ssize_t)n_neighbors;
    Py_buffer idx, dist, rows, cols, vals;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &idx, 0, 4, flat, "idx") != 0) return nullptr;
    if (get_buffer(args[1], &dist, 0, 4, flat, "dist") != 0) goto fail_idx;
    if (get_buffer(args[2], &rows, 1, 4, 2 * flat, "out_rows") != 0) goto fail_dist;
    if (get_buffer(args[3], &cols, 1, 4, 2 * flat, "out_cols") != 0) goto fail_rows;
    if (get_buffer(args[4], &vals, 1, 4, 2 * flat, "out_vals") != 0) goto fail_cols;
    // The kernels read the inputs while they write the outputs.
    if (views_overlap(&rows, 8 * flat, &cols, 8 * flat) ||
        views_overlap(&rows, 8 * flat, &vals, 8 * flat) ||
        views_overlap(&cols, 8 * flat, &vals, 8 * flat) ||
        views_overlap(&idx, 4 * flat, &rows, 8 * flat) ||
        views_overlap(&idx, 4 * flat, &cols, 8 * flat) ||
        views_overlap(&idx, 4 * flat, &vals, 8 * flat) ||
        views_overlap(&dist, 4 * flat, &rows, 8 * flat) ||
        views_overlap(&dist, 4 * flat, &cols, 8 * flat) ||
        views_overlap(&dist, 4 * flat, &vals, 8 * flat)) {
        PyErr_SetString(PyExc_ValueError, "the output buffers must not overlap each other "
                                          "or the inputs");
        goto fail_vals;
    }

    {
        const size_t n_flat = (size_t)flat;
        float *sigmas = (float *)std::malloc((size_t)n_samples * sizeof(float));
        float *rhos = (float *)std::malloc((size_t)n_samples * sizeof(float));
        int32_t *srows = (int32_t *)std::malloc(n_flat * sizeof(int32_t));
        int32_t *scols = (int32_t *)std::malloc(n_flat * sizeof(int32_t));
        float *svals = (float *)std::malloc(n_flat * sizeof(float));
        if (sigmas && rhos && srows && scols && svals) {
            PyThreadState *save = PyEval_SaveThread();
            vorlix_umap_smooth_knn_dist_f32(n_samples, n_neighbors, (const float *)dist.buf,
                                            (float)n_neighbors, 64, (float)local_connectivity,
                                            1.0f, sigmas, rhos);
            vorlix_umap_membership_strengths_f32(
                n_samples, n_neighbors, (const int32_t *)idx.buf, (const float *)dist.buf,
                sigmas, rhos, 0, 0, srows, scols, svals, nullptr);
            vorlix_umap_symmetrize_fuzzy_graph_f32(n_samples, n_neighbors, srows, scols, svals,
                                                   (float)mix_ratio, (int32_t *)rows.buf,
                                                   (int32_t *)cols.buf, (float *)vals.buf);
            PyEval_RestoreThread(save);
            result = Py_NewRef(Py_None);
        } else {
            PyErr_NoMemory();
        }
        std::free(svals);
        std::free(scols);
        std::free(srows);
        std::free(rhos);
        std::free(sigmas);
    }

fail_vals:
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
