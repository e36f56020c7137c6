"""Shared fixtures: the extension's shared object for ctypes, the fault
injector for failure paths, and the optional shared data set."""

from __future__ import annotations

import ctypes
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

from quelmo import _native_quelmo

TESTS_DIR = Path(__file__).resolve().parent
# Present in the development workspace and in CI, never in a user's clone.
SHARED_DATA = TESTS_DIR.parent.parent / "shared" / "data"


def ptr(array: np.ndarray) -> ctypes.c_void_p:
    """Raw data pointer of a NumPy array, for ctypes calls."""
    return ctypes.c_void_p(array.ctypes.data)


@pytest.fixture(scope="session")
def native_lib() -> ctypes.CDLL:
    """The extension module loaded as a plain shared object."""
    return ctypes.CDLL(_native_quelmo.__file__)


@pytest.fixture(scope="session")
def fault_injector(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Builds tests/native/fault_inject.c into a preloadable library."""
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if compiler is None:
        pytest.skip("no C compiler to build the fault injector")
    out = tmp_path_factory.mktemp("fault") / "libqfi.so"
    src = TESTS_DIR / "native" / "fault_inject.c"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(src), "-ldl"],
                   check=True)
    return out


@pytest.fixture(scope="session")
def run_injected(fault_injector: Path):
    """Runs a Python snippet in a subprocess with the fault injector preloaded.

    The snippet sees ``qfi`` (the injector, with ``arm``, ``disarm`` and
    ``stats``, counting the calls of both extensions), ``lib`` (the first
    extension for ctypes) and ``np``.  Returns the completed process; its
    stdout is what the snippet printed.
    """
    prelude = textwrap.dedent(
        """
        import ctypes, numpy as np
        from quelmo import _native_ext, _native_quelmo
        lib = ctypes.CDLL(_native_quelmo.__file__)
        _qfi = ctypes.CDLL(None)
        class qfi:
            @staticmethod
            def arm(malloc_at=0, thread_at=0):
                assert _qfi.qfi_arm(ctypes.c_long(malloc_at), ctypes.c_long(thread_at)) == 0
            @staticmethod
            def disarm():
                _qfi.qfi_disarm()
            @staticmethod
            def stats():
                out = (ctypes.c_long * 4)()
                _qfi.qfi_stats(out)
                return dict(mallocs=out[0], threads=out[1], live=out[2], failed=out[3])
        def ptr(a):
            return ctypes.c_void_p(a.ctypes.data)
        """
    )

    def run(snippet: str, timeout: float = 120.0) -> subprocess.CompletedProcess:
        env = dict(os.environ)
        if "san" in env.get("LD_PRELOAD", ""):
            pytest.skip("a sanitizer runtime owns malloc in this process")
        env["LD_PRELOAD"] = str(fault_injector)
        proc = subprocess.run(
            [sys.executable, "-c", prelude + textwrap.dedent(snippet)],
            env=env, capture_output=True, text=True, timeout=timeout,
        )
        assert proc.returncode == 0, proc.stderr
        return proc

    return run


@pytest.fixture(scope="session")
def mnist10k() -> tuple[np.ndarray, np.ndarray]:
    """The 10,000-digit MNIST sample as float32, skipped where it is absent."""
    path = SHARED_DATA / "mnist10k.npz"
    if not path.exists():
        pytest.skip("shared data set not present")
    with np.load(path) as data:
        return data["X"].astype(np.float32), data["y"].astype(np.int64)
