"""The extension module's surface: method table, argument checks, buffer
refusals and the scratch-allocation failure of the graph method."""

from __future__ import annotations

import re

import numpy as np
import pytest

from quelmo import _native_quelmo as native

BUFFER_MSG = "{} must be a C-contiguous buffer with itemsize 4 and at least {} items"


def graph_args(n: int = 3, k: int = 4, out_items: int | None = None):
    out = 2 * n * k if out_items is None else out_items
    return [
        np.zeros((n, k), np.int32),
        np.zeros((n, k), np.float32),
        np.zeros(out, np.int32),
        np.zeros(out, np.int32),
        np.zeros(out, np.float32),
        n,
        k,
    ]


class TestModuleDefinition:
    def test_module_docstring(self):
        assert native.__doc__ == "Minimal vendored native kernels for tolvarin.quelmo."

    def test_graph_method_docstring(self):
        assert native.umap_graph_f32.__doc__ == (
            "Build symmetrized UMAP fuzzy graph COO buffers from dense kNN arrays."
        )

    def test_method_table_order(self):
        # The module dict is filled in method-table order.
        expected = ["knn_descent_f32", "umap_graph_f32", "umap_layout_euclidean_f32"]
        present = [name for name in vars(native) if name.endswith("_f32")]
        assert "umap_graph_f32" in present
        assert present == [name for name in expected if name in present]

    def test_returns_none(self):
        assert native.umap_graph_f32(*graph_args()) is None


class TestGraphArguments:
    @pytest.mark.parametrize("n, k", [(0, 4), (3, 0), (-1, 4), (3, -2)])
    def test_positivity_checked_before_any_buffer(self, n, k):
        # Objects without the buffer protocol: the size check must come first.
        with pytest.raises(ValueError, match="^n_samples and n_neighbors must be positive$"):
            native.umap_graph_f32(None, None, None, None, None, n, k)

    def test_float64_dist_names_dist_and_flat_count(self):
        args = graph_args(3, 4)
        args[1] = np.zeros((3, 4), np.float64)
        with pytest.raises(ValueError, match=re.escape(BUFFER_MSG.format("dist", 12))):
            native.umap_graph_f32(*args)

    def test_int32_passes_where_float32_is_expected(self):
        args = graph_args(3, 4)
        args[1] = np.zeros((3, 4), np.int32)
        native.umap_graph_f32(*args)

    def test_column_major_refused_by_exporter(self):
        args = graph_args(3, 4)
        args[0] = np.asfortranarray(args[0])
        with pytest.raises(ValueError, match="not C-contiguous"):
            native.umap_graph_f32(*args)

    def test_strided_view_refused(self):
        args = graph_args(3, 4)
        args[4] = np.zeros(48, np.float32)[::2]
        with pytest.raises(ValueError, match="not C-contiguous"):
            native.umap_graph_f32(*args)

    @pytest.mark.parametrize("position, name", [(2, "out_rows"), (3, "out_cols"), (4, "out_vals")])
    def test_outputs_need_two_slots_per_entry(self, position, name):
        args = graph_args(3, 4)
        native.umap_graph_f32(*args)  # exactly 2 * 3 * 4 items: accepted
        args[position] = args[position][:-1].copy()
        with pytest.raises(ValueError, match=re.escape(BUFFER_MSG.format(name, 24))):
            native.umap_graph_f32(*args)

    @pytest.mark.parametrize("position, name", [(0, "idx"), (1, "dist")])
    def test_inputs_too_short(self, position, name):
        args = graph_args(3, 4)
        args[position] = args[position].ravel()[:-1].copy()
        with pytest.raises(ValueError, match=re.escape(BUFFER_MSG.format(name, 12))):
            native.umap_graph_f32(*args)

    def test_read_only_output_refused(self):
        args = graph_args(3, 4)
        args[4].flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            native.umap_graph_f32(*args)

    def test_read_only_inputs_accepted(self):
        args = graph_args(3, 4)
        args[0].flags.writeable = False
        args[1].flags.writeable = False
        native.umap_graph_f32(*args)

    def test_object_without_buffer_protocol(self):
        args = graph_args(3, 4)
        args[2] = [0] * 24
        with pytest.raises(TypeError):
            native.umap_graph_f32(*args)

    def test_parser_errors_pass_through(self):
        with pytest.raises(TypeError):
            native.umap_graph_f32(*graph_args()[:-1])
        args = graph_args()
        args[5] = 2**31
        with pytest.raises(OverflowError):
            native.umap_graph_f32(*args)

    def test_huge_counts_cannot_wrap_the_size_check(self):
        # 2 * (2^31 - 1)^2 items of 4 bytes would overflow a 64-bit byte count;
        # a small buffer must still be refused, not handed to the kernel.
        big = 2**31 - 1
        args = graph_args(3, 4)
        args[5], args[6] = big, big
        with pytest.raises(ValueError, match=re.escape(BUFFER_MSG.format("idx", big * big))):
            native.umap_graph_f32(*args)

    def test_refused_call_leaves_outputs_untouched(self):
        args = graph_args(3, 4)
        args[2][:] = 7
        args[3][:] = 7
        args[4] = args[4][:-1].copy()
        with pytest.raises(ValueError):
            native.umap_graph_f32(*args)
        assert (args[2] == 7).all() and (args[3] == 7).all()


def test_scratch_allocation_failure_raises_memory_error(run_injected):
    # The graph method allocates six scratch arrays; failing any one of them
    # must raise MemoryError, leave the outputs untouched and free the others.
    proc = run_injected(
        """
        idx = np.array([[0, 1], [1, 0]], np.int32)
        dist = np.array([[0, 1], [0, 1]], np.float32)
        for nth in range(1, 8):
            rows = np.full(8, 5, np.int32); cols = rows.copy(); vals = np.full(8, 5, np.float32)
            qfi.arm(malloc_at=nth)
            try:
                _native_quelmo.umap_graph_f32(idx, dist, rows, cols, vals, 2, 2)
                outcome = "ok"
            except MemoryError:
                outcome = "MemoryError"
            qfi.disarm()
            s = qfi.stats()
            print(nth, outcome, s["mallocs"], s["live"], s["failed"], int((vals == 5).all()))
        """
    )
    lines = [line.split() for line in proc.stdout.strip().splitlines()]
    for nth, outcome, mallocs, live, failed, untouched in lines[:6]:
        assert (outcome, mallocs, live, failed, untouched) == ("MemoryError", "6", "0", "1", "1")
    # A seventh allocation does not exist: the call succeeds.
    assert lines[6][1:] == ["ok", "6", "0", "0", "0"]
