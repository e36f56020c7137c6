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

// metric_methods.cpp
PyObject *ext_metric_knn_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_metric_knn_csr_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_metric_cross_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_metric_cross_csr_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char ext_metric_knn_f32_doc[];
extern const char ext_metric_knn_csr_f32_doc[];
extern const char ext_metric_cross_f32_doc[];
extern const char ext_metric_cross_csr_f32_doc[];

// metric_query_methods.cpp
PyObject *ext_metric_query_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_metric_query_csr_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char ext_metric_query_f32_doc[];
extern const char ext_metric_query_csr_f32_doc[];

// transform_methods.cpp
PyObject *ext_forest_nodes_per_tree_method(PyObject *module, PyObject *const *args,
                                           Py_ssize_t nargs);
PyObject *ext_forest_build_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_search_graph_method(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_knn_query_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_bytes_pack_rows_method(PyObject *module, PyObject *const *args,
                                      Py_ssize_t nargs);
PyObject *ext_row_hashes_method(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
PyObject *ext_transform_layout_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char ext_forest_nodes_per_tree_doc[];
extern const char ext_forest_build_f32_doc[];
extern const char ext_search_graph_doc[];
extern const char ext_knn_query_f32_doc[];
extern const char ext_bytes_pack_rows_doc[];
extern const char ext_row_hashes_doc[];
extern const char ext_transform_layout_f32_doc[];

// bandwidth_methods.cpp
PyObject *ext_smooth_knn_dist_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char ext_smooth_knn_dist_f32_doc[];

// progress_methods.cpp
PyObject *ext_knn_descent_progress_f32(PyObject *module, PyObject *const *args,
                                       Py_ssize_t nargs);
extern const char ext_knn_descent_progress_f32_doc[];
PyObject *ext_layout_progress_f32(PyObject *module, PyObject *const *args, Py_ssize_t nargs);
extern const char ext_layout_progress_f32_doc[];

#endif /* QUELMO_EXT_METHODS_H */
