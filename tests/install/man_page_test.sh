#!/bin/sh
# The manual page renders without groff warnings and covers the usual
# sections, every result file, and the environment variable that matters.
# Skipped (77) without groff. Usage: man_page_test.sh MAN_PAGE
set -eu
page=$1
command -v groff > /dev/null || { echo "SKIP: groff is not installed"; exit 77; }

warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
test -z "$warnings" || { echo "FAIL: groff warns:"; echo "$warnings"; exit 1; }

# Plain text on long lines, so that no name is broken across two.
text=$(groff -man -Tascii -P-cbou -rLL=200n "$page")
for word in NAME SYNOPSIS DESCRIPTION FILES ENVIRONMENT 'EXIT STATUS' EXAMPLES \
            data.txt Quorvin_matrix.xls Quorvin_network_0.01.sif Quorvin_network_0.001.sif \
            Quorvin_network_0.0001.sif Quorvin_network_0.01.net Quorvin_network_0.001.net \
            Quorvin_network_0.0001.net OMP_NUM_THREADS "printf '11\\n32\\n' | quorvin" \
            'quorvin [OPTION]... TABLE' --output --threads --quiet --variables-in-columns \
            --drop-missing --no-labels --edges=FILE control_1 'quorvin -o out examples/mtcars/data.txt'; do
  printf '%s\n' "$text" | grep -qF -- "$word" || { echo "FAIL: the page lacks $word"; exit 1; }
done
echo "PASS: the manual page renders cleanly and covers every result file"
