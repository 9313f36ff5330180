"""Runs the snippets of the README's "Using the results" section on result
files of the built program and checks what they give against the files.

Usage: test_recipes.py GROUP, GROUP one of: text, pandas, networkx, igraph, r.
Fails when the group's module is missing (make deps installs them); exits
77, which ctest counts as skipped, only outside ctest.
"""

import contextlib
import importlib.util
import io
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from quorvin_run import EXAMPLE_DATA, SOURCE_DIR, binary, run_quorvin, run_quorvin_with

SKIPPED = 77
LEVELS = ["0.01", "0.001", "0.0001"]


def readme_snippet(language, marker):
    """The one code block of the section in language that holds marker."""
    with open(os.path.join(SOURCE_DIR, "README.md"), encoding="utf-8") as f:
        section = f.read().split("\n## Using the results\n", 1)[1].split("\n## ", 1)[0]
    blocks = [code for lang, code in re.findall(r"```(\w+)\n(.*?)```", section, re.S)
              if lang == language and marker in code]
    if len(blocks) != 1:
        raise AssertionError(f"expected one {language} snippet with {marker!r}, found {len(blocks)}")
    return blocks[0]


_folders = {}


def result_folders():
    """Result folders by name: the bundled example, and a small set with a
    positive and a negative edge, a hyphenated name and a constant variable
    named NA (all its coefficients are NaN). Each also holds edges.tsv, the
    edge table of the same data."""
    if _folders:
        return _folders
    root = tempfile.mkdtemp(prefix="quorvin-recipes-")
    example = os.path.join(root, "mtcars")
    os.mkdir(example)
    shutil.copy(EXAMPLE_DATA, os.path.join(example, "data.txt"))
    run_quorvin(example, 11, 32)

    n = 20
    up = [(7 * k) % n + 1 for k in range(n)]
    down = [(3 * k) % n + 1 for k in range(n)]
    rows = {
        "up-too": [u + (13 * k) % 7 - 3 for k, u in enumerate(up)],
        "up": up,
        "down": down,
        "down_too": [-d + (11 * k) % 5 - 2 for k, d in enumerate(down)],
        "NA": [5] * n,
    }
    signs = os.path.join(root, "signs")
    os.mkdir(signs)
    with open(os.path.join(signs, "data.txt"), "w") as f:
        f.write("variable " + " ".join(f"o{k}" for k in range(1, n + 1)) + "\n")
        for name, values in rows.items():
            f.write(name + " " + " ".join(map(str, values)) + "\n")
    run_quorvin(signs, len(rows), n)
    for folder in (example, signs):
        run_quorvin_with(folder, "-q", "--edges", "edges.tsv", "-o", "command-line", "data.txt")
    _folders.update(mtcars=example, signs=signs)
    return _folders


def lines_of(folder, name):
    with open(os.path.join(folder, name), encoding="utf-8", newline="") as f:
        text = f.read()
    assert text == "" or text.endswith("\r\n"), name
    return text.split("\r\n")[:-1]


def network(folder, level):
    """(names, edges) of a .net file, each edge (name1, name2, weight, colour)."""
    lines = lines_of(folder, f"Quorvin_network_{level}.net")
    count = int(lines[0].split()[1])
    names = [re.fullmatch(r'(\d+) "(.*)"', line).group(2) for line in lines[1:count + 1]]
    assert lines[count + 1] == "*Edges"
    edges = []
    for line in lines[count + 2:]:
        i, j, weight, c, colour = line.split(" ")
        assert c == "c", line
        edges.append((names[int(i) - 1], names[int(j) - 1], float(weight), colour))
    return names, edges


def matrix_cells(folder):
    """The matrix file's cells as floats, NaN for -1.#IND, by row name."""
    lines = lines_of(folder, "Quorvin_matrix.xls")
    return {fields[0]: [math.nan if cell == "-1.#IND" else float(cell) for cell in fields[1:-1]]
            for fields in (line.split("\t") for line in lines[3:])}


