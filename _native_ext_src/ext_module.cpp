// The CPython extension module _native_ext: native capabilities beyond the
// three methods of _native_quelmo.  Multi-phase initialisation, no module
// state; the methods live in their own units (ext_methods.h).

#include "ext_methods.h"

namespace {

PyMethodDef methods[] = {
    {"fuzzy_graph_f32", (PyCFunction)(void (*)(void))ext_fuzzy_graph_f32, METH_FASTCALL,
     ext_fuzzy_graph_f32_doc},
    {"metric_knn_f32", (PyCFunction)(void (*)(void))ext_metric_knn_f32, METH_FASTCALL,
     ext_metric_knn_f32_doc},
    {"metric_knn_csr_f32", (PyCFunction)(void (*)(void))ext_metric_knn_csr_f32, METH_FASTCALL,
     ext_metric_knn_csr_f32_doc},
    {"metric_cross_f32", (PyCFunction)(void (*)(void))ext_metric_cross_f32, METH_FASTCALL,
     ext_metric_cross_f32_doc},
    {"metric_cross_csr_f32", (PyCFunction)(void (*)(void))ext_metric_cross_csr_f32,
     METH_FASTCALL, ext_metric_cross_csr_f32_doc},
    {"metric_query_f32", (PyCFunction)(void (*)(void))ext_metric_query_f32, METH_FASTCALL,
     ext_metric_query_f32_doc},
    {"metric_query_csr_f32", (PyCFunction)(void (*)(void))ext_metric_query_csr_f32,
     METH_FASTCALL, ext_metric_query_csr_f32_doc},
    {"forest_nodes_per_tree", (PyCFunction)(void (*)(void))ext_forest_nodes_per_tree_method,
     METH_FASTCALL, ext_forest_nodes_per_tree_doc},
    {"forest_build_f32", (PyCFunction)(void (*)(void))ext_forest_build_f32, METH_FASTCALL,
     ext_forest_build_f32_doc},
    {"search_graph", (PyCFunction)(void (*)(void))ext_search_graph_method, METH_FASTCALL,
     ext_search_graph_doc},
    {"knn_query_f32", (PyCFunction)(void (*)(void))ext_knn_query_f32, METH_FASTCALL,
     ext_knn_query_f32_doc},
    {"bytes_pack_rows", (PyCFunction)(void (*)(void))ext_bytes_pack_rows_method, METH_FASTCALL,
     ext_bytes_pack_rows_doc},
    {"row_hashes", (PyCFunction)(void (*)(void))ext_row_hashes_method, METH_FASTCALL,
     ext_row_hashes_doc},
    {"transform_layout_f32", (PyCFunction)(void (*)(void))ext_transform_layout_f32,
     METH_FASTCALL, ext_transform_layout_f32_doc},
    {"smooth_knn_dist_f32", (PyCFunction)(void (*)(void))ext_smooth_knn_dist_f32,
     METH_FASTCALL, ext_smooth_knn_dist_f32_doc},
    {"knn_descent_progress_f32",
     (PyCFunction)(void (*)(void))ext_knn_descent_progress_f32, METH_FASTCALL,
     ext_knn_descent_progress_f32_doc},
    {"layout_progress_f32", (PyCFunction)(void (*)(void))ext_layout_progress_f32,
     METH_FASTCALL, ext_layout_progress_f32_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
#if PY_VERSION_HEX >= 0x030C0000
    // Nothing is shared between interpreters: no state, no static objects.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "_native_ext",
    "Native kernels of quelmo beyond the three methods of _native_quelmo.",
    0,
    methods,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject *PyInit__native_ext(void) {
    return PyModuleDef_Init(&module);
}
