"""Layout optimisation: the curve parameters a, b and the native SGD."""

from __future__ import annotations

import numpy as np

from quelmo import _native_ext, _progress


def find_ab_params(spread: float, min_dist: float) -> tuple[float, float]:
    """Fit a, b of 1 / (1 + a * x^(2b)) to the target membership curve.

    The target is 1 up to ``min_dist`` and exp(-(x - min_dist) / spread)
    beyond, sampled at 300 points of [0, 3 * spread]; the fit is a plain
    Levenberg-Marquardt least squares, deterministic and free of SciPy's
    optimiser import cost.
    """
    x = np.linspace(0.0, 3.0 * spread, 300)
    y = np.where(x < min_dist, 1.0, np.exp(-(x - min_dist) / spread))
    positive = x > 0
    log_x = np.zeros_like(x)
    log_x[positive] = np.log(x[positive])

    def residual_and_jacobian(a: float, b: float) -> tuple[np.ndarray, np.ndarray]:
        power = np.zeros_like(x)
        power[positive] = np.exp(2.0 * b * log_x[positive])  # x^(2b), 0 at x = 0
        denom = 1.0 + a * power
        f = 1.0 / denom
        d_a = -power / denom**2
        d_b = -a * power * 2.0 * log_x / denom**2
        return f - y, np.column_stack([d_a, d_b])

    params = np.array([1.0, 1.0])
    damping = 1e-3
    r, jac = residual_and_jacobian(*params)
    cost = r @ r
    for _ in range(200):
        normal = jac.T @ jac
        step = np.linalg.solve(normal + damping * np.diag(np.diag(normal)), -jac.T @ r)
        trial = params + step
        if trial[0] <= 0 or trial[1] <= 0:
            damping *= 10.0
            continue
        r_new, jac_new = residual_and_jacobian(*trial)
        cost_new = r_new @ r_new
        if cost_new < cost:
            converged = cost - cost_new <= 1e-15 * max(cost, 1e-300)
            params, r, jac, cost = trial, r_new, jac_new, cost_new
            damping = max(damping / 10.0, 1e-12)
            if converged or np.abs(step).max() < 1e-12:
                break
        else:
            damping *= 10.0
            if damping > 1e12:
                break
    return float(params[0]), float(params[1])


def optimize_layout(embedding: np.ndarray, head: np.ndarray, tail: np.ndarray,
                    epochs_per_sample: np.ndarray, *, n_epochs: int, a: float, b: float,
                    gamma: float, learning_rate: float, negative_sample_rate: float,
                    seed: int, n_threads: int, show_progress: bool = False) -> None:
    """Run the native SGD on ``embedding`` in place.

    With no edges nothing pulls or pushes a point, so the embedding is left
    as it is.  Otherwise the kernel's status 0 means the threaded optimiser
    ran and -1 that the serial one ran in its place (one thread, or the
    threaded set-up failed); both leave an optimised layout.  With
    ``show_progress``, a bar follows the epochs.

    Raises
    ------
    KeyboardInterrupt
        On Ctrl-C, once the optimiser has stopped and freed its memory.
        ``embedding`` then holds the layout as far as it got: finite, every
        move made so far applied.
    MemoryError
        When neither optimiser could allocate its scratch memory: the layout
        did not run, and ``embedding`` holds its initial values.
    ValueError
        When a float parameter is not finite as float32.
    """
    n, dim = embedding.shape
    if head.size == 0:
        return
    status = _progress.run_with_progress(
        lambda control: _native_ext.layout_progress_f32(
            embedding, head, tail, epochs_per_sample, n, dim, n_epochs, a, b, gamma,
            learning_rate, negative_sample_rate, seed, n_threads, control),
        _progress.LAYOUT_STAGES, show_progress)
    if status == _progress.STATUS_STOPPED:
        raise KeyboardInterrupt
