import gc
import os
import pydoc
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pandas as pd
import pytest

import quorvin
from conftest import RESULT_FILES, factor_data, read_edge_table, same_bits, twin_data


def tied(V, N, seed):
    x = factor_data(V, N, seed=seed)
    return np.digitize(x, np.quantile(x, [1 / 3, 2 / 3])).astype(np.float64) - 1.0


def with_constant(V, N, seed):
    x = factor_data(V, N, seed=seed)
    x[3] = 2.5
    return x


SHAPES = {
    "dense": lambda: twin_data(60, 40, seed=1),
    "ties": lambda: tied(30, 20, seed=2),
    "constant": lambda: with_constant(20, 15, seed=3),
    "N=5": lambda: factor_data(10, 5, seed=4),
    "N=4": lambda: factor_data(10, 4, seed=5),
    "V=2": lambda: twin_data(2, 12, seed=6),
    "V=3": lambda: twin_data(3, 12, seed=6),
}


def pairs(frame):
    return set(zip(frame.variable_1, frame.variable_2))


class TestAgainstProgram:
    @pytest.fixture(params=list(SHAPES))
    def case(self, request, run_program):
        values = SHAPES[request.param]()
        names = [f"v{i}" for i in range(len(values))]
        return request.param, names, quorvin.network(values, names=names), run_program(values, names)

    def test_result_files_are_the_programs(self, case, tmp_path):
        shape, names, net, program = case
        ours = tmp_path / "package"
        counts = net.write(ours, edges=ours / "edges.tsv")
        for name in RESULT_FILES + ["edges.tsv"]:
            assert (ours / name).read_bytes() == (program / name).read_bytes(), name
        assert counts["edge_table"] == len(read_edge_table(program / "edges.tsv"))
        for level in quorvin.LEVELS:
            sif = (program / f"Quorvin_network_{level}.sif").read_text().splitlines()
            assert counts[level] == len([line for line in sif if line])

    def test_matrices_match_edge_table(self, case):
        shape, names, net, program = case
        table = read_edge_table(program / "edges.tsv")
        if shape == "dense":  # otherwise the comparison could pass on nothing
            assert len(table) > 20 and set(table.level.dropna()) == set(quorvin.LEVELS)
        assert table.empty == shape.startswith("N=")
        index = {name: i for i, name in enumerate(names)}
        x, y = table.variable_1.map(index).to_numpy(), table.variable_2.map(index).to_numpy()
        assert same_bits(net.combined[x, y], table.combined.to_numpy())
        assert same_bits(net.spearman[x, y], table.spearman.to_numpy())

    def test_edges_frame_is_the_edge_table(self, case):
        shape, names, net, program = case
        table = read_edge_table(program / "edges.tsv")
        pd.testing.assert_frame_equal(net.edges(0.01), table, check_exact=True)


class TestInputForms:
    values = factor_data(12, 9, seed=8)
    names = [f"g{i}" for i in range(12)]

    FORMS = {
        "array rows": lambda v, n: (v, dict(names=n)),
        "array columns": lambda v, n: (v.T, dict(names=n, variables_in="columns")),
        "fortran rows": lambda v, n: (np.asfortranarray(v), dict(names=n)),
        "strided rows": lambda v, n: (np.repeat(v, 2, axis=1)[:, ::2], dict(names=n)),
        "frame rows": lambda v, n: (pd.DataFrame(v, index=n), {}),
        "frame columns": lambda v, n: (pd.DataFrame(v.T, columns=n), dict(variables_in="columns")),
    }

    @pytest.fixture(scope="class")
    def reference(self):
        return quorvin.network(self.values, names=self.names)

    @pytest.mark.parametrize("form", list(FORMS))
    def test_every_form_gives_the_same_bits(self, form, reference):
        data, options = self.FORMS[form](self.values, self.names)
        net = quorvin.network(data, **options)
        assert net.names == self.names
        assert net.n_observations == 9
        assert same_bits(net.spearman, reference.spearman)
        assert same_bits(net.combined, reference.combined)

    def test_default_names(self):
        assert quorvin.network(self.values).names == [str(i) for i in range(12)]
        assert quorvin.network(self.values.T, variables_in="columns").names == [str(i) for i in range(12)]
        frame = pd.DataFrame(self.values, index=range(100, 112))
        assert quorvin.network(frame).names == [str(i) for i in range(100, 112)]

    def test_int_array_is_taken_as_doubles(self):
        counts = np.random.default_rng(9).integers(0, 6, size=(10, 14))
        net = quorvin.network(counts)
        again = quorvin.network(counts.astype(np.float64))
        assert same_bits(net.combined, again.combined)
        assert same_bits(net.spearman, again.spearman)


