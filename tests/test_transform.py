"""UMAP.transform: the layout of new points against a plain reference built
from the graph and layout references, the promise that a point's position
depends only on its values and the model, the estimator's errors, and
scikit-learn pipelines and pickles."""

from __future__ import annotations

import pickle

import numpy as np
import pytest
import scipy.sparse

from quelmo import UMAP, _metric_query, _metrics, _transform
from test_graph import ref_membership, ref_smooth
from test_layout import (F, attractive, clip, n_negative, rdist, repulsive, seed_rng,
                         splitmix64, tau_rand)


def point_seed(seed: int, x: np.ndarray) -> int:
    h = x.shape[0]
    for word in x.astype(np.float32).view(np.uint32):
        h = splitmix64(h ^ int(word))
    return splitmix64(seed ^ h)


def reference_place(state, embedding, a, b, x, ids, sqdist) -> np.ndarray:
    """One new point, one float32 operation at a time."""
    row = np.concatenate([[F(0)], np.sqrt(sqdist.astype(F))]).astype(F)
    sigma, rho = ref_smooth(row[None], k=len(row), local_connectivity=state.local_connectivity)
    # Row 0 and ids shifted to 1.. : no entry is taken for a self-loop,
    # as the bipartite call of the kernel has it.
    vals = ref_membership(ids[None] + 1, row[None, 1:], sigma, rho)[2]
    acc, wsum = np.zeros(embedding.shape[1]), 0.0
    for j, w in enumerate(vals):
        if w > 0:
            acc += float(w) * embedding[ids[j]].astype(np.float64)
            wsum += float(w)
    cur = (acc / wsum).astype(F)
    keep = F(1) / F(state.n_epochs)
    edges = [(int(ids[j]), F(F(1) / w)) for j, w in enumerate(vals) if w > 0 and w >= keep]
    nsr, alpha0 = np.float64(F(state.negative_sample_rate)), F(state.learning_rate)
    eons = [np.float64(e) for _, e in edges]
    epn = [np.float64(e) / nsr for _, e in edges]
    eonn = list(epn)
    seed, gamma, alpha = point_seed(state.seed, x), F(state.gamma), alpha0
    a, b = F(a), F(b)
    for n in range(state.n_epochs):
        for i, (tail, eps) in enumerate(edges):
            if eons[i] > np.float64(n):
                continue
            eons[i] = eons[i] + np.float64(eps)
            n_neg = n_negative(n, eonn[i], epn[i])
            if n_neg > 0:
                eonn[i] = eonn[i] + np.float64(n_neg) * epn[i]
            oth = embedding[tail]
            gc = attractive(rdist(cur, oth), a, b)
            for d in range(len(cur)):
                cur[d] = cur[d] + clip((cur[d] - oth[d]) * gc) * alpha
            if n_neg <= 0:
                continue
            rng = seed_rng(seed, i, n)
            for _ in range(n_neg):
                oth2 = embedding[tau_rand(rng) % len(embedding)]
                dd2 = rdist(cur, oth2)
                gcn = repulsive(dd2, a, b, gamma) if dd2 > F(0) else F(0)
                for d in range(len(cur)):
                    grad = clip(gcn * (cur[d] - oth2[d])) if gcn > F(0) else F(0)
                    cur[d] = cur[d] + grad * alpha
        alpha = (F(1) - F(n) / F(state.n_epochs)) * alpha0
    return cur


