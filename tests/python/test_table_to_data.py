"""Tests of scripts/table_to_data.py: layouts, delimiters, refusals, names, and
end-to-end runs of its output through the built program."""

import csv
import os
import subprocess
import sys
import tempfile
import unittest

from quorvin_run import EXAMPLE_DATA, SOURCE_DIR, binary, read_results, run_quorvin

SCRIPT = os.path.join(SOURCE_DIR, "scripts", "table_to_data.py")


class ConverterCase(unittest.TestCase):
    def setUp(self):
        self._dir = tempfile.TemporaryDirectory()
        self.dir = self._dir.name

    def tearDown(self):
        self._dir.cleanup()

    def write(self, name, content, encoding="utf-8"):
        path = os.path.join(self.dir, name)
        with open(path, "w", encoding=encoding, newline="") as f:
            f.write(content)
        return path

    def convert(self, content, *args, name="table.csv", encoding="utf-8"):
        self.write(name, content, encoding)
        return subprocess.run([sys.executable, SCRIPT, name, *args], cwd=self.dir,
                              capture_output=True, text=True, timeout=60)

    def data_txt(self):
        with open(os.path.join(self.dir, "data.txt"), encoding="utf-8", newline="") as f:
            return f.read()


class Layouts(ConverterCase):
    def test_variables_in_columns_become_rows_under_the_observation_labels(self):
        done = self.convert(',A,B\nt1,1,4\nt2,2,-5\nt3,3.5,6e-1\n', "--variables", "columns")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.data_txt(), "name\tt1\tt2\tt3\nA\t1\t2\t3.5\nB\t4\t-5\t6e-1\n")

    def test_variables_in_rows_give_the_same_file_as_their_transpose(self):
        self.convert("probe\tt1\tt2\nA\t1\t2\nB\t3\t4\n", "--variables", "rows", name="rows.tsv")
        by_rows = self.data_txt()
        self.convert("probe,A,B\nt1,1,3\nt2,2,4\n", "--variables", "columns")
        self.assertEqual(self.data_txt(), by_rows)
        self.assertEqual(by_rows, "probe\tt1\tt2\nA\t1\t2\nB\t3\t4\n")

    def test_no_labels_numbers_the_observations(self):
        done = self.convert("A,B\n1,2\n3,4\n", "--variables", "columns", "--no-labels")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.data_txt(), "name\t1\t2\nA\t1\t3\nB\t2\t4\n")

    def test_prints_the_two_counts_to_type(self):
        done = self.convert(",A,B,C\nt1,1,2,3\nt2,4,5,6\n", "--variables", "columns")
        self.assertIn("3 variables, 2 observations", done.stdout)
        self.assertIn("printf '3\\n2\\n' | quorvin", done.stdout)

    def test_numeric_first_column_under_a_header_is_pointed_out(self):
        done = self.convert("id,A\n1,5\n2,6\n", "--variables", "columns")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn('first column ("id") was taken as row labels', done.stdout)
        done = self.convert(",A\n1,5\n2,6\n", "--variables", "columns")
        self.assertNotIn("note:", done.stdout)

    def test_byte_order_mark_crlf_quotes_and_blank_lines_are_read_as_meant(self):
        table = '\ufeff"",A,"B, total"\r\n"t 1",1,2\r\n\r\nt2,3,4\r\n,,\r\n'
        done = self.convert(table, "--variables", "columns")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.data_txt(), "name\tt_1\tt2\nA\t1\t3\nB,_total\t2\t4\n")


class Delimiters(ConverterCase):
    def test_the_most_frequent_delimiter_of_the_header_line_is_used(self):
        for delimiter in "\t,;":
            with self.subTest(delimiter=repr(delimiter)):
                table = "\n".join(delimiter.join(row) for row in
                                  [["", "A", "B"], ["t1", "1", "2"], ["t2", "3", "4"]]) + "\n"
                done = self.convert(table, "--variables", "columns")
                self.assertEqual(done.returncode, 0, done.stderr)
                self.assertEqual(self.data_txt(), "name\tt1\tt2\nA\t1\t3\nB\t2\t4\n")

    def test_a_given_delimiter_overrides_the_guess(self):
        table = "id\tA,x,y,z\tB\nt1\t1\t2\n"
        self.assertEqual(self.convert(table, "--variables", "columns").returncode, 1)
        done = self.convert(table, "--variables", "columns", "--delimiter", "tab")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.data_txt(), "id\tt1\nA,x,y,z\t1\nB\t2\n")


