import os
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

# The source folder holds quorvin/ without the compiled module; when pytest
# runs from there it would shadow the installed package.
_SOURCE = pathlib.Path(__file__).resolve().parents[1]
sys.path[:] = [p for p in sys.path if pathlib.Path(p or ".").resolve() != _SOURCE]

import quorvin  # noqa: E402

assert hasattr(quorvin, "_quorvin"), f"quorvin imported without its engine: {quorvin.__file__}"

RESULT_FILES = ["Quorvin_matrix.xls"] + [
    f"Quorvin_network_{level}.{kind}" for kind in ("sif", "net") for level in ("0.01", "0.001", "0.0001")
]


def factor_data(V, N, factors=5, seed=0):
    """Correlated variables: shared factors make many pairs significant."""
    rng = np.random.default_rng(seed)
    return rng.normal(size=(V, factors)) @ rng.normal(size=(factors, N)) + rng.normal(size=(V, N))


def write_table(path, values, names):
    """The program's input; %.17g reads back to the same doubles."""
    with open(path, "w") as f:
        f.write("name\t" + "\t".join(f"o{j + 1}" for j in range(values.shape[1])) + "\n")
        for name, row in zip(names, values):
            quoted = f'"{name}"' if " " in name else name
            f.write(quoted + "\t" + "\t".join("%.17g" % v for v in row) + "\n")


def twin_data(V, N, seed):
    """Factor data where each odd variable follows the one before it, so that
    some combined coefficients survive every control, at each level."""
    x = factor_data(V, N, seed=seed)
    x[1::2] = x[:V - 1:2] + np.random.default_rng(seed + 100).normal(size=x[1::2].shape)
    return x


def read_edge_table(path):
    # Typed, so that a table without rows compares as well.
    types = dict.fromkeys(["variable_1", "variable_2", "control_1", "control_2"], str)
    types.update(spearman=np.float64, combined=np.float64, order=np.int64, level=np.float64)
    table = pd.read_csv(path, sep="\t", float_precision="round_trip", dtype=types)
    return table.reset_index(drop=True)


@pytest.fixture(scope="session")
def binary():
    path = os.environ.get("QUORVIN_BINARY") or str(_SOURCE.parent / "build" / "quorvin")
    if not os.access(path, os.X_OK):
        pytest.fail(f"no program at {path}: cmake --build build --target quorvin, or set QUORVIN_BINARY")
    return path


@pytest.fixture
def run_program(binary, tmp_path):
    """Runs the program on values (V x N) and returns its result folder."""

    def run(values, names):
        table = tmp_path / "table.tsv"
        write_table(table, values, names)
        folder = tmp_path / "program"
        folder.mkdir()
        subprocess.run([binary, "-q", "-o", str(folder), "--edges", str(folder / "edges.tsv"), str(table)],
                       check=True, capture_output=True)
        return folder

    return run


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()