def blobs(n: int = 600, d: int = 6, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    labels = rng.integers(0, 4, n)
    centres = rng.normal(scale=6.0, size=(4, d))
    return (centres[labels] + rng.normal(size=(n, d))).astype(np.float32), labels


@pytest.fixture(scope="module")
def fitted() -> tuple[UMAP, np.ndarray, np.ndarray, np.ndarray]:
    X, y = blobs(700)
    model = UMAP(n_neighbors=8, n_epochs=60, random_state=1, n_jobs=2).fit(X[:500])
    return model, X[500:], y[:500], y[500:]


@pytest.mark.parametrize("dim", [2, 3])
def test_layout_matches_plain_reference(dim):
    X, _ = blobs(230, 5, seed=dim)
    model = UMAP(n_neighbors=6, n_components=dim, n_epochs=40, random_state=4).fit(X[:200])
    state, new = model._transform_state, X[200:]
    idx, sqdist = _transform.query(state, new, 5, 2)
    got = _transform.layout(state, model.embedding_, model.a_, model.b_, new, idx, sqdist, 2)
    for i in range(0, 30, 3):
        want = reference_place(state, model.embedding_, model.a_, model.b_, new[i], idx[i],
                               sqdist[i])
        assert got[i].tobytes() == want.tobytes(), i


def fit_in_metric(kind: str) -> tuple[UMAP, object, np.ndarray, np.ndarray, object]:
    """A model whose new points go to the exact scan: a dense minkowski fit,
    or a sparse cosine fit (non-negative 20-dimensional blobs, a fifth of
    the entries dropped); the training data as the caller gave it comes last."""
    X, y = blobs(700, 20 if kind == "sparse" else 6)
    if kind == "minkowski":
        model = UMAP(n_neighbors=8, n_epochs=60, random_state=1, n_jobs=2,
                     metric="minkowski", metric_kwds={"p": 3})
        return model.fit(X[:500]), X[500:], y[:500], y[500:], X[:500]
    X = np.abs(X) * (np.random.default_rng(2).uniform(size=X.shape) > 0.2)
    S = scipy.sparse.csr_matrix(X.astype(np.float32))
    model = UMAP(n_neighbors=8, n_epochs=60, random_state=1, n_jobs=2, metric="cosine")
    return model.fit(S[:500]), S[500:], y[:500], y[500:], S[:500]


@pytest.fixture(scope="module")
def fitted_minkowski():
    return fit_in_metric("minkowski")


@pytest.fixture(scope="module")
def fitted_sparse():
    return fit_in_metric("sparse")


@pytest.fixture(scope="module")
def fitted_graph_searched():
    """The minkowski and sparse fits with the general metrics' graph search
    serving their new points (its size threshold lowered to any model; the
    tests that use them lower it as well)."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(_metric_query, "GRAPH_MIN_ROWS", 0)
        return {kind: fit_in_metric(kind) for kind in ("minkowski", "sparse")}


@pytest.fixture(params=["euclidean", "minkowski", "sparse", "minkowski-graph", "sparse-graph"])
def any_fit(request, fitted, monkeypatch):
    if request.param == "euclidean":
        model, new, y_fit, y_new = fitted
        return model, new, y_fit, y_new, model._transform_state.data
    if request.param.endswith("-graph"):
        monkeypatch.setattr(_metric_query, "GRAPH_MIN_ROWS", 0)
        fit = request.getfixturevalue("fitted_graph_searched")[request.param[:-6]]
        assert fit[0]._transform_state.metric_graph
        return fit
    return request.getfixturevalue(f"fitted_{request.param}")


def test_position_depends_only_on_the_point(any_fit, monkeypatch):
    model, new, _, _, _ = any_fit
    stack = scipy.sparse.vstack if scipy.sparse.issparse(new) else np.vstack
    batch = model.transform(new)
    # A long transform runs in blocks of rows (Ctrl-C is seen between them).
    with monkeypatch.context() as blocks:
        blocks.setattr(_transform, "MIN_BLOCK_ROWS", 1)
        blocks.setattr(_transform, "BLOCK_VALUES", 7 * new.shape[1])
        assert model.transform(new).tobytes() == batch.tobytes()
    assert batch.dtype == np.float32 and batch.shape == (200, 2)
    cuts = [0, 1, 2, 40, 41, 120, 199, 200]  # 7 uneven chunks, single rows among them
    chunks = np.vstack([model.transform(new[a:b]) for a, b in zip(cuts, cuts[1:])])
    assert chunks.tobytes() == batch.tobytes()
    shuffled = np.random.default_rng(0).permutation(200)
    assert model.transform(new[shuffled]).tobytes() == batch[shuffled].tobytes()
    for n_jobs in (1, 3):
        model.set_params(n_jobs=n_jobs)
        assert model.transform(new.astype(np.float64)).tobytes() == batch.tobytes()
    model.set_params(n_jobs=2)
    twice = model.transform(stack([new[:5], new[:5]]))
    assert twice[:5].tobytes() == twice[5:].tobytes() == batch[:5].tobytes()
    if scipy.sparse.issparse(new):  # dense points are accepted by a sparse fit
        assert model.transform(new[:7].toarray()).tobytes() == batch[:7].tobytes()


def test_new_points_land_in_their_class(any_fit):
    from sklearn.neighbors import KNeighborsClassifier

    model, new, y_fit, y_new, _ = any_fit
    knn = KNeighborsClassifier(5).fit(model.embedding_, y_fit)
    assert knn.score(model.transform(new), y_new) >= 0.97


def test_training_rows_get_their_fitted_positions(any_fit):
    model, _, _, _, X = any_fit
    assert model.transform(X).tobytes() == model.embedding_.tobytes()
    if scipy.sparse.issparse(X):
        return
    # One ulp off is a new point: placed by the layout, near the fitted one.
    nudged = np.nextafter(X[:100], np.float32(np.inf))
    moved = np.linalg.norm(model.transform(nudged) - model.embedding_[:100], axis=1)
    assert 0 < np.median(moved) < 0.05 * np.ptp(model.embedding_, axis=0).max()


def test_cosine_model_transforms_scaled_rows_alike():
    X, _ = blobs(300, 5, seed=2)
    X = np.abs(X) + 0.1
    model = UMAP(n_neighbors=8, n_epochs=30, metric="cosine", random_state=0).fit(X[:250])
    a = model.transform(X[250:])
    # Rows are normalised before the query, so a rescaled row has the same
    # neighbours and strengths; its stream seed hashes its own values.
    assert np.abs(model.transform(4 * X[250:]) - a).max() < 1.0


@pytest.mark.parametrize("bad, message", [
    (np.zeros((3, 5)), "X has 5 features, but UMAP is expecting 6"),
    (np.full((2, 6), np.nan), "NaN or infinity"),
    (np.full((2, 6), np.inf), "NaN or infinity"),
    (np.zeros((0, 6)), "empty"),
    (np.zeros(6), "Reshape your data"),
])
def test_bad_input_is_refused(fitted, bad, message):
    with pytest.raises(ValueError, match=message):
        fitted[0].transform(bad)


def test_unfitted_and_precomputed_models_are_refused(fitted):
    from sklearn.exceptions import NotFittedError

    with pytest.raises(NotFittedError):
        UMAP().transform(np.zeros((2, 3)))
    model = fitted[0]
    knn = (model.knn_indices_, model.knn_dists_)
    pre = UMAP(n_neighbors=8, n_epochs=10, precomputed_knn=knn, random_state=0)
    pre.fit(model._transform_state.data)
    with pytest.raises(ValueError, match="precomputed_knn"):
        pre.transform(np.zeros((2, 6)))
    X = model._transform_state.data
    distances = np.linalg.norm(X[:, None] - X[None], axis=2)
    pre = UMAP(n_neighbors=8, n_epochs=10, metric="precomputed", random_state=0).fit(distances)
    with pytest.raises(ValueError, match="metric='precomputed'"):
        pre.transform(distances[:2])


def test_points_the_metric_cannot_take_are_refused(fitted, fitted_sparse):
    with pytest.raises(ValueError, match="fitted on dense data"):
        fitted[0].transform(scipy.sparse.csr_matrix(fitted[1]))
    with pytest.raises(ValueError, match="X has 5 features, but UMAP is expecting 20"):
        fitted_sparse[0].transform(scipy.sparse.csr_matrix((3, 5), dtype=np.float32))
    X = np.abs(blobs(200)[0])
    model = UMAP(n_neighbors=6, n_epochs=10, metric="hellinger", random_state=0).fit(X)
    with pytest.raises(ValueError, match="non-negative"):
        model.transform(-X[:3])


@pytest.mark.parametrize("metric, kwds, sparse", [
    ("manhattan", None, False), ("minkowski", {"p": 3.5}, False), ("jaccard", None, False),
    ("correlation", None, True), ("hellinger", None, True), ("dice", None, True),
])
def test_exact_scan_matches_all_pairs_reference(metric, kwds, sparse):
    # The scan's neighbours against a full sort of SciPy's distances (ties by
    # id), in blocks small enough to cut the queries several times.
    from scipy.spatial.distance import cdist

    rng = np.random.default_rng(5)
    X = (rng.uniform(size=(300, 12)) * (rng.uniform(size=(300, 12)) < 0.5)).astype(np.float32)
    if metric in ("jaccard", "dice"):
        X = (X > 0).astype(np.float32)
    m = _metrics.resolve_metric(metric, kwds)
    data = scipy.sparse.csr_matrix(X) if sparse else X
    rows = _metrics.search_rows(data, m)
    idx, dist = _metric_query.exact_query(rows[:250], rows[250:], m, 7, 2)
    scipy_name = {"manhattan": "cityblock"}.get(metric, metric)
    extra = {"p": 3.5} if metric == "minkowski" else {}
    if metric == "hellinger":
        ref = cdist(np.sqrt(X[250:] / X[250:].sum(1, keepdims=True)),
                    np.sqrt(X[:250] / X[:250].sum(1, keepdims=True))) / np.sqrt(2)
    else:
        ref = cdist(X[250:].astype(np.float64), X[:250].astype(np.float64), scipy_name,
                    **extra)
    if metric == "correlation":  # reported as the distance of the transformed rows
        ref = np.sqrt(2.0 * ref)
    np.testing.assert_allclose(dist, np.take_along_axis(ref, idx.astype(np.int64), 1),
                               rtol=1e-4, atol=1e-5)
    kth = np.sort(ref, axis=1)[:, 6]
    assert (np.take_along_axis(ref, idx.astype(np.int64), 1) <= kth[:, None] + 1e-5).all()
    old = _metric_query._BLOCK_ENTRIES
    _metric_query._BLOCK_ENTRIES = 250 * 9  # blocks of 9 queries
    try:
        again = _metric_query.exact_query(rows[:250], rows[250:], m, 7, 1)
    finally:
        _metric_query._BLOCK_ENTRIES = old
    assert again[0].tobytes() == idx.tobytes() and again[1].tobytes() == dist.tobytes()


def test_pipeline_fits_predicts_and_cross_validates():
    from sklearn.model_selection import cross_val_score
    from sklearn.neighbors import KNeighborsClassifier
    from sklearn.pipeline import Pipeline

    X, y = blobs(400)
    pipe = Pipeline([("umap", UMAP(n_neighbors=8, n_epochs=40, random_state=0)),
                     ("knn", KNeighborsClassifier(5))])
    assert pipe.fit(X[:300], y[:300]).score(X[300:], y[300:]) >= 0.95
    assert cross_val_score(pipe, X, y, cv=3).mean() >= 0.95


def test_pickle_and_joblib_round_trips(fitted, tmp_path):
    import joblib

    model, new, _, _ = fitted
    want = model.transform(new).tobytes()
    copy = pickle.loads(pickle.dumps(model))
    assert copy.transform(new).tobytes() == want
    assert "graph" not in copy._transform_state.__getstate__()
    joblib.dump(model, tmp_path / "model.joblib")
    assert joblib.load(tmp_path / "model.joblib").transform(new).tobytes() == want


def test_fitted_model_does_not_follow_later_writes_to_the_training_array():
    X, _ = blobs(200)
    model = UMAP(n_neighbors=8, n_epochs=20, random_state=0).fit(X)
    want = model.transform(X[:10]).tobytes()
    X[:] = 0.0
    assert model.transform(blobs(200)[0][:10]).tobytes() == want


TRANSFORM_FAULTS = """
import warnings
from quelmo import UMAP
warnings.simplefilter("ignore")
_qfi.qfi_target(b"_native_ext")
X = np.random.default_rng(1).normal(size=(160, 6)).astype(np.float32)
def fit():
    return UMAP(n_neighbors=8, n_epochs=12, random_state=4, n_jobs=2, init="random").fit(X[:120])
model = fit()
base = model.transform(X[120:])
for stage, call in (("fit", lambda: fit().transform(X[120:])),
                    ("transform", lambda: model.transform(X[120:]))):
    qfi.arm()
    call()
    counts = qfi.stats()
    qfi.disarm()
    print(stage, "counts", counts["mallocs"], counts["threads"], counts["live"])
    for kind, total in (("malloc", counts["mallocs"]), ("thread", counts["threads"])):
        for nth in range(1, total + 1):
            qfi.arm(**{kind + "_at": nth})
            try:
                outcome = "same" if call().tobytes() == base.tobytes() else "different"
            except MemoryError:
                outcome = "MemoryError"
            s = qfi.stats()
            qfi.disarm()
            print(stage, kind, outcome, s["live"], s["failed"])
"""


def test_every_failed_allocation_and_thread_of_the_new_code(run_injected):
    # Each allocation and thread creation of the second module, in a fit and
    # in a transform, fails in turn: MemoryError, the very same result (a
    # worker whose thread cannot be had runs on the calling thread) or, in a
    # fit, the serial layout's result; nothing leaked.
    lines = [line.split() for line in run_injected(TRANSFORM_FAULTS).stdout.splitlines()]
    seen = set()
    for line in lines:
        if line[1] == "counts":
            assert int(line[2]) >= 5 and int(line[3]) >= 1 and line[4] == "0", line
            continue
        stage, kind, outcome, live, failed = line
        assert (live, failed) == ("0", "1"), line
        # A fit now runs its kNN search and layout through this module too,
        # and a layout that cannot have its threads or plan runs serially:
        # another embedding, as with the first module.  A transform has no
        # such fallback.
        allowed = {"same", "MemoryError"} if kind == "malloc" else {"same"}
        if stage == "fit":
            allowed.add("different")
        assert outcome in allowed, line
        seen.add((stage, kind, outcome))
    assert {("fit", "malloc", "MemoryError"), ("transform", "malloc", "MemoryError"),
            ("transform", "thread", "same")} <= seen
