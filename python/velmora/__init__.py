"""Drift variance between populations over time, from an animal pedigree.

``analyse`` reads a pedigree (a pandas DataFrame, a dict of sequences or a
file), computes every animal's inbreeding and, per period, the mean additive
genetic relationships within and between populations, the genetic drift
variance between each pair of populations, its maximum and the
differentiation index. ``inbreeding`` gives the inbreeding coefficients
alone. The figures are those of the velmora program's ``--csv`` and
``--inbreeding`` files, bit for bit.

    >>> import velmora, pandas
    >>> ped = pandas.read_csv("herd.ped", sep=" ", header=None, dtype=str)
    >>> result = velmora.analyse(ped)
    >>> result.pairs.head()
"""
from __future__ import annotations

import os
import warnings
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence, Union

import numpy as np

from . import _velmora

__all__ = ["analyse", "inbreeding", "Analysis", "Error", "DataNote", "__version__"]
__version__: str = _velmora.version()

Error = _velmora.Error
Error.__doc__ = (
    "A pedigree that cannot be used or read, or a request that cannot be met. "
    "The message names the file and line where there is one; ``kind`` is one of "
    "'file', 'data', 'argument' and 'memory'."
)


class DataNote(UserWarning):
    """What the data checks noticed: a warning, the results stand."""


Column = Union[int, str]
Table = Any  # a pandas DataFrame, or a dict of NumPy arrays without pandas


@dataclass
class Analysis:
    """The results of ``analyse``: DataFrames when pandas is importable,
    otherwise dicts of NumPy arrays (column name to array).

    pairs: one row per pair of populations (the later one in text order
        first) and period: period, population_1, population_2, n_1, n_2,
        relationship_within_1, relationship_within_2, relationship_between,
        drift_variance, max_drift_variance, differentiation_index; NaN where
        one of the populations has no animals in the period.
    summary: one row per period and population with animals: period,
        population, then one column per group statistic (n,
        mean_inbreeding, mean_relationship_within, ...).
    fstatistics: one row per period with a column per figure of the whole
        period, or None when the library gives none.
    animals: one row per animal in loading order (those with a record in the
        order of their first record, then the parents added as founders):
        code, sire, dam (None when unknown), population, period (None for an
        added founder), generation, inbreeding, then further per-animal
        figures.
    notes: the data checks' notes (also issued as DataNote warnings).
    """

    pairs: Table
    summary: Table
    fstatistics: Optional[Table]
    animals: Table
    notes: list


Pedigree = Union[str, "os.PathLike[str]", Mapping[str, Sequence[Any]], Any]


def analyse(
    pedigree: Pedigree,
    animal: Column = 0,
    sire: Column = 1,
    dam: Column = 2,
    population: Column = 3,
    period: Column = 4,
    unknown: Sequence[str] = ("0",),
    threads: Optional[int] = None,
) -> Analysis:
    """Drift variance, its maximum and the differentiation index of every
    pair of populations in every period, with each animal's inbreeding.

    pedigree: a pandas DataFrame, a dict of equally long sequences (column
        name to codes), or the path of a pedigree file (one record per
        line; tab, comma, semicolon or blanks between the fields, found from
        the first line).
    animal, sire, dam, population, period: the columns holding the animal,
        its sire and dam, its population and the period it is counted in:
        positions from 0, or names (for a file: the names of its header
        line, all five).
    unknown: parent codes that mean an unknown parent, besides "0", an
        empty code and codes holding a hyphen; None and NaN in a sire or dam
        column are unknown parents too.
    threads: worker threads; None for one per CPU this process may use.
        The results do not depend on it.

    Codes are text: str columns are taken as they stand (a period "0968"
    stays "0968"), numbers are written as str() writes them (whole floats
    without ".0"). An animal with several records keeps its first.

    Raises velmora.Error for a pedigree that cannot be used (a loop of
    descent, a missing code, a file that cannot be read) and
    KeyboardInterrupt when Ctrl-C stops the computation.
    """
    path, columns, fields = _source(pedigree, (animal, sire, dam, population, period))
    out = _velmora.analyse(path, columns, fields, _unknown(unknown), _threads(threads))
    _warn(out["notes"])
    return Analysis(
        pairs=_table(out["pairs"]),
        summary=_table(out["summary"]),
        fstatistics=None if out["fstatistics"] is None else _table(out["fstatistics"]),
        animals=_table(out["animals"]),
        notes=list(out["notes"]),
    )


