"""The command line: file formats, labels, plots, progress lines, and bad
input reported in one line with exit status 2."""

from __future__ import annotations

import inspect
import subprocess
import sys

import numpy as np
import scipy.sparse
import pytest

from quelmo import _cli_options
from quelmo.cli import build_parser, main
from quelmo.estimator import UMAP

FAST = ["--n-epochs", "20", "--random-state", "0", "-q"]


def blobs(n=120, d=4, seed=0):
    rng = np.random.default_rng(seed)
    labels = rng.integers(3, size=n)
    return (rng.normal(scale=10, size=(3, d))[labels] + rng.normal(size=(n, d))), labels


@pytest.fixture()
def data_files(tmp_path):
    X, y = blobs()
    np.save(tmp_path / "x.npy", X)
    np.savez(tmp_path / "xy.npz", X=X, y=y)
    header = "a,b,c,kind,d\n"
    lines = [f"{r[0]},{r[1]},{r[2]},class{lab},{r[3]}" for r, lab in zip(X, y)]
    (tmp_path / "x.csv").write_text(header + "\n".join(lines) + "\n")
    (tmp_path / "x.tsv").write_text("\n".join("\t".join(map(str, r)) for r in X) + "\n")
    (tmp_path / "labels.txt").write_text("\n".join(map(str, y)) + "\n")
    return tmp_path, X, y


class TestEmbed:
    @pytest.mark.parametrize("name", ["x.npy", "xy.npz", "x.tsv"])
    def test_formats(self, data_files, name):
        folder, X, _ = data_files
        out = folder / "out.npy"
        assert main(["embed", str(folder / name), "-o", str(out), *FAST]) == 0
        embedding = np.load(out)
        assert embedding.shape == (len(X), 2) and embedding.dtype == np.float32

    def test_csv_header_and_label_column_with_plot(self, data_files):
        folder, X, _ = data_files
        out, png = folder / "out.npy", folder / "out.png"
        assert main(["embed", str(folder / "x.csv"), "-o", str(out), "--plot", str(png),
                     "--labels", "kind", *FAST]) == 0
        assert np.load(out).shape == (len(X), 2)
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    def test_same_seed_same_file_output(self, data_files):
        folder, _, _ = data_files
        for name in ("a.npy", "b.npy"):
            main(["embed", str(folder / "x.npy"), "-o", str(folder / name), *FAST])
        assert (folder / "a.npy").read_bytes() == (folder / "b.npy").read_bytes()

    def test_label_file_and_options(self, data_files):
        folder, X, _ = data_files
        png = folder / "p.png"
        assert main(["embed", str(folder / "x.npy"), "-o", str(folder / "o.npy"),
                     "--labels", str(folder / "labels.txt"), "--plot", str(png),
                     "--n-neighbors", "8", "--metric", "cosine", "--init", "pca",
                     "--n-components", "3", *FAST]) == 0
        assert np.load(folder / "o.npy").shape == (len(X), 3)
        assert png.exists()

    def test_metric_keywords_and_sparse_input(self, data_files, capsys):
        folder, X, _ = data_files
        want = UMAP(metric="minkowski", metric_kwds={"p": 3}, n_epochs=20,
                    random_state=0).fit_transform(X)
        assert main(["embed", str(folder / "x.npy"), "-o", str(folder / "o.npy"),
                     "--metric", "minkowski", "--metric-kwds", '{"p": 3}', *FAST]) == 0
        assert np.load(folder / "o.npy").tobytes() == want.tobytes()
        sparse = scipy.sparse.csr_matrix(np.where(X > 0, X, 0))
        scipy.sparse.save_npz(folder / "s.npz", sparse)
        model = folder / "s.qmodel"
        assert main(["embed", str(folder / "s.npz"), "-o", str(folder / "s.npy"),
                     "--metric", "cosine", "--save-model", str(model), *FAST]) == 0
        fitted = UMAP(metric="cosine", n_epochs=20, random_state=0).fit(sparse)
        assert np.load(folder / "s.npy").tobytes() == fitted.embedding_.tobytes()
        assert main(["transform", str(model), str(folder / "s.npz"), "-o",
                     str(folder / "t.npy")]) == 0
        assert np.load(folder / "t.npy").tobytes() == fitted.transform(sparse).tobytes()
        capsys.readouterr()
        assert main(["embed", str(folder / "x.npy"), "-o", str(folder / "o.npy"),
                     "--metric", "nonsense", *FAST]) == 2
        assert "unknown metric 'nonsense'" in capsys.readouterr().err

    def test_supervised_with_labels(self, data_files, capsys):
        folder, X, y = data_files
        hidden = np.where(np.arange(len(y)) % 2 == 0, y, -1)
        (folder / "semi.txt").write_text("\n".join(map(str, hidden)) + "\n")
        for source in (["--labels", str(folder / "semi.txt")], []):
            out = folder / "s.npy"
            data = folder / ("x.npy" if source else "xy.npz")
            assert main(["embed", str(data), "-o", str(out), "--supervised", *source,
                         *FAST]) == 0
            want = UMAP(random_state=0, n_epochs=20).fit_transform(
                X.astype(np.float32), hidden if source else y)
            np.testing.assert_array_equal(np.load(out), want)
        assert main(["embed", str(folder / "x.npy"), "-o", str(out), "--supervised",
                     *FAST]) == 2
        assert "--supervised needs labels" in capsys.readouterr().err

    def test_progress_lines(self, data_files, capsys):
        folder, _, _ = data_files
        main(["embed", str(folder / "x.npy"), "-o", str(folder / "o.npy"), "-v",
              "--n-epochs", "20"])
        err = capsys.readouterr().err
        for stage in ("read", "knn", "graph", "init", "layout"):
            assert f"quelmo: {stage}" in err
        assert "kNN trees: 100%" in err and "layout: 100%" in err
        main(["embed", str(folder / "x.npy"), "-o", str(folder / "o.npy"), *FAST])
        assert capsys.readouterr() == ("", "")


