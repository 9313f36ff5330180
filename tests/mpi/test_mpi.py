"""quorvin-mpi on this machine, with more processes than cores: the same bytes
as the program for every process and thread count, interrupted runs that
leave earlier results as they were, and refusals in one line."""

import filecmp
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

PROGRAM = os.environ["QUORVIN_BINARY"]
MPI_PROGRAM = os.environ["QUORVIN_MPI_BINARY"]
MAKE_DATA = os.environ["QUORVIN_MAKE_DATA"]
MPIEXEC = os.environ.get("MPIEXEC") or "mpirun"

# Root may start MPI jobs here, more processes than cores are allowed, and
# the processes are not bound to one core each.
ENV = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
           OMPI_MCA_rmaps_base_oversubscribe="1")


def mpirun(processes, *args, **kwargs):
    return [MPIEXEC, "--bind-to", "none", "-np", str(processes), MPI_PROGRAM, *args]


def make_table(folder, kind, V, N):
    path = os.path.join(folder, f"{kind}_{V}x{N}.txt")
    with open(path, "w") as f:
        subprocess.run([MAKE_DATA, kind, str(V), str(N)], stdout=f, check=True)
    return path


def results(folder):
    """The files in folder, with their bytes."""
    found = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


class DistributedRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="quorvin-mpi-test.")

    def single(self, table):
        folder = tempfile.mkdtemp(dir=self.work)
        subprocess.run([PROGRAM, "-q", "-o", folder, "--edges", f"{folder}/edges.tsv", table],
                       check=True, stdout=subprocess.DEVNULL)
        return results(folder)

    def test_every_process_and_thread_count_writes_the_programs_bytes(self):
        for kind in ("dense", "modules"):
            table = make_table(self.work, kind, 300, 40)
            expected = self.single(table)
            self.assertEqual(len(expected), 8)
            for processes in (1, 2, 3):
                for threads in (1, 2):
                    with self.subTest(kind=kind, processes=processes, threads=threads):
                        folder = tempfile.mkdtemp(dir=self.work)
                        run = subprocess.run(
                            mpirun(processes, "-q", "-t", str(threads), "-o", folder,
                                   "--edges", f"{folder}/edges.tsv", table),
                            env=ENV, capture_output=True, text=True)
                        self.assertEqual(run.returncode, 0, run.stderr)
                        self.assertEqual(results(folder), expected)
                        if processes > 1:
                            self.assertIn(f"over {processes},", run.stdout)

    def interrupted(self, stop):
        """Starts a run of some seconds into a folder that holds earlier
        results, stops it with stop(mpirun) after a second, and checks that
        the folder holds the earlier results and nothing else."""
        folder = tempfile.mkdtemp(dir=self.work)
        small = make_table(self.work, "dense", 60, 20)
        subprocess.run([PROGRAM, "-q", "-o", folder, small], check=True, stdout=subprocess.DEVNULL)
        earlier = results(folder)
        table = make_table(self.work, "dense", 4000, 100)
        run = subprocess.Popen(mpirun(2, "-q", "-t", "1", "-o", folder, table), env=ENV,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
        time.sleep(1.5)
        self.assertIsNone(run.poll(), "the run ended before it could be stopped")
        stop(run)
        try:
            self.assertNotEqual(run.wait(timeout=60), 0)
        finally:
            os.killpg(run.pid, signal.SIGKILL) if run.poll() is None else None
        self.assertEqual(results(folder), earlier)

    def test_sigterm_to_mpirun_leaves_earlier_results(self):
        self.interrupted(lambda run: run.send_signal(signal.SIGTERM))

    def test_a_killed_process_leaves_earlier_results(self):
        def kill_one(run):
            ranks = subprocess.run(["pgrep", "-P", str(run.pid)], capture_output=True,
                                   text=True).stdout.split()
            self.assertEqual(len(ranks), 2, ranks)
            os.kill(int(ranks[-1]), signal.SIGKILL)
        self.interrupted(kill_one)

    def test_refusals_come_once_with_status_1(self):
        table = make_table(self.work, "dense", 30, 10)
        plain = os.path.join(self.work, "plain_file")
        open(plain, "w").close()
        for args, part in [
            ((os.path.join(self.work, "missing.txt"),), "cannot open"),
            (("-o", os.path.join(plain, "under"), table), "cannot create the folder"),
            (("-o", self.work, "--edges", table, table), "would overwrite"),
        ]:
            with self.subTest(part=part):
                run = subprocess.run(mpirun(3, "-q", *args), env=ENV, capture_output=True,
                                     text=True)
                self.assertEqual(run.returncode, 1)
                ours = [line for line in run.stderr.splitlines() if line.startswith("quorvin: ")]
                self.assertEqual(len(ours), 1, run.stderr)
                self.assertIn(part, ours[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
