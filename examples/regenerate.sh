#!/bin/sh
# Recreates the bundled example pedigree example.ped with the pedigree simulator pedsim:
# 3000 records, 4 populations born 1995..2024, period code = first year of each 5-year
# block (6 periods: 1995, 2000, ..., 2020), fields separated by blanks.
#
# Usage: examples/regenerate.sh [PEDSIM] [OUTPUT]
#   PEDSIM  the simulator (default: ../build/bench/pedsim relative to this folder)
#   OUTPUT  the file to write (default: example.ped in this folder)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pedsim=${1:-$here/../build/bench/pedsim}
output=${2:-$here/example.ped}
if [ ! -x "$pedsim" ]; then
  echo "regenerate.sh: no simulator at $pedsim; build it with: cmake --build build --target pedsim" >&2
  exit 1
fi
"$pedsim" --records 3000 --seed 2024 --populations 4 \
  --first-year 1995 --last-year 2024 --period-years 5 > "$output"