@pytest.fixture(scope="module")
def dense():
    return quorvin.network(twin_data(50, 30, seed=10))


class TestResult:
    def test_matrices(self, dense):
        for matrix in (dense.spearman, dense.combined):
            assert matrix.dtype == np.float64 and matrix.shape == (50, 50)
            assert same_bits(matrix, matrix.T)
            assert (np.diag(matrix) == 1.0).all()
            with pytest.raises(ValueError):
                matrix[0, 1] = 0.5
        # The combined coefficient is the one of smallest magnitude, the
        # Spearman coefficient among them.
        assert (np.abs(dense.combined) <= np.abs(dense.spearman)).all()

    def test_matrices_are_views_that_outlive_the_network(self):
        net = quorvin.network(factor_data(20, 15, seed=11))
        combined, spearman = net.combined, net.spearman
        assert combined.base is not None and not combined.flags.owndata
        assert np.shares_memory(combined, quorvin._quorvin.combined(net._handle))
        kept = combined.copy(), spearman.copy()
        del net
        gc.collect()
        quorvin.network(factor_data(20, 15, seed=12))  # would reuse freed memory
        assert same_bits(combined, kept[0]) and same_bits(spearman, kept[1])

    def test_constant_variable_is_nan_off_the_diagonal(self):
        net = quorvin.network(with_constant(10, 12, seed=13))
        others = np.arange(10) != 3
        for matrix in (net.spearman, net.combined):
            assert np.isnan(matrix[3, others]).all() and np.isnan(matrix[others, 3]).all()
            assert matrix[3, 3] == 1.0
            assert not np.isnan(matrix[np.ix_(others, others)]).any()

    def test_critical_values(self, dense):
        critical = [dense.critical(level) for level in quorvin.LEVELS]
        assert quorvin.LEVELS == (0.01, 0.001, 0.0001)
        assert 0 < critical[0] < critical[1] < critical[2] < 1
        with pytest.raises(ValueError, match="0.05"):
            dense.critical(0.05)

    @pytest.mark.parametrize("N", [2, 4, 5, 6])
    def test_no_critical_value_for_five_observations_or_fewer(self, N):
        net = quorvin.network(factor_data(8, N, seed=N))
        assert [np.isnan(net.critical(level)) for level in quorvin.LEVELS] == [N <= 5] * 3
        if N <= 5:
            assert all(net.edges(level).empty for level in quorvin.LEVELS)

    def test_edges_are_the_pairs_passing_the_level(self, dense):
        index = {name: i for i, name in enumerate(dense.names)}
        upper = np.triu(np.ones((50, 50), dtype=bool), 1)
        for level in quorvin.LEVELS:
            edges, critical = dense.edges(level), dense.critical(level)
            passing = upper & ((np.abs(dense.spearman) > critical) | (np.abs(dense.combined) > critical))
            assert len(edges) == passing.sum() > 0
            x, y = edges.variable_1.map(index), edges.variable_2.map(index)
            assert passing[x, y].all()
        assert pairs(dense.edges(0.0001)) <= pairs(dense.edges(0.001)) < pairs(dense.edges(0.01))

    def test_edge_columns_agree(self, dense):
        edges = dense.edges(0.01)
        assert list(edges.columns) == ["variable_1", "variable_2", "spearman", "combined", "order",
                                       "control_1", "control_2", "level"]
        assert {1, 2} <= set(edges.order)  # the data must exercise both orders
        for row in edges.itertuples():
            controls = (row.control_1, row.control_2)
            assert None not in controls[:row.order] and controls[row.order:] == (None,) * (2 - row.order)
            assert not {row.variable_1, row.variable_2} & set(controls[:row.order])
            passed = [lv for lv in quorvin.LEVELS if abs(row.combined) > dense.critical(lv)]
            assert (np.isnan(row.level) and not passed) or row.level == passed[-1]

    def test_two_variables_have_no_control(self):
        net = quorvin.network(twin_data(2, 12, seed=6))
        assert same_bits(net.combined, net.spearman)
        edges = net.edges()
        assert len(edges) == 1 and edges.order[0] == 0
        assert edges.control_1[0] is None and edges.control_2[0] is None

    def test_edges_need_the_controls(self):
        data = factor_data(15, 12, seed=14)
        without, full = quorvin.network(data, edges=False), quorvin.network(data)
        with pytest.raises(ValueError, match="edges=True"):
            without.edges()
        assert same_bits(without.combined, full.combined)
        with pytest.raises(ValueError):
            full.edges(0.05)

    def test_thread_count_changes_nothing(self):
        data = factor_data(80, 25, seed=15)
        one, two = quorvin.network(data, threads=1), quorvin.network(data, threads=2)
        assert same_bits(one.combined, two.combined) and same_bits(one.spearman, two.spearman)
        pd.testing.assert_frame_equal(one.edges(), two.edges(), check_exact=True)

    @pytest.mark.parametrize("threads", [0, -1, 1.5, "2", True])
    def test_bad_thread_count(self, threads):
        with pytest.raises(ValueError, match="threads"):
            quorvin.network(factor_data(5, 8), threads=threads)


