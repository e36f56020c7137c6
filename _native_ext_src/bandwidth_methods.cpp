// Bandwidth methods of _native_ext: the per-point sigma and rho of the fuzzy
// graph on their own, for callers that evaluate memberships of pairs that
// are not in the kNN table (the edges of another graph, for example).

#include "ext_methods.h"

#include <cstdint>

#include "buffer_check.h"
#include "ext_args.h"
#include "quelmo_kernels.h"

const char ext_smooth_knn_dist_f32_doc[] =
    "smooth_knn_dist_f32($module, dist, out_sigmas, out_rhos, n_samples, n_neighbors,"
    " local_connectivity, /)\n--\n\n"
    "Bandwidth (sigma) and offset (rho) of every row of a dense kNN distance table, as the\n"
    "fuzzy graph computes them: the point itself in column 0, n_neighbors as the target\n"
    "count, 64 bisection steps.  A pair at distance d then has membership 1 up to rho and\n"
    "exp(-(d - rho) / sigma) beyond.";

PyObject *ext_smooth_knn_dist_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int n_samples, n_neighbors;
    double local_connectivity;
    if (ext_arg_count("smooth_knn_dist_f32", nargs, 6) != 0 ||
        ext_arg_int(args[3], "n_samples", 1, INT32_MAX, &n_samples) != 0 ||
        ext_arg_int(args[4], "n_neighbors", 1, INT32_MAX, &n_neighbors) != 0 ||
        ext_arg_finite(args[5], "local_connectivity", &local_connectivity) != 0)
        return nullptr;
    if (local_connectivity < 0.0) {
        PyErr_SetString(PyExc_ValueError, "local_connectivity must be non-negative");
        return nullptr;
    }

    // Both factors are positive ints: the product fits in 64 bits.
    const Py_ssize_t flat = (Py_ssize_t)n_samples * (Py_ssize_t)n_neighbors;
    const Py_ssize_t n = n_samples;
    Py_buffer dist, sigmas, rhos;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &dist, 0, 4, flat, "dist") != 0) return nullptr;
    if (get_buffer(args[1], &sigmas, 1, 4, n, "out_sigmas") != 0) goto fail_dist;
    if (get_buffer(args[2], &rhos, 1, 4, n, "out_rhos") != 0) goto fail_sigmas;
    // The kernel reads dist while it writes both outputs row by row.
    if (views_overlap(&sigmas, 4 * n, &rhos, 4 * n) ||
        views_overlap(&dist, 4 * flat, &sigmas, 4 * n) ||
        views_overlap(&dist, 4 * flat, &rhos, 4 * n)) {
        PyErr_SetString(PyExc_ValueError, "the output buffers must not overlap each other "
                                          "or the input");
        goto fail_rhos;
    }

    {
        PyThreadState *save = PyEval_SaveThread();
        vorlix_umap_smooth_knn_dist_f32(n_samples, n_neighbors, (const float *)dist.buf,
                                        (float)n_neighbors, 64, (float)local_connectivity,
                                        1.0f, (float *)sigmas.buf, (float *)rhos.buf);
        PyEval_RestoreThread(save);
        result = Py_NewRef(Py_None);
    }

fail_rhos:
    PyBuffer_Release(&rhos);
fail_sigmas:
    PyBuffer_Release(&sigmas);
fail_dist:
    PyBuffer_Release(&dist);
    return result;
}
