#!/usr/bin/env python3
"""Writes Quorvin's data.txt from a CSV or TSV table with a header row."""

import argparse
import csv
import io
import math
import re
import sys

DESCRIPTION = """\
Writes data.txt, the input of quorvin, from a CSV or TSV table with a header
row, as saved by a spreadsheet, R (write.csv) or pandas (to_csv), and prints
the two counts to type when quorvin asks for them.

The header row holds the labels of the columns; the first column holds the
labels of the rows (its header cell, the corner, may be empty), unless
--no-labels says that every column holds data. --variables tells whether the
variables are the columns (one observation per row, as in an R data frame)
or the rows (one variable per row, as in data.txt).

Every other cell must be a decimal number such as -3, 0.25, 4e-1 or +2. A
table with a missing value (an empty cell, NA, NaN, or any other text that is
not a number) is refused with a message that names its line and column, and
nothing is written; so are rows whose length differs from the header's,
empty or repeated variable names, and files that are not UTF-8 text.

Names and labels are tokens in data.txt, so blanks inside them are replaced
by underscores ("body mass" becomes body_mass). quorvin removes the first
hyphen of each variable name; a name that holds a hyphen is therefore written
with one more in front (-AB-12), so that the results show it as in the table
(AB-12).
"""

# A value as quorvin reads it: sign, digits with an optional point, exponent.
NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?")
MISSING = {"", "na", "n/a", "#n/a", "nan", "null", "none", "?", ".", "-"}
DELIMITERS = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";"}


class TableError(Exception):
    """A table that cannot become data.txt; the message is one line."""


def detect_delimiter(header_line):
    counts = {d: header_line.count(d) for d in "\t,;"}
    best = max(counts, key=counts.get)
    if counts[best] == 0:
        raise TableError("cannot tell the delimiter from the header line: give --delimiter")
    return best


def read_rows(path, delimiter):
    """Returns (line number, cells) for every row that is not blank."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            text = f.read()
    except UnicodeDecodeError:
        raise TableError(f"{path} is not UTF-8 text: save it as UTF-8 (CSV UTF-8 in a spreadsheet)")
    except OSError as e:
        raise TableError(f"cannot read {path}: {e.strerror}")
    if delimiter is None:
        delimiter = detect_delimiter(text.splitlines()[0] if text else "")
    reader = csv.reader(io.StringIO(text), delimiter=delimiter)
    return [(reader.line_num, cells) for cells in reader if any(c.strip() for c in cells)]


def as_token(text):
    return "_".join(text.split())


def check_value(cell, where):
    """Returns the cell's number as written, or refuses it."""
    text = cell.strip()
    if text.lower() in MISSING:
        shown = "an empty cell" if not text else f'"{text}"'
        raise TableError(f"{where}: missing value ({shown}); fill in or remove it first")
    if not NUMBER.fullmatch(text):
        raise TableError(f'{where}: "{text}" is not a number')
    value = float(text)
    mantissa = re.split("[eE]", text)[0]
    if math.isinf(value) or (value == 0 and re.search("[1-9]", mantissa)):
        raise TableError(f'{where}: "{text}" is beyond the range of a double')
    return text


