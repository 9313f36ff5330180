"""Spearman and combined second-order partial correlation networks.

``quorvin.network(data)`` ranks each variable, correlates every pair, and
searches every first- and second-order partial correlation of each pair,
keeping the coefficient of smallest magnitude: the combined coefficient.
The engine is the one of the ``quorvin`` program, compiled with the same
flags, so that its results, and the result files that ``Network.write``
writes, are the program's to the bit.

Example::

    import pandas as pd, quorvin
    data = pd.read_csv("expression.csv", index_col=0, float_precision="round_trip")
    net = quorvin.network(data)             # a variable per row
    net.edges(0.001).head()                 # the pairs significant at 0.001
    net.write("results")                    # the seven result files
"""

import math
import sys
import time

import numpy as np

from . import _quorvin

__all__ = ["network", "Network", "LEVELS"]
__version__ = "1.0.0"

#: The significance levels of the result files, strictest last.
LEVELS = tuple(float(level) for level in _quorvin.levels)


def network(data, names=None, variables_in="rows", threads=None, progress=False, edges=True):
    """Computes the Spearman and combined coefficients of every pair of variables.

    Parameters
    ----------
    data : numpy.ndarray or pandas.DataFrame
        A 2-D table of numbers, converted to float64: a variable per row
        (``variables_in="rows"``, as expression matrices hold a gene per
        row) or per column (``variables_in="columns"``, as most data frames
        hold them). NaN, infinite and non-numeric values are refused.
    names : sequence of str, optional
        One name per variable. By default the index (variables in rows) or
        the columns (variables in columns) of a DataFrame, and "0", "1", ...
        for an array. Names must differ. They are kept as given; only the
        result files that ``write`` writes change them as the program does
        (the first hyphen removed, blanks turned to underscores).
    variables_in : {"rows", "columns"}
        Where the variables of ``data`` are.
    threads : int, optional
        Threads of the search; by default every core. The result is the
        same for every count.
    progress : bool
        Shows the share of the work done and the time left on standard
        error (with tqdm when it is installed).
    edges : bool
        Keeps the controls of each pair's combined coefficient, which
        ``Network.edges`` and the edge table of ``Network.write`` need
        (8 bytes a pair).

    Returns
    -------
    Network

    Raises
    ------
    ValueError
        For data that cannot be taken: not 2-D, no variable or no
        observation, a NaN, an infinity or a non-numeric value (naming the
        variable and the observation, counted from 1), duplicate names.
    MemoryError
        When the arrays of the data set cannot be had; the message gives
        their size.
    KeyboardInterrupt
        On Ctrl-C, within a second or two; nothing is kept.
    """
    if variables_in not in ("rows", "columns"):
        raise ValueError(f'variables_in must be "rows" or "columns", not {variables_in!r}')
    in_columns = variables_in == "columns"
    values, found_names = _as_values(data, in_columns)
    V = values.shape[1] if in_columns else values.shape[0]
    if names is None:
        names = found_names if found_names is not None else [str(i) for i in range(V)]
    names = [str(name) for name in names]
    if threads is None:
        threads = 0
    elif isinstance(threads, bool) or not isinstance(threads, (int, np.integer)) or threads < 1:
        raise ValueError(f"threads must be a whole number of at least 1, not {threads!r}")
    shown = _ProgressLine() if progress else None
    try:
        handle = _quorvin.compute(values, names, in_columns, int(threads), bool(edges),
                                  shown.update if shown else None)
    finally:
        if shown:
            shown.close()
    return Network(handle)


