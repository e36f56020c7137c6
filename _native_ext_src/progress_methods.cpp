// Methods of _native_ext that run the kNN search and the layout with a
// control record: the caller reads their progress from it while they run
// (on another thread, since the interpreter lock is released meanwhile) and
// asks them to stop through it.  Without a stop request they give the bits
// of _native_quelmo's knn_descent_f32 and umap_layout_euclidean_f32.

#include "ext_methods.h"

#include <cstdint>

#include "buffer_check.h"
#include "ext_args.h"
#include "method_checks.h"
#include "run_control.h"

namespace {

constexpr Py_ssize_t kControlBytes = 8 * RUN_CONTROL_SLOTS;

// The kernels write the control record while they read and write the other
// buffers, which must therefore not share its memory.
int check_control_apart(const Py_buffer *control, const Py_buffer *const *views,
                        const Py_ssize_t *bytes, int count) {
    for (int i = 0; i < count; ++i) {
        if (views_overlap(control, kControlBytes, views[i], bytes[i])) {
            PyErr_SetString(PyExc_ValueError, "control must not overlap the other buffers");
            return -1;
        }
    }
    return 0;
}

}  // namespace

const char ext_knn_descent_progress_f32_doc[] =
    "knn_descent_progress_f32($module, x, idx, dist, n, d, k, n_trees, n_iters, seed,"
    " leaf_size, n_threads, control, /)\n--\n\n"
    "_native_quelmo.knn_descent_f32 with a control record: control is a writable int64\n"
    "buffer of at least 8 items (the slots listed in quelmo._progress), read by the caller\n"
    "while the call runs; a non-zero slot 0 asks the call to stop.  Returns 0, -1 (k >= n),\n"
    "-2 (out of memory) or -3 (stopped on request: idx and dist hold unspecified values).";

PyObject *ext_knn_descent_progress_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int n, d, k, n_trees, n_iters, leaf_size, n_threads;
    uint64_t seed;
    if (ext_arg_count("knn_descent_progress_f32", nargs, 12) != 0 ||
        ext_arg_int(args[3], "n", 1, INT32_MAX, &n) != 0 ||
        ext_arg_int(args[4], "d", 1, INT32_MAX, &d) != 0 ||
        ext_arg_int(args[5], "k", 1, INT32_MAX, &k) != 0 ||
        ext_arg_int(args[6], "n_trees", INT32_MIN, INT32_MAX, &n_trees) != 0 ||
        ext_arg_int(args[7], "n_iters", INT32_MIN, INT32_MAX, &n_iters) != 0 ||
        ext_arg_seed(args[8], "seed", &seed) != 0 ||
        ext_arg_int(args[9], "leaf_size", INT32_MIN, INT32_MAX, &leaf_size) != 0 ||
        ext_arg_int(args[10], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;

    // Products of two positive ints fit in 64 bits.
    const Py_ssize_t nd = (Py_ssize_t)n * (Py_ssize_t)d;
    const Py_ssize_t nk = (Py_ssize_t)n * (Py_ssize_t)k;
    Py_buffer x, idx, dist, control;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &x, 0, 4, nd, "x") != 0) return nullptr;
    if (get_buffer(args[1], &idx, 1, 4, nk, "idx") != 0) goto fail_x;
    if (get_buffer(args[2], &dist, 1, 4, nk, "dist") != 0) goto fail_idx;
    if (get_buffer(args[11], &control, 1, 8, RUN_CONTROL_SLOTS, "control") != 0) goto fail_dist;
    if (check_knn_views(&x, &idx, &dist, nd, nk) != 0) goto fail_control;
    {
        const Py_buffer *views[] = {&x, &idx, &dist};
        const Py_ssize_t bytes[] = {4 * nd, 4 * nk, 4 * nk};
        if (check_control_apart(&control, views, bytes, 3) != 0) goto fail_control;
    }

    {
        PyThreadState *save = PyEval_SaveThread();
        const int rc = vorlix_knn_descent_control_f32(
            n, d, k, (const float *)x.buf, n_trees, n_iters, leaf_size, seed,
            (int32_t *)idx.buf, (float *)dist.buf, n_threads, (int64_t *)control.buf);
        PyEval_RestoreThread(save);
        result = PyLong_FromLong(rc);
    }

fail_control:
    PyBuffer_Release(&control);