class TestBadInput:
    @pytest.mark.parametrize(
        "setup, message",
        [
            (lambda d: None, "no such file"),
            (lambda d: np.save(d / "in.npy", np.zeros(5)), "2-D"),
            (lambda d: np.save(d / "in.npy", np.array([[1.0, np.nan], [0, 0]])), "NaN"),
            (lambda d: np.save(d / "in.npy", np.zeros((1, 3))), "at least 2 samples"),
            (lambda d: (d / "in.npy").write_bytes(b"not numpy"), "cannot be read"),
            (lambda d: (d / "in.csv").write_text("a,b\n1,2\n3,x\n"), "column 'b' is not numeric"),
            (lambda d: (d / "in.csv").write_text("1,2\n3\n"), "line 2 has 1 fields"),
            (lambda d: (d / "in.csv").write_text(""), "empty"),
            (lambda d: (d / "in.parquet").write_text("x"), "unsupported file type"),
            (lambda d: np.savez(d / "in.npz", a=np.ones((3, 2)), b=np.ones(3)), "name the data"),
        ],
    )
    def test_one_line_error_exit_2(self, tmp_path, capsys, setup, message):
        setup(tmp_path)
        matches = sorted(tmp_path.glob("in.*"))
        source = matches[0] if matches else tmp_path / "in.npy"
        status = main(["embed", str(source), "-o", str(tmp_path / "o.npy"), "-q"])
        err = capsys.readouterr().err
        assert status == 2
        assert err.startswith("quelmo: error: ") and err.count("\n") == 1, err
        assert message in err
        assert not (tmp_path / "o.npy").exists()

    def test_label_problems(self, data_files, capsys):
        folder, _, _ = data_files
        (folder / "short.txt").write_text("1\n2\n")
        for labels, message in [("short.txt", "2 labels for 120 samples"),
                                ("nosuchcolumn", "no column named")]:
            arg = str(folder / labels) if labels.endswith(".txt") else labels
            source = folder / ("x.npy" if labels.endswith(".txt") else "x.csv")
            assert main(["embed", str(source), "-o", str(folder / "o.npy"), "--labels", arg,
                         "-q"]) == 2
            assert message in capsys.readouterr().err

    def test_bad_usage_is_argparse_exit_2(self, capsys):
        with pytest.raises(SystemExit) as info:
            main(["embed"])
        assert info.value.code == 2