class Network:
    """The result of ``quorvin.network``: names, both matrices and the edges.

    Attributes
    ----------
    names : list of str
        The variables' names, as given.
    n_observations : int
        The observations behind each coefficient.
    spearman : numpy.ndarray
        V x V float64, read-only: the Spearman rank correlation of every
        pair, symmetric, 1.0 on the diagonal.
    combined : numpy.ndarray
        V x V float64, read-only: the combined coefficient of every pair
        (of smallest magnitude among its zero-, first- and second-order
        partial correlations), symmetric, 1.0 on the diagonal. NaN for a
        pair with a constant variable.

    Both arrays are the engine's own memory, not copies.
    """

    def __init__(self, handle):
        self._handle = handle
        self._names = list(handle.names)
        self._spearman = _quorvin.spearman(handle)
        self._combined = _quorvin.combined(handle)

    names = property(lambda self: list(self._names), doc="The variables' names, as given.")
    n_observations = property(lambda self: self._handle.N,
                              doc="The observations behind each coefficient.")
    spearman = property(lambda self: self._spearman,
                        doc="V x V float64, read-only: the Spearman coefficients.")
    combined = property(lambda self: self._combined,
                        doc="V x V float64, read-only: the combined coefficients.")

    def __repr__(self):
        return (f"<quorvin.Network: {len(self.names)} variables, "
                f"{self.n_observations} observations>")

    def critical(self, level):
        """The magnitude a coefficient must exceed to be significant at level.

        level is one of ``LEVELS`` (0.01, 0.001, 0.0001). NaN for 5 or fewer
        observations, where no pair is significant.
        """
        return self._handle.critical(level)

    def edges(self, level=0.01):
        """The significant pairs as a pandas DataFrame, one row per pair.

        The rows are the pairs whose Spearman or combined coefficient
        exceeds ``critical(level)`` in magnitude, in the order of the
        interaction lists (.sif): at 0.01, exactly the rows of the
        program's edge table (``quorvin --edges``). Columns:
        variable_1, variable_2 (str), spearman, combined (float64), order
        (int64: 0, 1 or 2, the controls of the combined coefficient),
        control_1, control_2 (str, None where the order leaves none), and
        level (float64: the strictest of ``LEVELS`` that the combined
        coefficient passes, NaN for none).

        Needs the network computed with ``edges=True``.
        """
        import pandas as pd

        found = _quorvin.edges(self._handle, level)
        names = np.array(self._names + [None], dtype=object)  # index -1 gives None
        x, y = found["x"], found["y"]
        strictest = np.array(LEVELS + (math.nan,))[found["level"]]
        return pd.DataFrame({
            "variable_1": names[x],
            "variable_2": names[y],
            "spearman": self.spearman[x, y],
            "combined": self.combined[x, y],
            "order": found["order"].astype(np.int64),
            "control_1": names[found["control_1"]],
            "control_2": names[found["control_2"]],
            "level": strictest,
        })

    def write(self, folder, edges=None):
        """Writes the seven result files into folder, as ``quorvin -o folder``.

        The combined matrix, the three interaction lists (.sif) and the
        three Pajek networks (.net), byte for byte those of the program on
        the same data; with edges, a path, also the edge table (``"-"``:
        standard output). The names are written as the program writes them
        (first hyphen removed, blanks turned to underscores); names that the
        files cannot hold, or that would become one, raise ValueError. The
        files are written aside and put in place together at the end, so
        that a failure leaves earlier results as they were (OSError).

        Returns a dict of the pairs listed at each level, and in the edge
        table under "edge_table".
        """
        listed, rows = _quorvin.save(self._handle, str(folder), "" if edges is None else str(edges))
        counts = dict(zip(LEVELS, listed))
        if edges is not None:
            counts["edge_table"] = rows
        return counts


def _as_values(data, in_columns):
    """The values of data as a float64 array and the names it carries."""
    # A DataFrame means pandas is imported already; an array does not need it.
    pd = sys.modules.get("pandas")
    if pd is not None and isinstance(data, pd.DataFrame):
        labels = data.columns if in_columns else data.index
        other = data.index if in_columns else data.columns
        for j in range(data.shape[1]):
            column = data.iloc[:, j]
            if pd.api.types.is_numeric_dtype(column):
                continue
            numbers = pd.to_numeric(column, errors="coerce")
            bad = np.flatnonzero(numbers.isna().to_numpy() & column.notna().to_numpy())
            if len(bad) == 0:
                continue
            i = int(bad[0])
            variable, observation = (j, i) if in_columns else (i, j)
            raise ValueError(
                f'variable {variable + 1} ("{labels[variable]}"), observation '
                f'{observation + 1} ("{other[observation]}"): {column.iloc[i]!r} is not a number')
        if any(dtype.kind == "c" for dtype in data.dtypes):
            raise ValueError("the data must be real numbers, not complex ones")
        values = data.to_numpy(dtype=np.float64)
        return np.ascontiguousarray(values), [str(label) for label in labels]
    values = np.asarray(data)
    if values.dtype.kind == "c":
        raise ValueError("the data must be real numbers, not complex ones")
    if values.ndim != 2:
        raise ValueError(f"the data must be 2-D (a variable per {'column' if in_columns else 'row'}), "
                         f"not of shape {values.shape}")
    if not (np.issubdtype(values.dtype, np.number) or values.dtype == np.bool_):
        try:
            values = values.astype(np.float64)
        except (TypeError, ValueError) as error:
            raise ValueError(f"the data must be numbers: {error}") from None
    return np.ascontiguousarray(values, dtype=np.float64), None


class _ProgressLine:
    """The share done and the time left on standard error: a tqdm bar when
    tqdm is installed, else one line rewritten in place."""

    def __init__(self):
        self._start = time.monotonic()
        self._shown = 0.0
        try:
            from tqdm import tqdm
        except ImportError:
            self._bar = None
        else:
            self._bar = tqdm(total=1000, desc="Search", unit="‰", file=sys.stderr,
                             bar_format="{desc}: {percentage:3.0f}%|{bar}| {elapsed}<{remaining}")

    def update(self, share, elapsed, seconds_left):
        if self._bar is not None:
            self._bar.update(int(share * 1000) - self._bar.n)
            return
        now = time.monotonic()
        if now - self._shown < 0.25 and share < 1:
            return
        self._shown = now
        sys.stderr.write("\r" + _quorvin.progress_line(share, elapsed, seconds_left) + "   ")
        sys.stderr.flush()

    def close(self):
        if self._bar is not None:
            self._bar.close()
        elif self._shown:
            sys.stderr.write("\n")
            sys.stderr.flush()