def edge_table(folder):
    """The edge table's header and rows, each row a list of its fields."""
    with open(os.path.join(folder, "edges.tsv"), encoding="utf-8", newline="") as f:
        text = f.read()
    assert "\r" not in text and text.endswith("\n")
    lines = [line.split("\t") for line in text.split("\n")[:-1]]
    return lines[0], lines[1:]


def edge_lines(edges):
    return sorted(f"{a} {b} {weight!r} {colour}" for a, b, weight, colour in edges)


def run_python(code, folder):
    """Runs a snippet in folder; returns its global names and what it printed."""
    namespace, printed = {}, io.StringIO()
    previous = os.getcwd()
    os.chdir(folder)
    try:
        with contextlib.redirect_stdout(printed):
            exec(compile(code, "README snippet", "exec"), namespace)
    finally:
        os.chdir(previous)
    return namespace, printed.getvalue()


class Recipes(unittest.TestCase):
    def each_network(self):
        """(folder name, folder, level, names, edges) for every .net file."""
        for name, folder in result_folders().items():
            for level in LEVELS:
                yield (name, folder, level, *network(folder, level))

    def test_the_checks_see_both_colours(self):
        colours = {edge[3] for *_, edges in self.each_network() for edge in edges}
        self.assertEqual(colours, {"Red", "Blue"})


class TextRecipes(Recipes):
    def test_sif_lines_are_the_network_edges_as_cytoscape_reads_them(self):
        for name, folder, level, _, edges in self.each_network():
            with self.subTest(folder=name, level=level):
                sif = [line.split() for line in lines_of(folder, f"Quorvin_network_{level}.sif")]
                expected = [[a, "r2pos" if weight > 0 else "r2neg", b] for a, b, weight, _ in edges]
                self.assertEqual(sif, expected)
                self.assertTrue(all((colour == "Red") == (weight > 0) for *_, weight, colour in edges))
        self.assertIn("cyl r2pos disp", lines_of(result_folders()["mtcars"], "Quorvin_network_0.01.sif"))

    def test_matrix_rows_are_as_a_spreadsheet_shows_them(self):
        lines = lines_of(result_folders()["signs"], "Quorvin_matrix.xls")
        self.assertNotIn("\t", lines[0])
        self.assertEqual(lines[1], "")
        self.assertEqual(lines[2], "\tuptoo\tup\tdown\tdown_too\tNA\t")
        self.assertTrue(all(line.endswith("\t") for line in lines[2:]))
        self.assertEqual(lines[-1], "NA\t-1.#IND\t-1.#IND\t-1.#IND\t-1.#IND\t1\t")


