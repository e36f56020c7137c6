/*
 * method_checks.h - the argument checks that the kNN and layout methods of
 * both extension modules share, with their messages.  Each returns 0, or -1
 * with a ValueError set.
 *
 * Include after <Python.h> (with PY_SSIZE_T_CLEAN defined) and
 * buffer_check.h.  Everything here is static, like buffer_check.h.
 */
#ifndef QUELMO_METHOD_CHECKS_H
#define QUELMO_METHOD_CHECKS_H

#include <cmath>
#include <stdint.h>

// Threads write rows of idx and dist while others read x and their own rows:
// shared memory among the three would be a data race.  nd and nk are the
// item counts of x and of idx / dist.
static inline int check_knn_views(const Py_buffer *x, const Py_buffer *idx,
                                  const Py_buffer *dist, Py_ssize_t nd, Py_ssize_t nk) {
    if (views_overlap(idx, 4 * nk, dist, 4 * nk) || views_overlap(x, 4 * nd, idx, 4 * nk) ||
        views_overlap(x, 4 * nd, dist, 4 * nk)) {
        PyErr_SetString(PyExc_ValueError, "x, idx, and dist must not overlap");
        return -1;
    }
    return 0;
}

// An infinite rate gives every edge a zero negative-sample period (2^31
// samples an epoch: a call that runs for hours), and a non-finite curve
// parameter or learning rate turns the layout into NaN.  The kernel gets
// float32, so the narrowed value is tested: a double beyond the float32
// range is refused as well.
static inline int check_layout_floats(double a, double b, double gamma, double initial_alpha,
                                      double negative_sample_rate) {
    const struct {
        double value;
        const char *name;
    } params[] = {{a, "a"},
                  {b, "b"},
                  {gamma, "gamma"},
                  {initial_alpha, "initial_alpha"},
                  {negative_sample_rate, "negative_sample_rate"}};
    for (const auto &p : params) {
        if (!std::isfinite((float)p.value)) {
            PyErr_Format(PyExc_ValueError, "%s must be finite in float32", p.name);
            return -1;
        }
    }
    return 0;
}

// The edge list of a layout call against its embedding (emb_items floats):
// equal lengths, no memory shared with the embedding, every id a row of it.
// Stores the edge count in *n_edges.
static inline int check_layout_edges(const Py_buffer *embedding, Py_ssize_t emb_items,
                                     const Py_buffer *head, const Py_buffer *tail,
                                     const Py_buffer *eps, int n_samples,
                                     Py_ssize_t *n_edges) {
    const Py_ssize_t count = head->len / 4;
    if (tail->len / 4 != count || eps->len / 4 != count) {
        PyErr_SetString(PyExc_ValueError, "head, tail, and epochs_per_sample lengths must match");
        return -1;
    }
    // The serial optimiser reads head and tail while it moves the embedding:
    // an embedding sharing their memory would turn moved coordinates into
    // edge ids outside the buffer.
    const Py_ssize_t emb_bytes = 4 * emb_items, edge_bytes = 4 * count;
    if (views_overlap(embedding, emb_bytes, head, edge_bytes) ||
        views_overlap(embedding, emb_bytes, tail, edge_bytes) ||
        views_overlap(embedding, emb_bytes, eps, edge_bytes)) {
        PyErr_SetString(PyExc_ValueError,
                        "embedding must not overlap head, tail, or epochs_per_sample");
        return -1;
    }
    // The kernels trust edge ids; an id outside the embedding would make them
    // read and write outside the caller's buffer.
    const int32_t *h = (const int32_t *)head->buf;
    const int32_t *t = (const int32_t *)tail->buf;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (h[i] < 0 || h[i] >= n_samples || t[i] < 0 || t[i] >= n_samples) {
            PyErr_SetString(PyExc_ValueError, "head and tail entries must lie in [0, n_samples)");
            return -1;
        }
    }
    *n_edges = count;
    return 0;
}

#endif /* QUELMO_METHOD_CHECKS_H */