fail_dist:
    PyBuffer_Release(&dist);
fail_idx:
    PyBuffer_Release(&idx);
fail_x:
    PyBuffer_Release(&x);
    return result;
}

const char ext_layout_progress_f32_doc[] =
    "layout_progress_f32($module, embedding, head, tail, epochs_per_sample, n_samples, dim,"
    " n_epochs, a, b, gamma, initial_alpha, negative_sample_rate, seed, n_threads, control,"
    " /)\n--\n\n"
    "_native_quelmo.umap_layout_euclidean_f32 with a control record (see\n"
    "knn_descent_progress_f32).  Returns 0 (threaded run), -1 (the serial optimiser ran) or\n"
    "-3 (stopped on request: the embedding holds the layout as far as it got); raises\n"
    "MemoryError when neither optimiser could allocate its scratch memory.";

PyObject *ext_layout_progress_f32(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    int n_samples, dim, n_epochs, n_threads;
    double a, b, gamma, initial_alpha, negative_sample_rate;
    uint64_t seed;
    if (ext_arg_count("layout_progress_f32", nargs, 15) != 0 ||
        ext_arg_int(args[4], "n_samples", 1, INT32_MAX, &n_samples) != 0 ||
        ext_arg_int(args[5], "dim", 1, INT32_MAX, &dim) != 0 ||
        ext_arg_int(args[6], "n_epochs", 1, INT32_MAX, &n_epochs) != 0 ||
        ext_arg_finite(args[7], "a", &a) != 0 || ext_arg_finite(args[8], "b", &b) != 0 ||
        ext_arg_finite(args[9], "gamma", &gamma) != 0 ||
        ext_arg_finite(args[10], "initial_alpha", &initial_alpha) != 0 ||
        ext_arg_finite(args[11], "negative_sample_rate", &negative_sample_rate) != 0 ||
        ext_arg_seed(args[12], "seed", &seed) != 0 ||
        ext_arg_int(args[13], "n_threads", INT32_MIN, INT32_MAX, &n_threads) != 0)
        return nullptr;
    if (check_layout_floats(a, b, gamma, initial_alpha, negative_sample_rate) != 0)
        return nullptr;

    const Py_ssize_t emb_items = (Py_ssize_t)n_samples * (Py_ssize_t)dim;
    Py_buffer embedding, head, tail, eps, control;
    PyObject *result = nullptr;
    if (get_buffer(args[0], &embedding, 1, 4, emb_items, "embedding") != 0) return nullptr;
    if (get_buffer(args[1], &head, 0, 4, 0, "head") != 0) goto fail_embedding;
    if (get_buffer(args[2], &tail, 0, 4, 0, "tail") != 0) goto fail_head;
    if (get_buffer(args[3], &eps, 0, 4, 0, "epochs_per_sample") != 0) goto fail_tail;
    if (get_buffer(args[14], &control, 1, 8, RUN_CONTROL_SLOTS, "control") != 0) goto fail_eps;

    {
        Py_ssize_t n_edges;
        if (check_layout_edges(&embedding, emb_items, &head, &tail, &eps, n_samples,
                               &n_edges) != 0)
            goto fail_control;
        const Py_buffer *views[] = {&embedding, &head, &tail, &eps};
        const Py_ssize_t bytes[] = {4 * emb_items, 4 * n_edges, 4 * n_edges, 4 * n_edges};
        if (check_control_apart(&control, views, bytes, 4) != 0) goto fail_control;
        PyThreadState *save = PyEval_SaveThread();
        const int rc = vorlix_umap_optimize_layout_control_f32(
            (float *)embedding.buf, n_samples, dim, (const int32_t *)head.buf,
            (const int32_t *)tail.buf, (int64_t)n_edges, (const float *)eps.buf, n_epochs,
            (float)a, (float)b, (float)gamma, (float)initial_alpha, (float)negative_sample_rate,
            seed, n_threads, (int64_t *)control.buf, 1);
        PyEval_RestoreThread(save);
        // -2: neither the threaded nor the serial optimiser could allocate
        // its scratch, so the embedding was not optimised at all.
        if (rc == -2)
            PyErr_SetString(PyExc_MemoryError,
                            "the layout optimiser could not allocate its scratch memory");
        else
            result = PyLong_FromLong(rc);
    }

fail_control:
    PyBuffer_Release(&control);
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
