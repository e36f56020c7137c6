"""Model files: a round trip repeats the transform bit for bit, the file holds
nothing but the model's arrays, and damaged, tampered or newer files are
refused with one line, never a crash."""

from __future__ import annotations

import hashlib
import json

import numpy as np
import pytest

import quelmo
from quelmo import UMAP, _persist
from quelmo._persist import ModelFileError


@pytest.fixture(scope="module")
def model_file(tmp_path_factory):
    rng = np.random.default_rng(0)
    X = (rng.normal(size=(460, 7)) + 5 * rng.integers(0, 3, size=(460, 1))).astype(np.float32)
    model = UMAP(n_neighbors=9, n_epochs=25, random_state=3, metric="cosine").fit(X[:400])
    path = tmp_path_factory.mktemp("model") / "model.qmodel"
    model.save(path)
    return model, X[400:], path


def _split(path):
    """Header and arrays of a file, to write altered copies with _write."""
    raw = bytearray(path.read_bytes())
    length = int.from_bytes(raw[12:16], "little")
    header = json.loads(raw[16:16 + length])
    body = memoryview(raw)[:-32]
    arrays = {k: v.copy() for k, v in _persist._arrays(header["arrays"], body, 16 + length).items()}
    return header, arrays


def _reseal(raw: bytearray) -> bytes:
    return bytes(raw[:-32]) + hashlib.sha256(raw[:-32]).digest()


def test_round_trip_repeats_the_model(model_file, tmp_path):
    model, new, path = model_file
    loaded = quelmo.load(path)
    assert loaded.transform(new).tobytes() == model.transform(new).tobytes()
    assert loaded.get_params() == model.get_params() and repr(loaded) == repr(model)
    for name in ("embedding_", "knn_indices_", "knn_dists_"):
        assert getattr(loaded, name).tobytes() == getattr(model, name).tobytes()
    assert (loaded.graph_ != model.graph_).nnz == 0
    assert (loaded.a_, loaded.b_, loaded.n_features_in_) == (model.a_, model.b_, 7)
    # A copy of a loaded model is again the same model.
    loaded.save(tmp_path / "again.qmodel")
    assert (tmp_path / "again.qmodel").read_bytes() == path.read_bytes()


def test_file_holds_only_the_model(model_file):
    model, _, path = model_file
    state = model._transform_state
    arrays = (state.data, model.knn_indices_, model.knn_dists_, state.forest_nodes,
              state.forest_threshold, state.forest_perm, model.embedding_)
    # The arrays, 64-byte alignment of each, and a header of a few kB.
    assert path.stat().st_size <= sum(a.nbytes for a in arrays) + 64 * len(arrays) + 8192


def test_parameters_beyond_json(tmp_path):
    X = np.random.default_rng(1).normal(size=(120, 4)).astype(np.float32)
    init = np.random.default_rng(2).uniform(size=(120, 2)).astype(np.float32)
    model = UMAP(n_neighbors=6, n_epochs=10, init=init,
                 random_state=np.random.default_rng(5)).fit(X)
    model.save(tmp_path / "m.qmodel")
    loaded = quelmo.load(tmp_path / "m.qmodel")
    assert loaded.init.tobytes() == init.tobytes() and loaded.random_state is None
    assert loaded.transform(X[:5] + 1).tobytes() == model.transform(X[:5] + 1).tobytes()
    pre = UMAP(n_neighbors=6, n_epochs=10, random_state=0,
               precomputed_knn=(model.knn_indices_, model.knn_dists_)).fit(X)
    pre.save(tmp_path / "pre.qmodel")
    with pytest.raises(ValueError, match="precomputed_knn"):
        quelmo.load(tmp_path / "pre.qmodel").transform(X[:2])
    with pytest.raises(ValueError, match="cannot be saved"):
        UMAP(n_neighbors=6, n_epochs=10, random_state=0, verbose=[1]).fit(X).save(
            tmp_path / "x.qmodel")


def test_metric_and_sparse_models_round_trip(tmp_path):
    # The metric, its keywords and sparse training data come back: the loaded
    # model transforms to the same bits; a damaged sparse part is refused.
    import scipy.sparse

    rng = np.random.default_rng(6)
    X = (rng.uniform(size=(300, 30)) * (rng.uniform(size=(300, 30)) < 0.3)).astype(np.float32)
    for name, model, data in (
            ("mink", UMAP(n_neighbors=7, n_epochs=15, random_state=0, metric="minkowski",
                          metric_kwds={"p": 3}), X),
            ("sparse", UMAP(n_neighbors=7, n_epochs=15, random_state=0, metric="jaccard"),
             scipy.sparse.csr_matrix(X))):
        model.fit(data[:250])
        path = tmp_path / f"{name}.qmodel"
        model.save(path)
        loaded = quelmo.load(path)
        assert loaded.get_params() == model.get_params()
        assert loaded.transform(data[250:]).tobytes() == model.transform(data[250:]).tobytes()
    # Dense points on the sparse jaccard fit: their stored entries are the sets.
    assert loaded.transform(X[250:]).tobytes() == model.transform(data[250:]).tobytes()
    header, arrays = _split(path)
    del header["arrays"]
    bad = tmp_path / "bad.qmodel"
    for match, edit in (
            ("columns not sorted", lambda a: a["sparse_indices"].__setitem__(
                slice(0, 2), a["sparse_indices"][1::-1].copy())),
            ("columns out of range", lambda a: a["sparse_indices"].__setitem__(0, 30)),
            ("row keys", lambda a: a["sparse_values"].__setitem__(0, 7.0)),
            ("sparse_indptr missing", lambda a: a.pop("sparse_indptr"))):
        a = {k: v.copy() for k, v in arrays.items()}
        edit(a)
        _persist._write(bad, header, a)
        _refused(bad, match)