class PandasRecipe(Recipes):
    def test_reads_a_symmetric_float_matrix_labelled_by_names(self):
        code = readme_snippet("python", "Quorvin_matrix.xls")
        for name, folder in result_folders().items():
            with self.subTest(folder=name):
                m = run_python(code, folder)[0]["m"]
                names, _ = network(folder, "0.01")
                self.assertEqual(list(m.index), names)
                self.assertEqual(list(m.columns), names)
                self.assertTrue(all(dtype.kind == "f" for dtype in m.dtypes))
                cells = matrix_cells(folder)
                for row in names:
                    for column, value in zip(names, cells[row]):
                        got = m.loc[row, column]
                        if math.isnan(value):
                            self.assertTrue(math.isnan(got), (row, column))
                        else:
                            self.assertEqual(got, value, (row, column))
                            self.assertEqual(got, m.loc[column, row])
                    self.assertEqual(m.loc[row, row], 1.0)
                if name == "signs":
                    self.assertTrue(m.loc["NA"].drop("NA").isna().all())


    def test_edge_table_reads_with_its_columns_and_the_significant_pairs(self):
        import pandas as pd

        for name, folder in result_folders().items():
            with self.subTest(folder=name):
                e = pd.read_csv(os.path.join(folder, "edges.tsv"), sep="\t")
                self.assertEqual(list(e.columns), ["variable_1", "variable_2", "spearman", "combined",
                                                   "order", "control_1", "control_2", "level"])
                self.assertEqual([e[c].dtype.kind for c in ("spearman", "combined", "order")],
                                 ["f", "f", "i"])
                _, edges = network(folder, "0.01")
                with_level = e[e.level.notna()]
                self.assertEqual(list(zip(with_level.variable_1, with_level.variable_2)),
                                 [(a, b) for a, b, *_ in edges])
                # The .net files round to six digits.
                for kept, (*_, weight, _) in zip(with_level.combined, edges):
                    self.assertAlmostEqual(kept, weight, delta=5e-6 * abs(weight))
                self.assertTrue(set(e.level.dropna()) <= {0.01, 0.001, 0.0001})
                self.assertEqual(list(e.order), list(e.control_1.notna() + 0 + e.control_2.notna()))

    def test_edge_recipe_lists_what_the_controls_explain_away_strongest_first(self):
        code = readme_snippet("python", '"edges.tsv"')
        for name, folder in result_folders().items():
            with self.subTest(folder=name):
                namespace, printed = run_python(code, folder)
                gone = namespace["gone"]
                _, rows = edge_table(folder)
                expected = [row for row in rows if row[7] == ""]
                self.assertEqual(sorted(zip(gone.variable_1, gone.variable_2)),
                                 sorted((row[0], row[1]) for row in expected))
                strengths = list(gone.spearman.abs())
                self.assertEqual(strengths, sorted(strengths, reverse=True))
                self.assertTrue(all(gone.control_1 != ""))
        mtcars = run_python(code, result_folders()["mtcars"])[1].splitlines()
        self.assertEqual(mtcars[0].split(), ["variable_1", "variable_2", "spearman", "control_1",
                                             "control_2"])
        self.assertEqual(mtcars[1].split(), ["mpg", "cyl", "-0.910801", "disp", "hp"])


class NetworkxRecipe(Recipes):
    def test_gives_every_variable_and_each_edge_with_weight_and_colour(self):
        import networkx as nx

        code = readme_snippet("python", "import networkx")
        for name, folder in result_folders().items():
            with self.subTest(folder=name):
                namespace, printed = run_python(code, folder)
                G = namespace["G"]
                names, edges = network(folder, "0.01")
                self.assertEqual(list(G.nodes), names)
                self.assertEqual([G.nodes[v]["id"] for v in names], [str(k) for k in range(1, len(names) + 1)])
                self.assertEqual(sorted(printed.splitlines()), edge_lines(edges))
                simple = nx.Graph(G)
                self.assertEqual(simple.number_of_edges(), len(edges))
                for a, b, weight, colour in edges:
                    self.assertEqual(simple.edges[a, b], {"weight": weight, "c": colour})
        self.assertIn("cyl disp 0.463037 Red", run_python(code, result_folders()["mtcars"])[1])

    def test_reads_back_every_name_the_command_line_takes(self):
        """Names with quotes' kin, hashes, percent signs and letters beyond
        ASCII come back from read_pajek as written; a name with a double
        quote, which the .net files cannot hold, is refused."""
        import networkx as nx

        names = ["it's", "a#b", "50%", "über", "x(1)", "tab_and_space"]
        observations = 12
        rows = [[(k * (i + 3)) % 7 + k for k in range(observations)] for i in range(len(names))]
        header = ",".join(["name"] + [f"o{k}" for k in range(observations)])

        def table(row_names):
            lines = [header] + [",".join([f'"{n}"' if '"' not in n else '"' + n.replace('"', '""') + '"']
                                         + [str(v) for v in row]) for n, row in zip(row_names, rows)]
            return "\n".join(lines) + "\n"

        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "t.csv"), "w", encoding="utf-8") as f:
                f.write(table(names))
            run_quorvin_with(folder, "-q", "-o", "out", "t.csv")
            G = nx.read_pajek(os.path.join(folder, "out", "Quorvin_network_0.01.net"))
            self.assertEqual(list(G.nodes), names)

            with open(os.path.join(folder, "q.csv"), "w", encoding="utf-8") as f:
                f.write(table(['quo"te'] + names[1:]))
            done = subprocess.run([binary(), "-q", "-o", "refused", "q.csv"], cwd=folder,
                                  capture_output=True, text=True, timeout=120)
            self.assertEqual(done.returncode, 1)
            self.assertIn("double quote", done.stderr)
            self.assertFalse(os.path.exists(os.path.join(folder, "refused", "Quorvin_matrix.xls")))