class Refusals(ConverterCase):
    # (table, options, words the one-line message must hold)
    CASES = [
        (",A,B\nt1,1,\nt2,3,4\n", [], ['line 2 ("t1"), column 3 ("B")', "missing value (an empty cell)"]),
        (",A,B\nt1,1,2\nt2,NA,4\n", [], ['line 3 ("t2"), column 2 ("A")', 'missing value ("NA")']),
        (",A,B\nt1,NaN,2\n", [], ["column 2", 'missing value ("NaN")']),
        (",A,B\nt1,high,2\n", [], ["column 2", '"high" is not a number']),
        (";A;B\nt1;1,5;2\n", [], ["column 2", '"1,5" is not a number']),
        (",A,B\nt1,inf,2\n", [], ['"inf" is not a number']),
        (",A,B\nt1,1e999,2\n", [], ['"1e999" is beyond the range']),
        (",A,B\nt1,1e-400,2\n", [], ['"1e-400" is beyond the range']),
        (",A,B\nt1,1,2,3\n", [], ["line 2 has 4 cells, the header line (line 1) 3"]),
        (",A, \nt1,1,2\n", [], ["line 1, column 3: empty variable name"]),
        ("probe,t1\nA,1\n ,2\n", ["--variables", "rows"], ["line 3, column 1: empty variable name"]),
        (",a b,a_b\nt1,1,2\n", [], ['line 1, column 3: variable name "a_b" repeats the one at line 1, column 2']),
        (",A\n,1\n", [], ["line 2, column 1: empty observation label"]),
        (",A,B\n", [], ["needs a header row and at least one row of data"]),
        ("A\nt1\n", [], ["cannot tell the delimiter"]),
        ("t\n1\n", ["--delimiter", ","], ["no column of data"]),
    ]

    def test_each_fault_is_refused_with_one_line_and_no_file(self):
        for table, options, words in self.CASES:
            with self.subTest(table=table):
                done = self.convert(table, "--variables", "columns", *options)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stderr.count("\n"), 1, done.stderr)
                self.assertTrue(done.stderr.startswith("table_to_data.py: table.csv: "), done.stderr)
                for word in words:
                    self.assertIn(word, done.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "data.txt")))

    def test_a_file_that_is_not_utf8_is_refused(self):
        done = self.convert(",caf\u00e9\nt1,1\n", "--variables", "columns", encoding="latin-1")
        self.assertEqual(done.returncode, 1)
        self.assertIn("is not UTF-8 text", done.stderr)

    def test_bad_option_combinations_are_usage_errors(self):
        for options in (["--variables", "rows", "--no-labels"], ["--variables", "columns", "--delimiter", "::"]):
            with self.subTest(options=options):
                done = self.convert(",A\nt1,1\n", *options)
                self.assertEqual(done.returncode, 2)
                self.assertIn("usage:", done.stderr)


class Names(ConverterCase):
    def test_blanks_become_underscores_and_hyphenated_names_get_one_more_hyphen(self):
        done = self.convert(',body mass,AB-12,-x,y\nt 1,1,2,3,4\n', "--variables", "columns")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.data_txt(), "name\tt_1\nbody_mass\t1\n-AB-12\t2\n--x\t3\ny\t4\n")


@unittest.skipUnless(binary(), "QUORVIN_BINARY is not set: run through ctest")
class EndToEnd(ConverterCase):
    def test_the_example_as_an_r_style_csv_gives_the_same_results(self):
        with open(EXAMPLE_DATA) as f:
            rows = [line.split() for line in f if line.strip()]
        # The example transposed as R's write.csv would save it: observations in rows.
        with open(os.path.join(self.dir, "mtcars.csv"), "w", newline="") as f:
            writer = csv.writer(f, quoting=csv.QUOTE_NONNUMERIC)
            writer.writerow([""] + [row[0] for row in rows[1:]])
            for k in range(1, len(rows[0])):
                writer.writerow([rows[0][k]] + [float(row[k]) for row in rows[1:]])
        done = subprocess.run([sys.executable, SCRIPT, "mtcars.csv", "--variables", "columns"],
                              cwd=self.dir, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("11 variables, 32 observations", done.stdout)
        run_quorvin(self.dir, 11, 32)

        reference = os.path.join(self.dir, "reference")
        os.mkdir(reference)
        with open(EXAMPLE_DATA, "rb") as source, open(os.path.join(reference, "data.txt"), "wb") as copy:
            copy.write(source.read())
        run_quorvin(reference, 11, 32)
        self.assertEqual(read_results(self.dir), read_results(reference))

    def test_names_reach_the_results_as_in_the_table(self):
        table = "sample,AB-12,body mass,C\n" + "".join(
            f"s{k},{k},{k * k % 7},{(k * 5) % 11}\n" for k in range(1, 11))
        self.assertEqual(self.convert(table, "--variables", "columns").returncode, 0)
        run_quorvin(self.dir, 3, 10)
        with open(os.path.join(self.dir, "Quorvin_network_0.01.net"), newline="") as f:
            self.assertEqual(f.read().split("\r\n")[1:4], ['1 "AB-12"', '2 "body_mass"', '3 "C"'])


if __name__ == "__main__":
    unittest.main()
