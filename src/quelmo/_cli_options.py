"""Command-line flags made from the estimator's parameters.

Each parameter of ``UMAP.__init__`` becomes a flag: ``n_neighbors`` gives
``--n-neighbors``, its type comes from the annotation, its default from the
signature, its help from the first sentence of its entry in the docstring and
its choices from a ``{"a", "b"}`` type in that entry.  A new parameter thus
gets its flag without an edit here; one that cannot be typed on a command
line either reads a file (``FILE_PARAMETERS``) or is named in ``LEFT_OUT``.
"""

from __future__ import annotations

import argparse
import inspect
import re
import typing
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

from quelmo import _io
from quelmo.estimator import UMAP

# Estimator parameters without a flag, and why.
LEFT_OUT: dict[str, str] = {
    "verbose": "set by -v/--verbose and -q/--quiet",
}

# Parameters whose values are arrays: their flag takes a file, read by the
# function here.  A parameter with choices takes one of those or a file.
FILE_PARAMETERS: dict[str, tuple[Callable[[str], Any], str]] = {
    "init": (_io.read_array,
             "Or a .npy file holding an array of shape (n_samples, n_components)."),
    "precomputed_knn": (_io.read_precomputed_knn,
                        "Given as a .npz file with arrays 'indices' and 'distances', for "
                        "example np.savez(FILE, indices=model.knn_indices_, "
                        "distances=model.knn_dists_)."),
}

_SCALAR_TYPES = (bool, int, float, str)


@dataclass(frozen=True)
class Flag:
    """One estimator parameter as a command-line flag."""

    name: str
    kind: type | None  # bool, int, float or str; None: the flag names a file
    default: Any
    help: str
    choices: tuple[str, ...] = ()

    @property
    def option(self) -> str:
        return "--" + self.name.replace("_", "-")


def estimator_flags() -> list[Flag]:
    """The flags of every estimator parameter not in ``LEFT_OUT``, in
    signature order.

    Raises
    ------
    TypeError
        For a parameter that has no scalar type, no file reader and is not
        left out: it must be given one of the three.
    """
    signature = inspect.signature(UMAP.__init__)
    hints = typing.get_type_hints(UMAP.__init__)
    docs = _parameter_docs(UMAP.__doc__ or "")
    flags = []
    for name, parameter in signature.parameters.items():
        if name == "self" or name in LEFT_OUT:
            continue
        kind = _scalar_type(hints.get(name))
        if name in FILE_PARAMETERS:
            kind = str if kind is str else None
        elif kind is None:
            raise TypeError(f"UMAP parameter {name!r} has no command-line form: give it a "
                            "file reader in FILE_PARAMETERS or add it to LEFT_OUT")
        type_text, summary = docs.get(name, ("", ""))
        flags.append(Flag(name, kind, parameter.default, summary,
                          _choices(type_text) if kind is str else ()))
    return flags


def add_estimator_flags(parser: argparse.ArgumentParser) -> None:
    """Add one flag per estimator parameter to ``parser``, in a group of
    their own."""
    group = parser.add_argument_group(
        "embedding options",
        "Each flag sets the UMAP parameter of the same name; one left out keeps the "
        "estimator's default, and a default of None lets the estimator choose.  The same "
        "--random-state and --n-jobs repeat an embedding bit for bit.")
    for flag in estimator_flags():
        help_text = flag.help
        if flag.name in FILE_PARAMETERS:
            help_text += " " + FILE_PARAMETERS[flag.name][1]
        if flag.default is not None:
            help_text += " (default: %(default)s)"
        if flag.kind is bool:
            group.add_argument(flag.option, action=argparse.BooleanOptionalAction,
                               default=flag.default, help=help_text)
        elif flag.kind is None:
            group.add_argument(flag.option, default=flag.default, metavar="FILE",
                               help=help_text)
        elif flag.choices and flag.name not in FILE_PARAMETERS:
            group.add_argument(flag.option, choices=flag.choices, default=flag.default,
                               help=help_text)
        else:
            metavar = "{" + ",".join(flag.choices) + "} or FILE" if flag.choices else None
            group.add_argument(flag.option, type=flag.kind, default=flag.default,
                               metavar=metavar, help=help_text)


def estimator_params(args: argparse.Namespace) -> dict[str, Any]:
    """The estimator's keyword arguments from parsed flags, files read.

    Raises
    ------
    quelmo._io.DataFileError
        When a file named by a flag cannot be read, or a value is neither
        one of a flag's choices nor a file.
    """
    params = {}
    for flag in estimator_flags():
        value = getattr(args, flag.name)
        if flag.name in FILE_PARAMETERS and value is not None and value not in flag.choices:
            if flag.choices and not Path(value).is_file():
                raise _io.DataFileError(f"{flag.option} must be one of "
                                        f"{', '.join(flag.choices)} or a file, got {value!r}")
            value = FILE_PARAMETERS[flag.name][0](value)
        params[flag.name] = value
    return params


def _scalar_type(hint: Any) -> type | None:
    """The first of bool, int, float, str that ``hint`` admits (a union
    such as ``int | None`` admits int), or None."""
    members = typing.get_args(hint) or (hint,)
    for kind in _SCALAR_TYPES:
        if kind in members:
            return kind
    return None


def _parameter_docs(doc: str) -> dict[str, tuple[str, str]]:
    """Type text and first sentence of each entry of the NumPy-style
    Parameters section; an entry ``a, b : float`` serves both names."""
    text = inspect.cleandoc(doc)
    match = re.search(r"^Parameters\n-+\n(.*?)(?:^\S[^\n]*\n-+\n|\Z)", text, re.M | re.S)
    if match is None:
        return {}
    entries: dict[str, list[str]] = {}
    names: list[str] = []
    for line in match.group(1).splitlines():
        if line and not line[0].isspace():
            head, _, type_text = line.partition(" : ")
            names = [name.strip() for name in head.split(",")]
            for name in names:
                entries[name] = [type_text, ""]
        elif names:
            for name in names:
                entries[name][1] += " " + line.strip()
    docs = {}
    for name, (type_text, description) in entries.items():
        description = description.strip().replace("``", "")
        docs[name] = (type_text, re.split(r"(?<=\.)\s", description, maxsplit=1)[0])
    return docs


def _choices(type_text: str) -> tuple[str, ...]:
    """The quoted names of a ``{"a", "b"}`` set in a docstring type."""
    match = re.search(r"\{([^}]*)\}", type_text)
    if match is None:
        return ()
    return tuple(item.strip().strip("'\"") for item in match.group(1).split(","))
