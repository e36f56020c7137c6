/*
 * ext_methods.h - the methods of the _native_ext module, one group per unit.
 * Each method follows METH_FASTCALL; its docstring starts with its signature
 * so that inspect.signature works.  The module unit lists them in its table.
 */
#ifndef QUELMO_EXT_METHODS_H
#define QUELMO_EXT_METHODS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// graph_methods.cpp
PyObject *ext_fuzzy_graph_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char ext_fuzzy_graph_f32_doc[];

// progress_methods.cpp
PyObject *ext_knn_descent_progress_f32(PyObject *module, PyObject *const *args,
                                       Py_ssize_t nargs);
extern const char ext_knn_descent_progress_f32_doc[];
PyObject *ext_layout_progress_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char ext_layout_progress_f32_doc[];

#endif /* QUELMO_EXT_METHODS_H */
