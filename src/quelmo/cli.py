"""The ``quelmo`` command line: a thin layer over the estimator.

    quelmo embed INPUT -o OUT.npy [--plot OUT.png] [--labels FILE_OR_COLUMN]
                 [--save-model MODEL.qmodel] [options]
    quelmo transform MODEL.qmodel INPUT -o OUT.npy [--plot OUT.png]
    quelmo demo [-o DIR]

The embedding options are the estimator's parameters, one flag each, made
from its signature and docstring by ``quelmo._cli_options``.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path
from typing import Sequence

import numpy as np

from quelmo import __version__, _cli_options, _io
from quelmo.estimator import UMAP

EXIT_BAD_INPUT = 2
# The shell's status of a command ended by SIGINT: 128 + 2.
EXIT_INTERRUPTED = 130


class CommandError(Exception):
    """An error reported as one line and exit status 2."""


def _verbosity(parser: argparse.ArgumentParser) -> None:
    loud = parser.add_mutually_exclusive_group()
    loud.add_argument("-v", "--verbose", action="store_true",
                      help="show progress bars and print each stage and its time "
                      "(default on a terminal)")
    loud.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quelmo", description="Fast, reproducible UMAP embeddings of numeric data.")
    parser.add_argument("--version", action="version", version=f"quelmo {__version__}")
    commands = parser.add_subparsers(dest="command", required=True)

    embed = commands.add_parser("embed", help="embed a data file",
                                description="Embed the rows of a .npy, .npz, .csv or .tsv file.")
    embed.add_argument("input", help="data file: .npy, .npz (array X), .csv or .tsv")
    embed.add_argument("-o", "--output", required=True, help="where to save the embedding (.npy)")
    embed.add_argument("--plot", help="also save a scatter plot (PNG) here")
    embed.add_argument("--labels", help="labels for the plot: a file (.npy or one per line) "
                       "or a column (name or 0-based index) of the CSV/TSV input")
    embed.add_argument("--supervised", action="store_true",
                       help="also fit with the labels (--labels, or y of a .npz) as target; "
                       "-1 marks an unlabelled point (see --target-metric, --target-weight)")
    embed.add_argument("--save-model", metavar="MODEL",
                       help="also save the fitted model here (for quelmo transform)")
    _cli_options.add_estimator_flags(embed)
    _verbosity(embed)

    transform = commands.add_parser(
        "transform", help="place new data on a saved model's embedding",
        description="Place the rows of a data file on the embedding of a model saved by "
        "'quelmo embed --save-model'.")
    transform.add_argument("model", help="model file written by quelmo embed --save-model")
    transform.add_argument("input", help="data file: .npy, .npz (array X), .csv or .tsv, with "
                           "the columns of the model's data")
    transform.add_argument("-o", "--output", required=True,
                           help="where to save the new points' coordinates (.npy)")
    transform.add_argument("--plot", help="also save a picture of the new points over the "
                           "fitted embedding (PNG) here")
    transform.add_argument("--n-jobs", type=int, default=None,
                           help="threads (-1: all processors); the result does not depend "
                           "on it")
    _verbosity(transform)

    demo = commands.add_parser("demo", help="embed the bundled handwritten digits",
                               description="Embed scikit-learn's 8x8 handwritten digits, write "
                               "digits.png and digits.npy, and print quality figures.")
    demo.add_argument("-o", "--output-dir", default=".", help="folder for the outputs")
    demo.add_argument("--random-state", type=int, default=42)
    demo.add_argument("--n-jobs", type=int, default=-1)
    _verbosity(demo)
    return parser


def _stage_printer(args: argparse.Namespace) -> bool:
    if args.quiet:
        return False
    return bool(args.verbose or sys.stderr.isatty())


def _make_estimator(args: argparse.Namespace, verbose: bool) -> UMAP:
    try:
        params = _cli_options.estimator_params(args)
    except _io.DataFileError as exc:
        raise CommandError(str(exc)) from None
    return UMAP(**params, verbose=verbose)


def _read_input(args: argparse.Namespace,
                verbose: bool) -> tuple[np.ndarray, np.ndarray | None]:
    """The data and labels named by INPUT and --labels (if the command has it)."""
    labels_arg = getattr(args, "labels", None)
    # --labels names a file when one exists there, else a column of the input.
    label_file = Path(labels_arg) if labels_arg and Path(labels_arg).is_file() else None
    label_column = labels_arg if labels_arg and label_file is None else None
    start = time.perf_counter()
    try:
        data, labels = _io.read_data(args.input, label_column)
        if label_file is not None:
            labels = _io.read_labels(label_file, data.shape[0])
    except _io.DataFileError as exc:
        raise CommandError(str(exc)) from None
    if verbose:
        print(f"quelmo: read   {time.perf_counter() - start:8.3f} s  "
              f"({data.shape[0]} x {data.shape[1] if data.ndim > 1 else 1} from {args.input})",
              file=sys.stderr)
    return data, labels


def run_embed(args: argparse.Namespace) -> int:
    verbose = _stage_printer(args)
    data, labels = _read_input(args, verbose)
    if args.plot and args.n_components < 2:
        raise CommandError("--plot needs --n-components of at least 2")
    if args.supervised and labels is None:
        raise CommandError("--supervised needs labels: --labels, or y in a .npz input")
    model = _make_estimator(args, verbose)
    try:
        embedding = model.fit_transform(data, labels if args.supervised else None)
    except ValueError as exc:
        raise CommandError(f"{args.input}: {exc}") from None
    _save(args.output, embedding)
    if args.save_model:
        try:
            model.save(args.save_model)
        except OSError as exc:
            raise CommandError(f"{args.save_model}: cannot write the model "
                               f"({exc.strerror or exc})") from None
    if args.plot:
        _plot(embedding, args.plot, labels, Path(args.input).name)
    if verbose:
        written = [args.output] + [p for p in (args.save_model, args.plot) if p]
        print(f"quelmo: wrote {', '.join(map(str, written))}", file=sys.stderr)
    return 0


def run_transform(args: argparse.Namespace) -> int:
    import quelmo

    verbose = _stage_printer(args)
    start = time.perf_counter()
    try:
        model = quelmo.load(args.model)
    except ValueError as exc:  # the loader's ModelFileError: one line, path first
        raise CommandError(str(exc)) from None
    if verbose:
        print(f"quelmo: load   {time.perf_counter() - start:8.3f} s  ({args.model})",
              file=sys.stderr)
    data, _ = _read_input(args, verbose)
    if args.plot and model.embedding_.shape[1] < 2:
        raise CommandError("--plot needs a model with at least 2 components")
    if args.n_jobs is not None:
        model.set_params(n_jobs=args.n_jobs)
    start = time.perf_counter()
    try:
        points = model.transform(data)
    except ValueError as exc:
        raise CommandError(f"{args.input}: {exc}") from None
    if verbose:
        print(f"quelmo: place  {time.perf_counter() - start:8.3f} s  ({points.shape[0]} points)",
              file=sys.stderr)
    _save(args.output, points)
    if args.plot:
        from quelmo import plot

        try:
            plot.points(model, overlay=points, overlay_label=f"{len(points)} new points",
                        title=f"{Path(args.input).name} on {Path(args.model).name}",
                        path=args.plot)
        except (ImportError, ValueError) as exc:
            raise CommandError(str(exc)) from None
        except OSError as exc:
            raise CommandError(f"{args.plot}: cannot write the plot ({exc})") from None
    if verbose:
        print(f"quelmo: wrote {args.output}" + (f" and {args.plot}" if args.plot else ""),
              file=sys.stderr)
    return 0


def run_demo(args: argparse.Namespace) -> int:
    try:
        from sklearn.manifold import trustworthiness
        from sklearn.model_selection import cross_val_score
        from sklearn.neighbors import KNeighborsClassifier

        from quelmo.datasets import load_digits
    except ImportError:
        raise CommandError("the demo needs scikit-learn and matplotlib: "
                           "pip install 'quelmo[demo]'") from None
    verbose = _stage_printer(args)
    out_dir = Path(args.output_dir)
    try:
        out_dir.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise CommandError(f"{out_dir}: cannot create the output folder ({exc})") from None

    data, labels = load_digits()
    start = time.perf_counter()
    model = UMAP(random_state=args.random_state, n_jobs=args.n_jobs, verbose=verbose)
    embedding = model.fit_transform(data)
    total = time.perf_counter() - start
    _save(out_dir / "digits.npy", embedding)
    _plot(embedding, out_dir / "digits.png", labels,
          f"quelmo: {len(data)} handwritten digits, {total:.2f} s")
    trust = trustworthiness(data, embedding, n_neighbors=15)
    accuracy = cross_val_score(KNeighborsClassifier(n_neighbors=5), embedding, labels,
                               cv=5).mean()
    if not args.quiet:
        print(f"digits: {data.shape[0]} samples x {data.shape[1]} features -> "
              f"{out_dir / 'digits.npy'}, {out_dir / 'digits.png'}")
        stages = ", ".join(f"{name} {sec:.3f} s" for name, sec in model.timings_.items())
        print(f"time: {total:.3f} s in all ({stages})")
        print(f"trustworthiness (15 neighbours): {trust:.4f}")
        print(f"5-NN accuracy (5-fold cross-validated): {accuracy:.4f}")
    return 0


def _save(path: str | Path, embedding: np.ndarray) -> None:
    try:
        np.save(path, embedding)
    except OSError as exc:
        raise CommandError(f"{path}: cannot write the embedding ({exc})") from None


def _plot(embedding: np.ndarray, path: str | Path, labels: np.ndarray | None,
          title: str) -> None:
    from quelmo import plot

    # Numeric labels with more classes than a legend holds are read as
    # continuous values and get a colour bar instead.
    values = None
    if (labels is not None and labels.dtype.kind in "iuf"
            and np.unique(labels).size > plot.MAX_LEGEND_CLASSES):
        labels, values = None, labels
    try:
        plot.points(embedding, labels, values, title=title, path=path)
    except (ImportError, ValueError) as exc:
        raise CommandError(str(exc)) from None
    except OSError as exc:
        raise CommandError(f"{path}: cannot write the plot ({exc})") from None


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point of the ``quelmo`` command; returns the exit status."""
    args = build_parser().parse_args(argv)
    try:
        if args.command == "embed":
            return run_embed(args)
        if args.command == "transform":
            return run_transform(args)
        return run_demo(args)
    except CommandError as exc:
        print(f"quelmo: error: {exc}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except MemoryError:
        print("quelmo: error: out of memory", file=sys.stderr)
        return EXIT_BAD_INPUT
    except KeyboardInterrupt:
        print("quelmo: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