def inbreeding(
    pedigree: Pedigree,
    animal: Column = 0,
    sire: Column = 1,
    dam: Column = 2,
    population: Column = 3,
    period: Column = 4,
    unknown: Sequence[str] = ("0",),
    threads: Optional[int] = None,
) -> np.ndarray:
    """The inbreeding coefficient (F) of each record's animal, as a float64
    array: for a DataFrame or dict one value per row, in the rows' order (a
    repeated animal has the F of its first record on each of its rows); for
    a file one value per animal with a record, in the order of its first
    record. The arguments are those of analyse().
    """
    path, columns, fields = _source(pedigree, (animal, sire, dam, population, period))
    values, notes = _velmora.inbreeding(path, columns, fields, _unknown(unknown), _threads(threads))
    _warn(notes)
    return values


_LABELS = ("animal", "sire", "dam", "population", "period")


def _source(pedigree: Pedigree, which: Sequence[Column]):
    """(path, None, fields) for a file, (None, five columns, None) for a
    table."""
    if isinstance(pedigree, (str, bytes, os.PathLike)):
        if all(isinstance(w, str) for w in which):
            return os.fsdecode(pedigree), None, list(which)
        if not all(_is_position(w) for w in which):
            raise ValueError("the fields of a file are five positions from 0 or five names of its header line")
        return os.fsdecode(pedigree), None, [int(w) + 1 for w in which]
    if hasattr(pedigree, "iloc") and hasattr(pedigree, "columns"):  # a pandas DataFrame
        names = list(pedigree.columns)
        get = lambda k: pedigree.iloc[:, k]  # noqa: E731
    elif isinstance(pedigree, Mapping):
        names = list(pedigree.keys())
        get = lambda k: pedigree[names[k]]  # noqa: E731
    else:
        raise TypeError(f"pedigree must be a pandas DataFrame, a dict of sequences or a file path, not {type(pedigree).__name__}")
    columns = []
    for label, w in zip(_LABELS, which):
        columns.append(_codes(get(_position(names, w, label))))
    lengths = [len(c) for c in columns]
    if len(set(lengths)) > 1:
        raise ValueError("the columns have different lengths: " + ", ".join(f"{l} {n}" for l, n in zip(_LABELS, lengths)))
    return None, columns, None


def _is_position(w: Any) -> bool:
    return isinstance(w, (int, np.integer)) and not isinstance(w, bool) and w >= 0


def _position(names: list, w: Column, label: str) -> int:
    if isinstance(w, str):
        if w not in names:
            raise KeyError(f"{label}: the pedigree has no column named {w!r}")
        return names.index(w)
    if not _is_position(w) or w >= len(names):
        raise IndexError(f"{label} = {w!r}: the pedigree has {len(names)} columns (positions from 0)")
    return int(w)


def _codes(column: Any) -> Sequence[Any]:
    """A column as a sequence of str, None or NaN, without copying an
    object column. Floats that are whole numbers lose their ".0" (a code
    read as 1000000.0 is the animal 1000000)."""
    values = column.to_numpy() if hasattr(column, "to_numpy") else column
    if isinstance(values, np.ndarray):
        if values.dtype.kind == "f":
            return [None if np.isnan(v) else (str(int(v)) if v.is_integer() else str(v)) for v in values.tolist()]
        if values.dtype.kind != "O":
            return values.astype(str).astype(object)
        return values
    if isinstance(values, (list, tuple)):
        return values
    return list(values)


def _unknown(unknown: Sequence[str]) -> list:
    if isinstance(unknown, str):
        return [unknown]
    return [str(u) for u in unknown]


def _threads(threads: Optional[int]) -> int:
    if threads is None:
        return 0
    if not _is_position(threads) or threads < 1:
        raise ValueError(f"threads must be None or a whole number of at least 1, not {threads!r}")
    return int(threads)


def _warn(notes: Sequence[str]) -> None:
    for note in notes:
        warnings.warn(note, DataNote, stacklevel=3)


def _table(columns: dict) -> Table:
    try:
        import pandas
    except ImportError:
        return columns
    return pandas.DataFrame(columns, copy=False)
