/*
 * ext_args.h - argument conversion for the METH_FASTCALL methods of
 * _native_ext.  Each helper converts one positional argument, or sets an
 * exception naming the argument and returns -1.
 *
 * Include after <Python.h> (with PY_SSIZE_T_CLEAN defined).
 */
#ifndef QUELMO_EXT_ARGS_H
#define QUELMO_EXT_ARGS_H

#include <stdint.h>

// Exactly `expected` positional arguments.
static inline int ext_arg_count(const char *method, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return 0;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", method,
                 expected, nargs);
    return -1;
}

// An integer (anything with __index__, booleans excepted) in [lo, hi].
static inline int ext_arg_int64(PyObject *obj, const char *name, int64_t lo, int64_t hi,
                                int64_t *out) {
    if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer", name);
        return -1;
    }
    int overflow = 0;
    PyObject *index = PyNumber_Index(obj);
    if (index == nullptr) return -1;
    const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (v == -1 && PyErr_Occurred()) return -1;
    if (overflow != 0 || v < lo || v > hi) {
        PyErr_Format(PyExc_ValueError, "%s must lie in [%lld, %lld]", name, (long long)lo,
                     (long long)hi);
        return -1;
    }
    *out = (int64_t)v;
    return 0;
}

static inline int ext_arg_int(PyObject *obj, const char *name, int lo, int hi, int *out) {
    int64_t v;
    if (ext_arg_int64(obj, name, lo, hi, &v) != 0) return -1;
    *out = (int)v;
    return 0;
}

// A seed: an integer in [0, 2^64).  Unlike the first module's seed, values
// outside that range are refused rather than wrapped.
static inline int ext_arg_seed(PyObject *obj, const char *name, uint64_t *out) {
    if (PyBool_Check(obj) || !PyIndex_Check(obj)) {
        PyErr_Format(PyExc_TypeError, "%s must be an integer", name);
        return -1;
    }
    PyObject *index = PyNumber_Index(obj);
    if (index == nullptr) return -1;
    const unsigned long long v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
    if (v == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_Format(PyExc_ValueError, "%s must lie in [0, 2**64)", name);
        return -1;
    }
    *out = (uint64_t)v;
    return 0;
}

// A real number (float, int, or anything with __float__), finite.
static inline int ext_arg_finite(PyObject *obj, const char *name, double *out) {
    const double v = PyBool_Check(obj) ? -1.0 : PyFloat_AsDouble(obj);
    if (PyBool_Check(obj) || (v == -1.0 && PyErr_Occurred())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s must be a real number", name);
        return -1;
    }
    if (!(v - v == 0.0)) {
        PyErr_Format(PyExc_ValueError, "%s must be finite", name);
        return -1;
    }
    *out = v;
    return 0;
}

#endif /* QUELMO_EXT_ARGS_H */