def _refused(path, match: str | None = None) -> str:
    with pytest.raises(ModelFileError, match=match) as info:
        quelmo.load(path)
    message = str(info.value)
    assert "\n" not in message and message.startswith(str(path))
    return message


def test_damaged_files_are_refused(model_file, tmp_path):
    _, _, path = model_file
    raw = path.read_bytes()
    bad = tmp_path / "bad.qmodel"
    _refused(tmp_path / "missing.qmodel", "cannot be read")
    for cut in (0, 5, 15, 16, 200, len(raw) // 2, len(raw) - 33, len(raw) - 1):
        bad.write_bytes(raw[:cut])
        _refused(bad)
    rng = np.random.default_rng(3)
    for position in rng.integers(16, len(raw), size=30):
        flipped = bytearray(raw)
        flipped[position] ^= 1 << int(rng.integers(8))
        bad.write_bytes(bytes(flipped))
        _refused(bad, "checksum")
    bad.write_bytes(b"PK\x03\x04" + raw[4:])
    _refused(bad, "not a quelmo model")
    newer = bytearray(raw)
    newer[8:12] = (_persist.FORMAT_VERSION + 1).to_bytes(4, "little")
    bad.write_bytes(bytes(newer))
    _refused(bad, "newer quelmo")


def _tamper_header(header, arrays):
    yield "forest_perm missing", lambda h, a: a.pop("forest_perm")
    yield "parameter", lambda h, a: h["params"].update(n_neighbors=-4)
    yield "unknown parameters", lambda h, a: h["params"].update(evil="os.system")
    yield "transform setting", lambda h, a: h["transform"].update(seed="0")
    yield "metric", lambda h, a: h["transform"].update(metric="manhattan")
    yield "n_features_in_", lambda h, a: h["attributes"].update(n_features_in_=0)
    yield "a_ and b_", lambda h, a: h["attributes"].update(a_=-1.0)


def _tamper_arrays():
    n = 400
    yield "kNN ids", lambda a: a["knn_indices_"].__setitem__((3, 4), n)
    yield "kNN ids", lambda a: a["knn_indices_"].__setitem__((5, 0), 6)
    yield "non-finite", lambda a: a["embedding_"].__setitem__((0, 0), np.nan)
    yield "training data", lambda a: a.update(data=a["data"][:, :3].copy())
    yield "permutations", lambda a: a["forest_perm"].__setitem__((0, 0), 1)
    yield "forest nodes", lambda a: a["forest_nodes"].__setitem__((0, 1), 0)
    yield "forest nodes", lambda a: a["forest_nodes"].__setitem__((0, 2), n)
    yield "forest leaves", lambda a: a["forest_nodes"].__setitem__(
        (int(np.flatnonzero(a["forest_nodes"][:, 0] < 0)[0]), 3), n + 1)
    yield "forest arrays", lambda a: a.update(forest_threshold=a["forest_threshold"][:-1].copy())
    yield "thresholds", lambda a: a["forest_threshold"].__setitem__(0, np.inf)


def test_tampered_files_with_valid_checksums_are_refused(model_file, tmp_path):
    # Each file below is well formed and sealed with a correct digest; only
    # its content is inconsistent.
    _, _, path = model_file
    bad = tmp_path / "tampered.qmodel"
    header, arrays = _split(path)
    del header["arrays"]
    for match, edit in _tamper_header(header, arrays):
        h, a = json.loads(json.dumps(header)), dict(arrays)
        edit(h, a)
        _persist._write(bad, h, a)
        _refused(bad, match)
    for match, edit in _tamper_arrays():
        a = {k: v.copy() for k, v in arrays.items()}
        edit(a)
        _persist._write(bad, header, a)
        _refused(bad, match)
    raw = bytearray(path.read_bytes())
    length = int.from_bytes(raw[12:16], "little")
    for garbage, match in ((b"{" * length, "JSON"), (b'{"format": "quelmo model"}', "arrays")):
        raw[16:16 + length] = garbage.ljust(length)
        bad.write_bytes(_reseal(raw))
        _refused(bad, match)
    raw = bytearray(path.read_bytes())
    raw[12:16] = (len(raw) * 2).to_bytes(4, "little")
    bad.write_bytes(_reseal(raw))
    _refused(bad, "header length")


def test_resealed_random_damage_never_crashes(model_file, tmp_path):
    # Bytes flipped anywhere after the prefix and the digest recomputed: the
    # loader refuses the file or, where the damage is harmless (a coordinate,
    # a distance, padding), loads a model that transforms without fault.
    model, new, path = model_file
    raw = path.read_bytes()
    bad = tmp_path / "fuzz.qmodel"
    rng = np.random.default_rng(4)
    loaded_count = 0
    for _ in range(150):
        damaged = bytearray(raw)
        for position in rng.integers(16, len(raw) - 32, size=int(rng.integers(1, 4))):
            damaged[position] = int(rng.integers(256))
        bad.write_bytes(_reseal(damaged))
        try:
            loaded = quelmo.load(bad)
        except ModelFileError as exc:
            assert "\n" not in str(exc)
            continue
        loaded_count += 1
        out = loaded.transform(new[:20])
        assert out.shape == (20, 2) and out.dtype == np.float32
    assert loaded_count > 0
