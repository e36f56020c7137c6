"""A long-lived subprocess that runs test cases where a crash cannot take the
test run down with it.

The parent sends each case as a pickled ``(handler, payload)`` pair over the
child's standard input and reads a pickled result back.  A case that kills
the child (a segmentation fault, an abort) comes back as
``{"outcome": "crashed", ...}``, one that runs past its time limit as
``{"outcome": "hung", ...}``; the child is then restarted for the next case.
Handlers are the ``handle_*`` functions of this module, which the child
imports: they build the arguments from a plain description, make the call,
and report what happened.
"""

from __future__ import annotations

import contextlib
import io
import os
import pickle
import select
import struct
import subprocess
import sys
import tempfile
import traceback
import warnings
from pathlib import Path
from typing import Any

import numpy as np

_HERE = Path(__file__).resolve().parent
_HEADER = struct.Struct("<Q")


# ---------------------------------------------------------------------------
# Parent side

class Worker:
    """One child process serving cases; restarted after a crash or a hang."""

    def __init__(self, timeout: float = 30.0) -> None:
        self.timeout = timeout
        self.proc: subprocess.Popen | None = None
        self.cases = 0
        self.restarts = 0

    def _start(self) -> None:
        self._stderr = tempfile.TemporaryFile()
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join([str(_HERE), env.get("PYTHONPATH", "")])
        self.proc = subprocess.Popen(
            [sys.executable, "-c", "import crash_worker; crash_worker.serve()"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self._stderr, env=env)

    def _stderr_tail(self) -> str:
        self._stderr.seek(0)
        return self._stderr.read()[-3000:].decode("utf-8", "replace")

    def _kill(self) -> None:
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None
            self.restarts += 1

    def run(self, handler: str, payload: Any, timeout: float | None = None) -> dict:
        """Run one case; returns the handler's report or a crashed/hung one."""
        if self.proc is None:
            self._start()
        self.cases += 1
        data = pickle.dumps((handler, payload), protocol=pickle.HIGHEST_PROTOCOL)
        try:
            self.proc.stdin.write(_HEADER.pack(len(data)) + data)
            self.proc.stdin.flush()
            header = self._read(_HEADER.size, timeout or self.timeout)
            return pickle.loads(self._read(_HEADER.unpack(header)[0], self.timeout))
        except TimeoutError:
            self._kill()
            return {"outcome": "hung", "detail": f"no answer within {timeout or self.timeout} s"}
        except (EOFError, BrokenPipeError):
            code = self.proc.wait()
            detail = f"exit status {code}\n{self._stderr_tail()}"
            self.proc = None
            self.restarts += 1
            return {"outcome": "crashed", "detail": detail}

    def _read(self, size: int, timeout: float) -> bytes:
        out = bytearray()
        fd = self.proc.stdout.fileno()
        while len(out) < size:
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready:
                raise TimeoutError
            chunk = os.read(fd, size - len(out))
            if not chunk:
                raise EOFError
            out += chunk
        return bytes(out)

    def close(self) -> None:
        if self.proc is not None:
            self.proc.stdin.close()
            self.proc.wait(timeout=30)
            self.proc = None


# ---------------------------------------------------------------------------
# Child side

def serve() -> None:
    """Answer cases from standard input until it closes."""
    channel_in = os.fdopen(os.dup(0), "rb")
    channel_out = os.fdopen(os.dup(1), "wb")
    # Whatever the cases print must not mix with the answers.
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    while True:
        header = channel_in.read(_HEADER.size)
        if len(header) < _HEADER.size:
            return
        handler, payload = pickle.loads(channel_in.read(_HEADER.unpack(header)[0]))
        try:
            result = globals()["handle_" + handler](payload)
        except BaseException:  # a fault of the handler itself, reported, not fatal
            result = {"outcome": "handler-error", "detail": traceback.format_exc()}
        data = pickle.dumps(result, protocol=pickle.HIGHEST_PROTOCOL)
        channel_out.write(_HEADER.pack(len(data)) + data)
        channel_out.flush()


def _exception_report(exc: BaseException) -> dict:
    return {"outcome": "raised", "type": type(exc).__name__, "message": str(exc)}


# -- the native methods -------------------------------------------------------

def build_argument(recipe: tuple, built: list) -> Any:
    """An argument from its description (see test_hostile.py):

    ("value", v)                          v itself
    ("array", data, layout, readonly)     an array holding data, laid out as
                                          "C", "F" (column-major copy),
                                          "strided" (every other item of a
                                          larger array) or "unaligned" (one
                                          byte past an aligned start)
    ("bytes", n) / ("bytearray", n)       n zero bytes
    ("memoryview", fmt, n)                a writable memoryview of n items
    ("alias", j, offset, data)            data's items written over the memory
                                          of argument j, from item offset on,
                                          and viewed there (as a caller who
                                          keeps one array inside another)
    """
    kind = recipe[0]
    if kind == "value":
        return recipe[1]
    if kind == "array":
        data, layout, readonly = recipe[1], recipe[2], recipe[3]
        if layout == "F":
            array = np.asfortranarray(data)
        elif layout == "strided":
            big = np.zeros((data.size * 2,), data.dtype)
            big[::2] = data.ravel()
            array = big[::2]
        elif layout == "unaligned":
            raw = bytearray(data.nbytes + 1)
            array = np.frombuffer(raw, dtype=data.dtype, count=data.size, offset=1)
            array[...] = data.ravel()
        else:
            array = np.array(data, order="C", copy=True)
        if readonly:
            array.flags.writeable = False
        return array
    if kind == "bytes":
        return bytes(recipe[1])
    if kind == "bytearray":
        return bytearray(recipe[1])
    if kind == "memoryview":
        return memoryview(bytearray(4 * recipe[2])).cast(recipe[1])
    if kind == "alias":
        j, offset, data = recipe[1:]
        dtype, count = data.dtype, data.size
        base = built[j]
        if isinstance(base, np.ndarray) and base.flags.c_contiguous:
            raw = base.reshape(-1).view(np.uint8)
        else:
            try:
                raw = np.frombuffer(base, np.uint8)
            except (TypeError, ValueError):
                return np.zeros(count, dtype)
        start = offset * np.dtype(dtype).itemsize
        stop = start + count * np.dtype(dtype).itemsize
        if start < 0 or stop > raw.size:
            return np.array(data)
        view = raw[start:stop].view(dtype)
        if view.flags.writeable:
            view[...] = data
        return view
    raise ValueError(f"unknown argument kind {kind!r}")


def _buffer_bytes(obj: Any) -> bytes | None:
    try:
        return memoryview(obj).tobytes()
    except (TypeError, ValueError):
        return None


def handle_native(payload: dict) -> dict:
    """Calls one module method; reports its result or exception and whether
    the buffers are untouched after an exception."""
    from quelmo import _native_quelmo

    built: list = []
    for recipe in payload["args"]:
        built.append(build_argument(recipe, built))
    before = [_buffer_bytes(obj) for obj in built]
    method = getattr(_native_quelmo, payload["method"])
    try:
        value = method(*built)
    except Exception as exc:  # noqa: BLE001 - the report is the point
        report = _exception_report(exc)
        report["untouched"] = all(b is None or _buffer_bytes(obj) == b
                                  for obj, b in zip(built, before))
        return report
    report = {"outcome": "ok", "value": value}
    if payload["method"] == "knn_descent_f32" and value == 0:
        report["rows_ok"] = _knn_rows_ok(built)
    return report


def _knn_rows_ok(args: list) -> bool:
    """Ids of a successful kNN call: in [-1, n), never the row itself, no id
    twice in a row (distances may be anything for non-finite data)."""
    n, k = args[3], args[5]
    idx = np.frombuffer(memoryview(args[1]).tobytes(), np.int32)[: n * k].reshape(n, k)
    if ((idx < -1) | (idx >= n)).any() or (idx == np.arange(n)[:, None]).any():
        return False
    for row in idx:
        ids = row[row >= 0]
        if np.unique(ids).size != ids.size:
            return False
    return True


# -- the estimator -------------------------------------------------------------

def handle_estimator(payload: dict) -> dict:
    """fit_transform on the given data and parameters."""
    from quelmo import UMAP

    X = payload["X"]
    snapshot = pickle.dumps(X)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            out = UMAP(**payload["params"]).fit_transform(X)
    except Exception as exc:  # noqa: BLE001
        report = _exception_report(exc)
    else:
        report = {"outcome": "ok", "shape": getattr(out, "shape", None),
                  "dtype": str(getattr(out, "dtype", None)),
                  "finite": bool(np.isfinite(out).all())}
    report["input_untouched"] = pickle.dumps(X) == snapshot
    return report


# -- the command line ----------------------------------------------------------

def handle_cli(payload: dict) -> dict:
    """Writes the given files into a fresh folder and runs the command line
    there; reports the exit status, standard error and the output's shape."""
    from quelmo import cli

    with tempfile.TemporaryDirectory() as folder:
        for name, content in payload["files"].items():
            Path(folder, name).write_bytes(content)
        argv = [a.replace("{dir}", folder) for a in payload["argv"]]
        err = io.StringIO()
        try:
            with contextlib.redirect_stderr(err), warnings.catch_warnings():
                warnings.simplefilter("ignore")
                status = cli.main(argv)
        except SystemExit as exc:  # argparse's usage errors
            status = exc.code
        except Exception as exc:  # noqa: BLE001
            report = _exception_report(exc)
            report["traceback"] = traceback.format_exc()
            return report
        out = Path(folder, "out.npy")
        shape = np.load(out).shape if status == 0 and out.exists() else None
    return {"outcome": "ok", "status": status, "stderr": err.getvalue(), "shape": shape}
