"""The README's "From Python" snippets, run as a user would run them."""

import contextlib
import filecmp
import io
import os
import pathlib
import subprocess

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
BINARY = os.environ.get("QUORVIN_BINARY", str(SOURCE_DIR / "build" / "quorvin"))


def python_blocks():
    text = (SOURCE_DIR / "README.md").read_text(encoding="utf-8")
    section = text.split("\n## From Python\n", 1)[1].split("\n## ", 1)[0]
    return [block.split("\n", 1)[1] for block in section.split("```python")[1:]
            for block in [block.split("```", 1)[0]]]


def test_example_and_plot_run_and_write_the_programs_files(tmp_path, monkeypatch):
    (tmp_path / "examples").symlink_to(SOURCE_DIR / "examples")
    monkeypatch.chdir(tmp_path)
    example, plot = python_blocks()
    names = {}
    shown = io.StringIO()
    with contextlib.redirect_stdout(shown):
        exec(example, names)
        exec(plot, names)
    assert "variable_1" in shown.getvalue()
    assert (tmp_path / "spearman_combined.png").stat().st_size > 0

    subprocess.run([BINARY, "-q", "-o", "program", "--edges", "program/edges.tsv",
                    "examples/mtcars/data.txt"], check=True, stdout=subprocess.DEVNULL)
    written = sorted(os.listdir("program"))
    assert sorted(os.listdir("out")) == written and len(written) == 8
    for name in written:
        assert filecmp.cmp(f"out/{name}", f"program/{name}", shallow=False), name
