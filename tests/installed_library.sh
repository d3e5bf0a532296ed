#!/usr/bin/env bash
# The library as another project uses it: installed into a fresh prefix,
# the example program built against it with find_package(velmora), and its
# index table compared with the program's own tidy table on the example.
#   installed_library.sh BUILD-DIR PROGRAM WORK-DIR [LINK-FLAGS]
set -euo pipefail
build=$1 program=$2 work=$3 link_flags=${4:-}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
rm -rf "$work"
mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$source_dir/examples/library" -B "$work/example" -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXE_LINKER_FLAGS="$link_flags" >/dev/null
cmake --build "$work/example" >/dev/null
"$work/example/index_table" "$source_dir/examples/example.ped" >"$work/index.tsv"

cd "$work"
"$program" --pedigree "$source_dir/examples/example.ped" --csv tidy.csv --output run.out --log run.log --quiet >/dev/null
# The tidy table's index, rounded as the example prints it, in the same order.
python3 - <<'PY'
import csv
rows = list(csv.DictReader(open("tidy.csv")))
want = ["period\tpair\tindex"]
for r in rows:
    index = r["differentiation_index"]
    want.append("%s\t%s & %s\t%s" % (r["period"], r["population_1"], r["population_2"],
                                      "%.4f" % float(index) if index else ""))
got = open("index.tsv").read().splitlines()
assert got[:-1] == want, "\n".join(l for l in got[:5]) + "\n---\n" + "\n".join(want[:5])
assert got[-1].endswith("records"), got[-1]
print("index table of the installed library: %d rows as in the tidy table; %s" % (len(want) - 1, got[-1]))
PY