def convert(rows, variables_in_rows, has_labels):
    """Returns (corner, variable names, observation labels, values[variable][observation]).

    Raises TableError for anything that quorvin could not read as meant.
    """
    if len(rows) < 2:
        raise TableError("the table needs a header row and at least one row of data")
    header_line, header = rows[0]
    for line, cells in rows[1:]:
        if len(cells) != len(header):
            raise TableError(f"line {line} has {len(cells)} cells, the header line (line {header_line}) {len(header)}")
    first = 1 if has_labels else 0
    if len(header) <= first:
        raise TableError("the table has no column of data")

    column_labels = header[first:]
    row_labels = [cells[0] if has_labels else str(n) for n, (_, cells) in enumerate(rows[1:], 1)]
    grid = []
    for (line, cells), row_label in zip(rows[1:], row_labels):
        row = []
        for column, (cell, column_label) in enumerate(zip(cells[first:], column_labels), first + 1):
            row.append(check_value(cell, f'line {line} ("{row_label}"), column {column} ("{column_label}")'))
        grid.append(row)

    # Each label with the place of its cell, for messages.
    in_column_1 = [(f"line {line}, column 1", label) for (line, _), label in zip(rows[1:], row_labels)]
    in_header = [(f"line {header_line}, column {c}", label) for c, label in enumerate(column_labels, first + 1)]
    if variables_in_rows:
        names, labels, values = in_column_1, in_header, grid
    else:
        names, labels, values = in_header, in_column_1, [list(column) for column in zip(*grid)]

    name_places = {}
    for where, name in names:
        token = as_token(name)
        if not token:
            raise TableError(f"{where}: empty variable name")
        if token in name_places:
            raise TableError(f'{where}: variable name "{token}" repeats the one at {name_places[token]}')
        name_places[token] = where
    label_tokens = []
    for where, label in labels:
        label_tokens.append(as_token(label))
        if not label_tokens[-1]:
            raise TableError(f"{where}: empty observation label")
    corner = as_token(header[0]) if has_labels else ""
    return corner or "name", list(name_places), label_tokens, values


def data_text(corner, names, labels, values):
    # The extra hyphen in front is the one that quorvin removes.
    lines = ["\t".join([corner] + labels)]
    for name, row in zip(names, values):
        lines.append("\t".join(["-" + name if "-" in name else name] + row))
    return "\n".join(lines) + "\n"


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("table", help="the CSV or TSV file to read")
    parser.add_argument("--variables", required=True, choices=["columns", "rows"],
                        help="whether the variables are the table's columns or its rows")
    parser.add_argument("--delimiter", metavar="D",
                        help="the cell delimiter: a character, or tab, comma or semicolon "
                             "(default: the most frequent of tab, comma and semicolon "
                             "in the header line)")
    parser.add_argument("--no-labels", action="store_true",
                        help="the first column holds data, not row labels; observations are "
                             "numbered from 1 (only with --variables columns)")
    parser.add_argument("-o", "--output", default="data.txt",
                        help="the file to write, replaced if present (default: data.txt)")
    args = parser.parse_args(argv)
    if args.delimiter is not None:
        args.delimiter = DELIMITERS.get(args.delimiter.lower(), args.delimiter)
        if len(args.delimiter) != 1:
            parser.error("--delimiter takes one character, or tab, comma or semicolon")
    if args.no_labels and args.variables == "rows":
        parser.error("variables in rows need their names in the first column: drop --no-labels")
    return args


def main(argv):
    args = parse_arguments(argv)
    prog = "table_to_data.py"
    try:
        rows = read_rows(args.table, args.delimiter)
        corner, names, labels, values = convert(rows, args.variables == "rows", not args.no_labels)
    except TableError as e:
        print(f"{prog}: {args.table}: {e}", file=sys.stderr)
        return 1
    try:
        with open(args.output, "w", encoding="utf-8", newline="\n") as f:
            f.write(data_text(corner, names, labels, values))
    except OSError as e:
        print(f"{prog}: cannot write {args.output}: {e.strerror}", file=sys.stderr)
        return 1

    if args.variables == "columns" and not args.no_labels and rows[0][1][0].strip() and all(
            NUMBER.fullmatch(label.strip()) for label in labels):
        print(f'note: the first column ("{rows[0][1][0].strip()}") was taken as row labels; '
              "if it holds data, give --no-labels")
    v, n = len(names), len(labels)
    print(f"Wrote {args.output}: {v} variables, {n} observations.")
    print(f"In the folder that holds it, run quorvin and answer {v} and {n}:")
    print(f"    printf '{v}\\n{n}\\n' | quorvin")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