class TestRefusals:
    values = factor_data(8, 12, seed=16)
    names = [f"g{i}" for i in range(8)]

    FORMS = {
        "rows": lambda d, n: (d, "rows"),
        "columns": lambda d, n: (d.T, "columns"),
        "frame rows": lambda d, n: (pd.DataFrame(d, index=n), "rows"),
        "frame columns": lambda d, n: (pd.DataFrame(d.T, columns=n), "columns"),
    }

    @pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf], ids=["nan", "+inf", "-inf"])
    @pytest.mark.parametrize("form", list(FORMS))
    def test_value_that_cannot_be_ranked(self, bad, form):
        data = self.values.copy()
        data[2, 5] = bad
        data, variables_in = self.FORMS[form](data, self.names)
        with pytest.raises(ValueError, match=r"variable 3\b.*observation 6\b") as refused:
            quorvin.network(data, variables_in=variables_in)
        if form.startswith("frame"):
            assert "g2" in str(refused.value)

    @pytest.mark.parametrize("in_columns", [True, False])
    def test_non_numeric_frame_value(self, in_columns):
        frame = pd.DataFrame(self.values.T, columns=self.names, index=[f"o{j}" for j in range(12)])
        frame["g3"] = frame["g3"].astype(object)
        frame.loc["o4", "g3"] = "abc"
        if not in_columns:
            frame = frame.T
        with pytest.raises(ValueError, match=r'variable 4 \("g3"\), observation 5 \("o4"\).*abc'):
            quorvin.network(frame, variables_in="columns" if in_columns else "rows")

    def test_names_must_differ_and_fit(self):
        with pytest.raises(ValueError, match="variable 3.*variable 1"):
            quorvin.network(self.values, names=["a", "b", "a", "c", "d", "e", "f", "g"])
        with pytest.raises(ValueError, match="names must differ"):
            quorvin.network(pd.DataFrame(self.values, index=["x"] * 8))
        for count in (7, 9):
            with pytest.raises(ValueError, match=f"{count} names"):
                quorvin.network(self.values, names=[f"n{i}" for i in range(count)])

    @pytest.mark.parametrize("data, message", [
        (np.zeros(5), "2-D"),
        (np.zeros((2, 3, 4)), "2-D"),
        (np.zeros((0, 5)), "no variable"),
        (np.zeros((5, 0)), "no observation"),
        (pd.DataFrame(index=["a", "b"]), "no observation"),
        (np.ones((3, 6), dtype=complex), "complex"),
        (pd.DataFrame(np.ones((3, 6), dtype=complex)), "complex"),
    ], ids=["1-D", "3-D", "no variable", "no observation", "empty frame", "complex",
            "complex frame"])
    def test_shapes(self, data, message):
        with pytest.raises(ValueError, match=message):
            quorvin.network(data)

    def test_orientation_must_be_named(self):
        with pytest.raises(ValueError, match="diagonal"):
            quorvin.network(self.values, variables_in="diagonal")


class TestWrite:
    def test_names_written_as_the_program_writes_them(self, run_program, tmp_path):
        values = factor_data(6, 14, seed=17)
        names = ["a-b-c", "d e", "f", "-g", "h  i", "j"]
        program = run_program(values, names)
        net = quorvin.network(values, names=names)
        net.write(tmp_path / "package", edges=tmp_path / "package" / "edges.tsv")
        for name in RESULT_FILES + ["edges.tsv"]:
            assert (tmp_path / "package" / name).read_bytes() == (program / name).read_bytes(), name
        assert "ab-c" in (program / "Quorvin_matrix.xls").read_text()
        assert net.names == names
        assert set(net.edges().variable_1) | set(net.edges().variable_2) <= set(names)

    @pytest.mark.parametrize("names, message", [
        (["a-b", "ab", "c", "d"], '"ab".*already that of variable 1'),
        (["x y", "x_y", "c", "d"], '"x_y".*already that of variable 1'),
        (['a"b', "c", "d", "e"], "double quote"),
    ])
    def test_names_the_files_cannot_hold(self, names, message, tmp_path):
        net = quorvin.network(factor_data(4, 10, seed=18), names=names)
        assert net.names == names
        with pytest.raises(ValueError, match=message):
            net.write(tmp_path / "out")
        assert not (tmp_path / "out").exists()

    def test_folder_that_cannot_be_made(self, dense, tmp_path):
        (tmp_path / "plain").write_text("x")
        with pytest.raises(OSError):
            dense.write(tmp_path / "plain" / "out")
        assert sorted(os.listdir(tmp_path)) == ["plain"]
        assert (tmp_path / "plain").read_text() == "x"

    def test_failed_write_keeps_earlier_results(self, dense, tmp_path):
        folder = tmp_path / "out"
        dense.write(folder)
        before = {name: (folder / name).read_bytes() for name in RESULT_FILES}
        other = quorvin.network(factor_data(50, 30, seed=19))
        (tmp_path / "plain").write_text("x")
        with pytest.raises(OSError):
            other.write(folder, edges=tmp_path / "plain" / "edges.tsv")
        clash = quorvin.network(factor_data(4, 10), names=["a-b", "ab", "c", "d"])
        with pytest.raises(ValueError):
            clash.write(folder)
        assert sorted(os.listdir(folder)) == sorted(RESULT_FILES)
        assert {name: (folder / name).read_bytes() for name in RESULT_FILES} == before


