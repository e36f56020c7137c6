// Argument handling shared by the metric methods of _native_ext.

#include "metric_args.h"

#include <cstdlib>

#include "buffer_check.h"
#include "ext_args.h"

int metric_acquire(metric_views *vs, PyObject *obj, int writable, Py_ssize_t itemsize,
                   Py_ssize_t min_items, const char *name) {
    if (get_buffer(obj, &vs->v[vs->count], writable, itemsize, min_items, name) != 0) return -1;
    return vs->count++;
}

void metric_release_all(metric_views *vs) {
    while (vs->count > 0) PyBuffer_Release(&vs->v[--vs->count]);
}

int metric_acquire_csr(metric_views *vs, PyObject *const *objs, int n,
                       const char *const *names) {
    int first;
    if ((first = metric_acquire(vs, objs[0], 0, 8, (Py_ssize_t)n + 1, names[0])) < 0 ||
        metric_acquire(vs, objs[1], 0, 4, 0, names[1]) < 0 ||
        metric_acquire(vs, objs[2], 0, 4, 0, names[2]) < 0)
        return -1;
    return first;
}

int metric_csr_points(const metric_views *vs, int first, int n, int64_t d, const char *what,
                      points *s) {
    const int64_t *indptr = (const int64_t *)vs->v[first].buf;
    if (metric_check_csr(what, indptr, &vs->v[first + 1], &vs->v[first + 2], n, d) != 0)
        return -1;
    s->n = n;
    s->d = d;
    s->indptr = indptr;
    s->indices = (const int32_t *)vs->v[first + 1].buf;
    s->vals = (const float *)vs->v[first + 2].buf;
    return 0;
}

int metric_dense_pair(metric *m, points *a, points *b, metric_pair_storage *held) {
    *held = metric_pair_storage{nullptr, nullptr, nullptr};
    if (m->id == METRIC_JACCARD || m->id == METRIC_DICE) {
        const int64_t words = (a->d + 63) / 64;
        const size_t a_words = (size_t)a->n * (size_t)words;
        held->bits = (uint64_t *)std::malloc((a_words + (size_t)b->n * (size_t)words) * 8 + 8);
        if (held->bits == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        if (metric_pack_bits(a->X, a->n, a->d, held->bits) != 0 ||
            metric_pack_bits(b->X, b->n, b->d, held->bits + a_words) != 0) {
            PyErr_SetString(PyExc_ValueError, "jaccard and dice need binary data (0 or 1)");
            return -1;
        }
        a->bits = held->bits;
        b->bits = held->bits + a_words;
        a->words = b->words = words;
    }
    Py_BEGIN_ALLOW_THREADS
    held->a_bytes = metric_bytes_view(m, a);
    held->b_bytes = held->a_bytes ? metric_bytes_view(m, b) : nullptr;
    if (held->b_bytes) metric_use_bytes(m);
    Py_END_ALLOW_THREADS
    return 0;
}

void metric_pair_free(metric_pair_storage *held) {
    std::free(held->b_bytes);
    std::free(held->a_bytes);
    std::free(held->bits);
}

// A metric name (str) with a kernel for the storage, and its exponent p.
int metric_parse_arg(PyObject *name, PyObject *p_obj, int sparse, metric *m) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "metric must be a str");
        return -1;
    }
    const char *text = PyUnicode_AsUTF8(name);
    if (text == nullptr) return -1;
    double p;
    if (ext_arg_finite(p_obj, "p", &p) != 0) return -1;
    const int id = metric_from_name(text);
    if (id < 0 || metric_resolve(m, id, p, sparse) != 0) {
        PyErr_Format(PyExc_ValueError, "no %s kernel for metric '%s'", sparse ? "sparse" : "dense",
                     text);
        return -1;
    }
    if (id == METRIC_MINKOWSKI && !(p > 0.0)) {
        PyErr_SetString(PyExc_ValueError, "p must be positive");
        return -1;
    }
    return 0;
}

int metric_check_csr(const char *what, const int64_t *indptr, const Py_buffer *indices,
              const Py_buffer *vals, int n, int64_t d) {
    const int64_t nnz = indptr[n];
    if (indptr[0] != 0 || nnz < 0 || nnz > (int64_t)(indices->len / 4) ||
        nnz > (int64_t)(vals->len / 4)) {
        PyErr_Format(PyExc_ValueError, "%s: indptr must start at 0 and end within indices and data",
                     what);
        return -1;
    }
    const int32_t *col = (const int32_t *)indices->buf;
    const float *val = (const float *)vals->buf;
    int bad = 0;
    Py_BEGIN_ALLOW_THREADS
    for (int i = 0; i < n && !bad; ++i) {
        if (indptr[i + 1] < indptr[i] || indptr[i + 1] > nnz) {
            bad = 1;
            break;
        }
        for (int64_t e = indptr[i]; e < indptr[i + 1]; ++e) {
            const float v = val[e];
            if (col[e] < 0 || (int64_t)col[e] >= d || (e > indptr[i] && col[e] <= col[e - 1]) ||
                v == 0.0f || !(v - v == 0.0f)) {
                bad = 1;
                break;
            }
        }
    }
    Py_END_ALLOW_THREADS
    if (bad) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be canonical CSR: non-decreasing indptr, column indices in [0, d) "
                     "increasing within each row, finite nonzero values",
                     what);
        return -1;
    }
    return 0;
}

double *metric_aux_alloc(const metric *m, points *s) {
    const int width = metric_aux_width(m);
    double *aux = (double *)std::malloc(((size_t)s->n * (size_t)width + 1) * sizeof(double));
    if (!aux) {
        PyErr_NoMemory();
        return nullptr;
    }
    metric_aux(m, s, aux);
    s->aux = aux;
    return aux;
}

