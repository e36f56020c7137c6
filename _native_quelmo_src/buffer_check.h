/*
 * buffer_check.h - acquisition of the array arguments of both extension
 * modules: a C-contiguous view with a fixed item size, a minimum item count
 * and natural alignment, and an overlap test between two views.
 *
 * Include after <Python.h> (with PY_SSIZE_T_CLEAN defined).  Everything here
 * is static: each module gets its own private copy of these few lines.
 */
#ifndef QUELMO_BUFFER_CHECK_H
#define QUELMO_BUFFER_CHECK_H

#include <stdint.h>

// Acquires a C-contiguous view of obj whose items are itemsize bytes and which
// holds at least min_items of them.  Returns 0, or -1 with an exception set and
// no view held.  Only the item size is compared, not the format: any 4-byte
// item type passes a check for 4.
static inline int get_buffer(PyObject *obj, Py_buffer *view, int writable,
                             Py_ssize_t itemsize, Py_ssize_t min_items, const char *name) {
    int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;
    if (writable) flags |= PyBUF_WRITABLE;
    if (PyObject_GetBuffer(obj, view, flags) != 0) return -1;
    // Comparing len / itemsize against min_items cannot overflow, unlike the
    // product itemsize * min_items, which wraps for counts near 2^62 and would
    // let a tiny buffer through.
    if (view->itemsize != itemsize || view->len / itemsize < min_items ||
        view->buf == nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "%s must be a C-contiguous buffer with itemsize %zd and at least %zd items",
                     name, itemsize, min_items);
        PyBuffer_Release(view);
        return -1;
    }
    // The kernels read and write the items as int32 and float: at an address
    // that is not a multiple of the item size every such access is undefined
    // (and a vectorised loop that assumes natural alignment may fault).
    if ((uintptr_t)view->buf % (uintptr_t)itemsize != 0) {
        PyErr_Format(PyExc_ValueError, "%s must be aligned to its %zd-byte items", name,
                     itemsize);
        PyBuffer_Release(view);
        return -1;
    }
    return 0;
}

// Whether the first a_bytes of view a and the first b_bytes of view b share
// a byte.  Compared as integers: the views may belong to unrelated objects.
static inline int views_overlap(const Py_buffer *a, Py_ssize_t a_bytes, const Py_buffer *b,
                                Py_ssize_t b_bytes) {
    const uintptr_t a0 = (uintptr_t)a->buf, b0 = (uintptr_t)b->buf;
    return a_bytes > 0 && b_bytes > 0 && a0 < b0 + (uintptr_t)b_bytes &&
           b0 < a0 + (uintptr_t)a_bytes;
}

#endif /* QUELMO_BUFFER_CHECK_H */