class IgraphRecipe(Recipes):
    def test_gives_named_vertices_and_edges_with_weight_and_colour(self):
        code = readme_snippet("python", "import igraph")
        for name, folder in result_folders().items():
            with self.subTest(folder=name):
                namespace, printed = run_python(code, folder)
                g = namespace["g"]
                names, edges = network(folder, "0.01")
                self.assertFalse(g.is_directed())
                self.assertEqual(g.vs["name"], names)
                self.assertEqual(g.vs["id"], names)
                self.assertEqual(sorted(printed.splitlines()), edge_lines(edges))


class RRecipe(Recipes):
    def test_gives_named_vertices_and_edges_with_weight_and_colour(self):
        report = """
cat(sprintf("vertex %s\\n", V(g)$name), sep = "")
cat(sprintf("edge %s %s %.17g %s\\n", as_edgelist(g)[, 1], as_edgelist(g)[, 2],
            E(g)$weight, E(g)$color), sep = "")
cat("directed", is_directed(g), "\\n")
"""
        code = readme_snippet("r", "library(igraph)") + report
        for name, folder in result_folders().items():
            with self.subTest(folder=name):
                done = subprocess.run(["Rscript", "-e", code], cwd=folder, capture_output=True,
                                      text=True, timeout=120)
                self.assertEqual(done.returncode, 0, done.stderr)
                lines = done.stdout.splitlines()
                names, edges = network(folder, "0.01")
                self.assertEqual([line[7:] for line in lines if line.startswith("vertex ")], names)
                got = sorted(tuple(line.split()[1:]) for line in lines if line.startswith("edge "))
                self.assertEqual([(a, b, float(w), c) for a, b, w, c in got],
                                 sorted((a, b, weight, colour) for a, b, weight, colour in edges))
                self.assertIn("directed FALSE", done.stdout)


def r_missing():
    if not shutil.which("Rscript"):
        return "Rscript is not installed (Debian: r-cran-igraph)"
    loads = subprocess.run(["Rscript", "-e", "library(igraph)"], capture_output=True, timeout=120)
    return None if loads.returncode == 0 else "R's igraph is not installed (Debian: r-cran-igraph)"


def module_missing(module):
    if importlib.util.find_spec(module) is None:
        return (f"Python module {module} is not installed for {sys.executable} "
                f"(Debian: python3-{module})")
    return None


GROUPS = {
    "text": (TextRecipes, lambda: None),
    "pandas": (PandasRecipe, lambda: module_missing("pandas")),
    "networkx": (NetworkxRecipe, lambda: module_missing("networkx")),
    "igraph": (IgraphRecipe, lambda: module_missing("igraph")),
    "r": (RRecipe, r_missing),
}


def main(argv):
    if len(argv) != 1 or argv[0] not in GROUPS:
        print(f"usage: test_recipes.py {{{','.join(GROUPS)}}}", file=sys.stderr)
        return 2
    case, missing = GROUPS[argv[0]]
    if not binary():
        print(f"SKIP: the {argv[0]} recipe: QUORVIN_BINARY is not set: run through ctest")
        return SKIPPED
    # A recipe left out for a missing module would never run: make deps
    # installs them.
    reason = missing()
    if reason:
        print(f"FAIL: the {argv[0]} recipe: {reason}; make deps installs it")
        return 1
    try:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(case)
        return 0 if unittest.TextTestRunner(verbosity=2).run(suite).wasSuccessful() else 1
    finally:
        if _folders:
            shutil.rmtree(os.path.dirname(_folders["mtcars"]))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
