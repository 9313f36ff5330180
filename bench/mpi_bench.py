"""The distributed rows of make bench: one search over K processes of
quorvin-mpi on this machine against the program, and how evenly the
processes share the search (each one's CPU time against the mean, from the
summary), with the result files checked byte for byte.

Usage: mpi_bench.py QUORVIN QUORVIN_MPI MAKE_DATA WORK_FOLDER [KIND VARIABLES OBSERVATIONS]
"""

import filecmp
import os
import re
import subprocess
import sys
import time

ENV = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
           OMPI_MCA_rmaps_base_oversubscribe="1")


def timed(command, env=ENV):
    start = time.monotonic()
    run = subprocess.run(command, env=env, capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit(f"failed: {' '.join(command)}\n{run.stderr}")
    return time.monotonic() - start, run.stdout


def main():
    if len(sys.argv) < 5:
        sys.exit(__doc__)
    program, mpi_program, make_data, work = sys.argv[1:5]
    kind, V, N = (sys.argv[5:8] + ["dense", "5000", "100"][len(sys.argv[5:8]):])[:3]
    os.makedirs(work, exist_ok=True)
    table = os.path.join(work, f"{kind}_{V}x{N}.txt")
    if not os.path.exists(table):
        with open(table, "w") as f:
            subprocess.run([make_data, kind, V, N], stdout=f, check=True)
    single = os.path.join(work, "mpi-single")
    seconds, _ = timed([program, "-q", "-t", "2", "-o", single, table])
    print(f"Distributed runs, {kind} {V} x {N} (mpirun --bind-to none on this machine):")
    print(f"  1 process of 2 threads     {seconds:7.2f} s")
    for processes, threads in ((2, 1), (4, 1), (8, 1)):
        folder = os.path.join(work, f"mpi-{processes}")
        seconds, out = timed(["mpirun", "--bind-to", "none", "-np", str(processes), mpi_program,
                              "-q", "-t", str(threads), "-o", folder, table])
        same = all(filecmp.cmp(os.path.join(single, f), os.path.join(folder, f), shallow=False)
                   for f in os.listdir(single))
        balance = re.search(r"Search CPU: +(.*)", out)
        print(f"  {processes} processes of {threads} thread {seconds:7.2f} s   "
              f"search CPU {balance.group(1) if balance else '?'}   "
              f"{'identical' if same else 'RESULT FILES DIFFER'}")
        if not same:
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
