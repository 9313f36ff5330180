# Sourced by the tests here. run_example PROGRAM FOLDER: runs PROGRAM in a new
# FOLDER on the bundled example ($example) with the two answers piped in, and
# checks that it ended well and wrote the seven result files.
run_example() {
  mkdir "$2"
  cp "$example" "$2/data.txt"
  if ! (cd "$2" && printf '11\n32\n' | OMP_NUM_THREADS=1 "$1" > console.txt); then
    echo "FAIL: $1 exited with an error"; return 1
  fi
  grep -q '^End time: ' "$2/console.txt" || { echo "FAIL: $1 printed no end line"; return 1; }
  for name in $results; do
    test -f "$2/$name" || { echo "FAIL: $1 wrote no $name"; return 1; }
  done
}

results="Quorvin_matrix.xls Quorvin_network_0.01.sif Quorvin_network_0.001.sif
Quorvin_network_0.0001.sif Quorvin_network_0.01.net Quorvin_network_0.001.net
Quorvin_network_0.0001.net"
