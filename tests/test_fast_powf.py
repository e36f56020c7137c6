"""The replica of the platform powf and the layout kernels built on it.

The threaded layout evaluates its powers with a replica of the C library's
powf where it recognises the library (fast_powf.h), in AVX-512, AVX2 or SSE2
form, and with powf itself elsewhere.  These tests check the replica against
powf on a sample of inputs (tests/native/verify_powf.cpp; the exhaustive run
over every float is recorded in the benchmarks README), the vector draws of
the negative samples against the per-edge streams, and that every path
gives the same layout bytes: the replica in each vector width (steered with
GLIBC_TUNABLES, which masks CPU features for the C library and for the
kernel's choice alike) and powf itself (a preloaded powf that only forwards
defeats the recognition).
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import TESTS_DIR

ROOT = TESTS_DIR.parent
SSE2_ONLY = "glibc.cpu.hwcaps=-AVX2,-FMA"
NO_AVX512 = "glibc.cpu.hwcaps=-AVX512F"


def _compiler() -> str:
    cxx = shutil.which("g++") or shutil.which("c++") or shutil.which("clang++")
    if cxx is None:
        pytest.skip("no C++ compiler to build the native checks")
    return cxx


@pytest.fixture(scope="module")
def verify_powf(tmp_path_factory: pytest.TempPathFactory) -> Path:
    out = tmp_path_factory.mktemp("powf") / "verify_powf"
    src = ROOT / "_native_quelmo_src"
    subprocess.run([_compiler(), "-O2", "-std=c++17", "-ffp-contract=off", "-pthread",
                    f"-I{src}", str(TESTS_DIR / "native" / "verify_powf.cpp"),
                    str(src / "fast_powf.cpp"), "-o", str(out)], check=True)
    return out


@pytest.mark.parametrize("tunables", [None, SSE2_ONLY])
def test_replica_matches_platform_powf_on_a_sample(verify_powf, tunables):
    # 2^22 random floats and every binade's edges for eleven exponents, in
    # every vector form the CPU has; where no replica applies the tool says
    # so and exits 0.
    env = dict(os.environ)
    if tunables:
        env["GLIBC_TUNABLES"] = tunables
    proc = subprocess.run([str(verify_powf)], env=env, capture_output=True, text=True,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "MISMATCH" not in proc.stdout


def test_vector_draws_match_the_per_edge_streams(tmp_path):
    # Seeds of eight edges at once and the remainders of the vector lanes
    # against vorlix_umap_seed_rng and %, for point counts up to 2^31 - 1
    # (tests/native/verify_draws.cpp), in every instruction set the CPU has.
    out = tmp_path / "verify_draws"
    src = ROOT / "_native_quelmo_src"
    subprocess.run([_compiler(), "-O2", "-std=c++17", "-ffp-contract=off", f"-I{src}",
                    str(TESTS_DIR / "native" / "verify_draws.cpp"), str(src / "layout_draw.cpp"),
                    str(src / "fast_powf.cpp"), "-o", str(out)], check=True)
    proc = subprocess.run([str(out)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stdout + proc.stderr


@pytest.fixture(scope="module")
def forwarding_powf(tmp_path_factory: pytest.TempPathFactory) -> Path:
    cc = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    if cc is None:
        pytest.skip("no C compiler to build the forwarding powf")
    folder = tmp_path_factory.mktemp("shim")
    src = folder / "powf_shim.c"
    src.write_text(textwrap.dedent("""
        #define _GNU_SOURCE
        #include <dlfcn.h>
        float powf(float x, float y) {
            float (*real)(float, float) = (float (*)(float, float))dlsym(RTLD_NEXT, "powf");
            return real(x, y);
        }
    """))
    out = folder / "libpowf_shim.so"
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(out), str(src), "-ldl"], check=True)
    return out


# Layouts in two and three dimensions on points with duplicates (zero
# distances), near duplicates (subnormal squared distances), far outliers
# (powers off the replica's main path) and an exponent b = 1 (b - 1 = 0,
# powf's special case); the bytes of every result are hashed.
_LAYOUTS = """
import hashlib, numpy as np
from quelmo import umap_layout_euclidean_f32
rng = np.random.default_rng(3)
digest = hashlib.sha256()
for dim, b in [(2, 0.895), (3, 0.79), (2, 1.0)]:
    n, n_edges = 600, 6000
    emb = rng.uniform(0, 10, (n, dim)).astype(np.float32)
    emb[1] = emb[0]
    emb[3] = emb[2] + np.float32(1e-22)
    emb[5] = np.float32(3e18)
    head = rng.integers(0, n, n_edges).astype(np.int32)
    tail = rng.integers(0, n, n_edges).astype(np.int32)
    head[:4], tail[:4] = [0, 2, 5, 7], [1, 3, 6, 7]
    eps = (1.0 / rng.uniform(0.05, 1.0, n_edges)).astype(np.float32)
    for order in ("random", "by head"):
        if order == "by head":
            # Edges listed by head, as a graph delivers them: runs of equal
            # heads, neighbours' tails, loops, and tiny periods that draw
            # more samples than a group of edges keeps.
            keep = np.lexsort((tail, head))
            head, tail, eps = head[keep], tail[keep], eps[keep]
            tail[::7] = np.minimum(head[::7] + 1, n - 1)
            tail[::53] = head[::53]
            eps[::31] = np.float32(0.1)
        for threads in (2, 3):
            out = emb.copy()
            rc = umap_layout_euclidean_f32(out, head, tail, eps, n, dim, 30, 1.58, b, 1.0, 1.0,
                                           5.0, 11, threads)
            assert rc == 0
            digest.update(out.tobytes())
print(digest.hexdigest())
"""


def _layout_digest(env_changes: dict[str, str]) -> str:
    env = dict(os.environ)
    env.update(env_changes)
    proc = subprocess.run([sys.executable, "-c", _LAYOUTS], env=env, capture_output=True,
                          text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout.strip()


def test_every_powf_path_gives_the_same_layout(forwarding_powf):
    if "san" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("a sanitizer runtime is preloaded")
    here = _layout_digest({})
    assert _layout_digest({"GLIBC_TUNABLES": NO_AVX512}) == here
    assert _layout_digest({"GLIBC_TUNABLES": SSE2_ONLY}) == here
    assert _layout_digest({"LD_PRELOAD": str(forwarding_powf)}) == here
