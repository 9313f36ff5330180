"""What the Python package costs over the program: the same data set run
through both, whole runs in fresh processes, with the wall time, the peak
resident memory and a byte-for-byte check of the result files.

Usage (with the package installed in the interpreter that runs this):
  python bench/python_cost.py QUORVIN MAKE_DATA [KIND VARIABLES OBSERVATIONS [RUNS]]
e.g. python bench/python_cost.py build-bench/quorvin build-bench/bench/quorvin_make_data dense 2000 100
"""

import filecmp
import os
import subprocess
import sys
import tempfile

# Reads the table (a header line, then a variable per line) as the program
# does: float() rounds as the program's reader and writes the results; the reading is timed apart.
PACKAGE_RUN = """
import sys, time
import numpy as np, quorvin
start = time.monotonic()
names, rows = [], []
with open(sys.argv[1]) as f:
    next(f)  # the header line
    for line in f:
        fields = line.split()
        if fields:
            names.append(fields[0]); rows.append([float(v) for v in fields[1:]])
values = np.array(rows)
read = time.monotonic()
net = quorvin.network(values, names=names)
net.write(sys.argv[2])
print(read - start)
"""


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    binary, make_data = sys.argv[1], sys.argv[2]
    kind, V, N = (sys.argv[3:6] + ["dense", "2000", "100"][len(sys.argv[3:6]):])[:3]
    runs = int(sys.argv[6]) if len(sys.argv) > 6 else 3
    work = tempfile.mkdtemp(prefix="quorvin-python-cost.")
    table = os.path.join(work, "data.txt")
    with open(table, "w") as f:
        subprocess.run([make_data, kind, V, N], stdout=f, check=True)
    # Each kind in its own fresh child, so that the peaks do not mix.
    results = {}
    for name in ("program", "package"):
        best = None
        for _ in range(runs):
            folder = os.path.join(work, name)
            if name == "program":
                command = [binary, "-q", "-o", folder, table]
            else:
                command = [sys.executable, "-c", PACKAGE_RUN, table, folder]
            probe = [sys.executable, "-c",
                     "import resource, subprocess, sys, time; s = time.monotonic(); "
                     "r = subprocess.run(sys.argv[1:], stdout=subprocess.PIPE, text=True); "
                     "t = time.monotonic() - s; "
                     "print(t, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024, "
                     "r.returncode, r.stdout)"] + command
            out = subprocess.run(probe, stdout=subprocess.PIPE, text=True, check=True).stdout.split()
            seconds, peak, status = float(out[0]), float(out[1]), int(out[2])
            reading = float(out[-1]) if name == "package" else 0.0
            if status != 0:
                sys.exit(f"{name} failed")
            if best is None or seconds < best[0]:
                best = (seconds, peak, reading)
        results[name] = best
    same = all(filecmp.cmp(os.path.join(work, "program", f), os.path.join(work, "package", f),
                           shallow=False) for f in os.listdir(os.path.join(work, "program")))
    print(f"{kind} {V} x {N}, best of {runs}:")
    for name, (seconds, peak, reading) in results.items():
        extra = f" (of which reading the text in Python {reading:.2f} s)" if name == "package" else ""
        print(f"  {name:8} {seconds:6.2f} s, peak {peak:7.1f} MiB{extra}")
    print("  result files identical" if same else "  RESULT FILES DIFFER")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
