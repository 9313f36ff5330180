"""Running the built program from Python tests, and the paths they share.

ctest passes the program's path in QUORVIN_BINARY.
"""

import os
import subprocess

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXAMPLE_DATA = os.path.join(SOURCE_DIR, "examples", "mtcars", "data.txt")
RESULT_FILES = [
    "Quorvin_matrix.xls",
    "Quorvin_network_0.01.sif", "Quorvin_network_0.001.sif", "Quorvin_network_0.0001.sif",
    "Quorvin_network_0.01.net", "Quorvin_network_0.001.net", "Quorvin_network_0.0001.net",
]


def binary():
    """The program's path, or None when the tests run outside ctest."""
    return os.environ.get("QUORVIN_BINARY")


def run_quorvin(folder, variables, observations):
    """Runs the program in folder with the two answers piped in; fails on a non-zero exit."""
    # One thread keeps several test programs from crowding the machine.
    env = dict(os.environ, OMP_NUM_THREADS="1")
    done = subprocess.run([binary()], cwd=folder, input=f"{variables}\n{observations}\n",
                          capture_output=True, text=True, env=env, timeout=120)
    if done.returncode != 0:
        raise AssertionError(f"quorvin exited with {done.returncode}: {done.stderr.strip()}")
    return done


def run_quorvin_with(folder, *args):
    """Runs the program's command line in folder; fails on a non-zero exit."""
    env = dict(os.environ, OMP_NUM_THREADS="1")
    done = subprocess.run([binary(), *args], cwd=folder, capture_output=True, text=True, env=env,
                          timeout=120)
    if done.returncode != 0:
        raise AssertionError(f"quorvin exited with {done.returncode}: {done.stderr.strip()}")
    return done


def read_results(folder):
    """The seven result files' bytes, by name."""
    results = {}
    for name in RESULT_FILES:
        with open(os.path.join(folder, name), "rb") as f:
            results[name] = f.read()
    return results
