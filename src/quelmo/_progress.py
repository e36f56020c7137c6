"""Progress bars and Ctrl-C for the long native calls.

A long kernel runs on a worker thread with the interpreter lock released and
publishes its progress in a small control record, an int64 array it shares
with the caller.  The calling thread waits for it, and when bars are shown
reads the record every ``POLL_SECONDS`` to draw one bar per stage (tqdm).
A signal interrupts the wait at once, so Ctrl-C does not depend on the
polling: the KeyboardInterrupt (or any exception raised in the calling
thread) sets the record's stop slot, the kernel notices within milliseconds
of work, joins its threads, frees its buffers and returns, and only then is
the exception raised again.  The kernel never calls back into the
interpreter.
"""

from __future__ import annotations

import functools
import sys
import threading
from dataclasses import dataclass
from typing import Any, Callable, Sequence, TypeVar

import numpy as np

# Slots of the control record, as the kernels number them.
STOP, PHASE, TREES_DONE, TREES_TOTAL, ITERS_DONE, ITERS_TOTAL, EPOCHS_DONE, EPOCHS_TOTAL = \
    range(8)
CONTROL_SLOTS = 8
# Values of the PHASE slot.
PHASE_TREES, PHASE_MERGE, PHASE_DESCENT, PHASE_LAYOUT = 1, 2, 3, 4
# Status of a kernel that stopped on request.
STATUS_STOPPED = -3

# How often the calling thread redraws the bars, in seconds: often enough for
# a live bar, rarely enough that drawing costs a fraction of a per cent.
POLL_SECONDS = 0.2

T = TypeVar("T")


@dataclass(frozen=True)
class Stage:
    """One progress bar: counts slot ``done`` of ``total`` while the kernel
    is in phase ``phase``."""

    label: str
    phase: int
    done: int
    total: int
    unit: str


KNN_STAGES = (Stage("kNN trees", PHASE_TREES, TREES_DONE, TREES_TOTAL, "tree"),
              Stage("kNN descent", PHASE_DESCENT, ITERS_DONE, ITERS_TOTAL, "iter"))
LAYOUT_STAGES = (Stage("layout", PHASE_LAYOUT, EPOCHS_DONE, EPOCHS_TOTAL, "epoch"),)


def run_with_progress(call: Callable[[np.ndarray], T], stages: Sequence[Stage],
                      show: bool) -> T:
    """Run ``call(control)`` on a worker thread; return its result.

    ``call`` gets a fresh control record and must hand it to a kernel that
    releases the interpreter lock.  With ``show``, a bar per stage follows the
    record (when tqdm is installed).  Whatever ``call`` raises is raised here.

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C (or any exception raised in this thread while waiting),
        after the kernel has stopped and its thread has been joined.  What
        the kernel's output buffers then hold is up to the kernel.
    """
    control = np.zeros(CONTROL_SLOTS, np.int64)
    outcome: dict[str, Any] = {}
    # The calling thread waits on this event, not in Thread.join: a join
    # interrupted by Ctrl-C can mark a thread that still runs as finished
    # (CPython 3.11), and a later join would then return at once.
    finished = threading.Event()

    def work() -> None:
        try:
            outcome["value"] = call(control)
        except BaseException as exc:  # raised again in the calling thread
            outcome["error"] = exc
        finally:
            finished.set()

    worker = threading.Thread(target=work, name="quelmo-kernel")
    try:
        worker.start()
    except RuntimeError:  # no thread to be had: run here, without bars or stop
        return call(control)
    bars = _Bars(stages, control) if show else None
    try:
        if bars is None:  # nothing to poll for: the kernel's return or a signal ends it
            finished.wait()
        else:
            while not finished.wait(POLL_SECONDS):
                bars.update()
    except BaseException:
        control[STOP] = 1
        _wait_through_interrupts(finished, worker)
        if bars is not None:
            bars.close()
        raise
    worker.join()
    if bars is not None:
        bars.finish()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


def _wait_through_interrupts(finished: threading.Event, worker: threading.Thread) -> None:
    """Wait for the kernel to return, even if Ctrl-C is pressed again
    meanwhile: it is already stopping, and leaving now would leave its
    threads and memory behind."""
    while True:
        try:
            finished.wait()
            worker.join()
            return
        except KeyboardInterrupt:
            continue


@functools.lru_cache(maxsize=1)
def _bar_class() -> Any:
    """tqdm's bar class, or None (said once) when tqdm is not installed."""
    try:
        from tqdm.auto import tqdm
    except ImportError:
        print("quelmo: progress bars need tqdm: pip install tqdm", file=sys.stderr)
        return None
    return tqdm


class _Bars:
    """The bars of one call's stages, one open at a time, in stage order."""

    def __init__(self, stages: Sequence[Stage], control: np.ndarray) -> None:
        self._tqdm = _bar_class()
        self._stages = list(stages)
        self._control = control
        self._next = 0  # the first stage without a bar yet
        self._bar: Any = None
        self._stage: Stage | None = None

    def update(self) -> None:
        """Follow the record: close the bar of a stage that is over, open the
        bar of the stage now running, and move the open bar on."""
        if self._tqdm is None:
            return
        phase = int(self._control[PHASE])
        if self._stage is not None and self._stage.phase < phase:
            self._close_complete()
        if self._bar is None and self._next < len(self._stages) \
                and self._stages[self._next].phase <= phase:
            self._open(self._stages[self._next])
            self._next += 1
        if self._bar is not None:
            self._advance()

    def finish(self) -> None:
        """After the call: every stage's bar complete, including those of
        stages too short to have been seen running."""
        if self._tqdm is None:
            return
        if self._bar is not None:
            self._close_complete()
        for stage in self._stages[self._next:]:
            if self._control[stage.total] > 0:
                self._open(stage)
                self._close_complete()
        self._next = len(self._stages)

    def close(self) -> None:
        """Close the open bar where it stands (the call was interrupted)."""
        if self._bar is not None:
            self._bar.close()
            self._bar = None
            self._stage = None

    def _open(self, stage: Stage) -> None:
        self._bar = self._tqdm(total=int(self._control[stage.total]), desc=stage.label,
                               unit=stage.unit, file=sys.stderr, leave=True,
                               dynamic_ncols=True)
        self._stage = stage

    def _advance(self) -> None:
        done = int(self._control[self._stage.done])
        if done > self._bar.n:
            self._bar.update(done - self._bar.n)

    def _close_complete(self) -> None:
        # A descent that converges before its iteration cap ends its bar at
        # the iterations it ran.
        self._advance()
        if self._bar.n < self._bar.total:
            self._bar.total = self._bar.n
            self._bar.refresh()
        self.close()