class TestInterruptsAndThreads:
    def test_keyboard_interrupt_stops_the_search(self):
        small = factor_data(30, 20, seed=21)
        fresh = quorvin.network(small)
        data = factor_data(4000, 100, factors=20, seed=20)
        sent = []

        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)

        timer = threading.Timer(1.0, interrupt)
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                quorvin.network(data, threads=1)  # a single thread: many seconds uninterrupted
            returned = time.monotonic()
        finally:
            timer.cancel()
        assert sent and returned - sent[0] < 2.0
        after = quorvin.network(small)
        assert same_bits(after.combined, fresh.combined) and same_bits(after.spearman, fresh.spearman)
        pd.testing.assert_frame_equal(after.edges(), fresh.edges(), check_exact=True)

    def test_other_threads_run_during_the_search(self):
        data = factor_data(2500, 100, factors=20, seed=22)
        ticks, running = [], threading.Event()

        def tick():
            while not running.is_set():
                time.sleep(0.001)
            while running.is_set():
                ticks.append(time.monotonic())
                time.sleep(0.01)

        ticker = threading.Thread(target=tick)
        ticker.start()
        running.set()
        start = time.monotonic()
        try:
            quorvin.network(data)
        finally:
            end = time.monotonic()
            running.clear()
            ticker.join()
        during = [t for t in ticks if start <= t <= end]
        assert end - start > 0.5, "the search was too short to tell"
        assert len(during) > 30 and len(during) > 0.3 * (end - start) / 0.01

    @pytest.mark.parametrize("tqdm", [True, False], ids=["tqdm", "no tqdm"])
    def test_progress_goes_to_stderr(self, tqdm, capfd, monkeypatch):
        data = factor_data(300, 30, seed=23)
        quiet = quorvin.network(data)
        capfd.readouterr()
        if not tqdm:
            monkeypatch.setitem(sys.modules, "tqdm", None)
        shown = quorvin.network(data, progress=True)
        out, err = capfd.readouterr()
        assert out == "" and "Search" in err and "100" in err
        assert ("%|" in err) == tqdm
        assert same_bits(shown.combined, quiet.combined) and same_bits(shown.spearman, quiet.spearman)


def test_memory_error_gives_the_size(tmp_path):
    child = textwrap.dedent("""
        import numpy as np, quorvin
        try:
            quorvin.network(np.zeros((30000, 10)))
        except MemoryError as error:
            print("MemoryError:", error)
    """)
    limit = 2 << 30
    # Elsewhere than python/, whose quorvin/ lacks the engine.
    done = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True, timeout=300, cwd=tmp_path,
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("MemoryError:")
    assert "need" in done.stdout and "GiB" in done.stdout


class TestDocumentation:
    def test_help_names_every_parameter(self):
        text = pydoc.render_doc(quorvin.network, renderer=pydoc.plaintext)
        for parameter in ("data", "names", "variables_in", "threads", "progress", "edges"):
            assert f"{parameter} :" in text, parameter

    @pytest.mark.parametrize("name", ["network", "Network", "Network.critical", "Network.edges",
                                      "Network.write", "LEVELS"])
    def test_public_names_have_docstrings(self, name):
        if name == "LEVELS":  # a tuple holds no docstring of its own: autodoc reads the #: comment
            source = open(quorvin.__file__, encoding="utf-8").read().splitlines()
            line = next(i for i, text in enumerate(source) if text.startswith("LEVELS ="))
            assert source[line - 1].startswith("#:") and source[line - 1][2:].strip()
            return
        target = quorvin
        for part in name.split("."):
            target = getattr(target, part)
        assert target.__doc__ and target.__doc__.strip()