def test_entry_point_runs_as_module(data_files):
    folder, _, _ = data_files
    proc = subprocess.run([sys.executable, "-m", "quelmo", "embed", str(folder / "missing.npy"),
                           "-o", str(folder / "o.npy")], capture_output=True, text=True)
    assert proc.returncode == 2
    assert "Traceback" not in proc.stderr and "no such file" in proc.stderr


@pytest.mark.slow
def test_demo(tmp_path, capsys):
    pytest.importorskip("sklearn")
    pytest.importorskip("matplotlib")
    assert main(["demo", "-o", str(tmp_path), "-q"]) == 0
    assert np.load(tmp_path / "digits.npy").shape == (1797, 2)
    assert (tmp_path / "digits.png").exists()
    assert main(["demo", "-o", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "trustworthiness" in out and "5-NN accuracy" in out and "time:" in out


class TestFlagsFollowTheEstimator:
    def test_every_parameter_has_a_flag_or_is_left_out(self):
        parameters = set(inspect.signature(UMAP.__init__).parameters) - {"self"}
        flags = {flag.name for flag in _cli_options.estimator_flags()}
        assert flags | set(_cli_options.LEFT_OUT) == parameters
        assert not flags & set(_cli_options.LEFT_OUT)

    def test_defaults_are_the_signature_defaults(self):
        args = build_parser().parse_args(["embed", "x.npy", "-o", "o.npy"])
        params = _cli_options.estimator_params(args)
        # The repr lists every parameter whose value or type differs from
        # the signature's default.
        assert repr(UMAP(**params)) == "UMAP()"

    def test_flag_names_types_and_help(self):
        names = ["--n-neighbors", "--n-components", "--min-dist", "--spread", "--n-epochs",
                 "--learning-rate", "--negative-sample-rate", "--repulsion-strength",
                 "--init", "--metric", "--random-state", "--n-jobs", "--n-trees", "--n-iters",
                 "--leaf-size", "--a", "--b", "--precomputed-knn"]
        flags = {flag.option: flag for flag in _cli_options.estimator_flags()}
        assert set(names) <= set(flags)
        assert flags["--n-epochs"].kind is int and flags["--a"].kind is float
        assert flags["--random-state"].kind is int and flags["--precomputed-knn"].kind is None
        assert flags["--metric"].kind is str and flags["--metric-kwds"].kind is dict
        assert flags["--init"].choices == ("spectral", "pca", "random")
        # The first sentence of the docstring entry; grouped entries share it.
        assert flags["--n-components"].help == "Dimension of the embedding."
        assert flags["--a"].help == flags["--b"].help != ""
        assert all(flag.help for flag in flags.values())

    def test_array_parameters_from_files(self, data_files):
        folder, X, _ = data_files
        fitted = UMAP(n_neighbors=8, n_epochs=20, random_state=0).fit(X)
        np.savez(folder / "knn.npz", indices=fitted.knn_indices_, distances=fitted.knn_dists_)
        init = np.random.default_rng(1).uniform(0.0, 10.0, (len(X), 2))
        np.save(folder / "init.npy", init)
        want = UMAP(n_neighbors=8, n_epochs=20, random_state=0, a=1.5, b=0.9, init=init,
                    precomputed_knn=(fitted.knn_indices_, fitted.knn_dists_)).fit_transform(X)
        assert main(["embed", str(folder / "x.npy"), "-o", str(folder / "o.npy"),
                     "--n-neighbors", "8", "--a", "1.5", "--b", "0.9",
                     "--init", str(folder / "init.npy"),
                     "--precomputed-knn", str(folder / "knn.npz"), *FAST]) == 0
        assert np.load(folder / "o.npy").tobytes() == want.tobytes()

    @pytest.mark.parametrize("flag, file, message", [
        ("--precomputed-knn", "missing.npz", "no such file"),
        ("--precomputed-knn", "xy.npz", "neighbours need arrays 'indices' and 'distances'"),
        ("--precomputed-knn", "x.npy", "not a .npz file"),
        ("--init", "umap", "--init must be one of spectral, pca, random or a file"),
        ("--init", "xy.npz", "holds several arrays"),
        ("--init", "x.npy", "init array must have shape"),
    ])
    def test_bad_files_one_line_exit_2(self, data_files, capsys, flag, file, message):
        folder, _, _ = data_files
        value = str(folder / file) if "." in file else file
        assert main(["embed", str(folder / "x.npy"), "-o", str(folder / "o.npy"), flag, value,
                     "-q"]) == 2
        err = capsys.readouterr().err
        assert err.startswith("quelmo: error: ") and err.count("\n") == 1 and message in err


class TestTransform:
    def test_saved_model_places_new_rows_as_the_estimator_does(self, data_files):
        import quelmo

        folder, X, y = data_files
        model, new = folder / "model.qmodel", folder / "new.csv"
        np.savetxt(new, X[:30] + 0.5, delimiter=",")
        assert main(["embed", str(folder / "x.npy"), "-o", str(folder / "e.npy"),
                     "--save-model", str(model), *FAST]) == 0
        assert main(["transform", str(model), str(new), "-o", str(folder / "t.npy"),
                     "--plot", str(folder / "t.png"), "-q"]) == 0
        want = quelmo.load(model).transform(np.loadtxt(new, delimiter=","))
        assert np.load(folder / "t.npy").tobytes() == want.tobytes()
        assert np.load(folder / "e.npy").tobytes() == quelmo.load(model).embedding_.tobytes()
        assert (folder / "t.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    @pytest.mark.parametrize("damage, message", [
        (lambda raw: raw[:100], "truncated"),
        (lambda raw: raw[:-40] + bytes(8) + raw[-32:], "checksum"),
        (lambda raw: b"not a model at all", "not a quelmo model"),
        (lambda raw: raw[:8] + (99).to_bytes(4, "little") + raw[12:], "newer quelmo"),
    ])
    def test_bad_model_files_one_line_exit_2(self, data_files, capsys, damage, message):
        folder, X, _ = data_files
        model = folder / "model.qmodel"
        main(["embed", str(folder / "x.npy"), "-o", str(folder / "e.npy"), "--save-model",
              str(model), *FAST])
        model.write_bytes(damage(model.read_bytes()))
        status = main(["transform", str(model), str(folder / "x.npy"), "-o",
                       str(folder / "t.npy"), "-q"])
        err = capsys.readouterr().err
        assert status == 2 and err.count("\n") == 1 and message in err, err
        assert not (folder / "t.npy").exists()

    def test_wrong_columns_one_line_exit_2(self, data_files, capsys):
        folder, X, _ = data_files
        model = folder / "model.qmodel"
        main(["embed", str(folder / "x.npy"), "-o", str(folder / "e.npy"), "--save-model",
              str(model), *FAST])
        np.save(folder / "narrow.npy", X[:, :3])
        assert main(["transform", str(model), str(folder / "narrow.npy"), "-o",
                     str(folder / "t.npy"), "-q"]) == 2
        assert "X has 3 features, but UMAP is expecting 4" in capsys.readouterr().err
