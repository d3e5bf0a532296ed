#!/usr/bin/env python3
"""Runs velmora with --csv on a pedigree and reads the tidy table back with
Python's csv module: every row must be the classic table's row of the same
pair and period, within the table's printed rounding, the counts those of
the log, and the figures consistent with the relationships they come from.

    tidy_table_readback.py VELMORA PEDIGREE [PEDIGREE ...]
"""
import csv
import os
import re
import subprocess
import sys
import tempfile

COLUMNS = ["period", "population_1", "population_2", "n_1", "n_2", "relationship_within_1",
           "relationship_within_2", "relationship_between", "drift_variance", "max_drift_variance",
           "differentiation_index", "nei_distance"]


def classic_rows(table):
    """(pair label, period column, drift, max, index) in the order of the table."""
    rows, label = [], None
    for line in table.splitlines():
        m = re.match(r"\s*Pair of populations :(.*)$", line)
        if m:
            label = m.group(1)
            continue
        parts = line.split("|")
        if label is not None and len(parts) == 5 and re.match(r"\s*-?[\d.]+\s*$", parts[1]):
            rows.append((label, parts[0], float(parts[1]), float(parts[2]), float(parts[3])))
    return rows


def counts_from_log(log):
    """{(period, population): animals} from the log's count lines."""
    counts, pending = {}, []
    for line in log.splitlines():
        m = re.match(r"\s*Number of individuals in population (.*) in this period is\s+(\d+)$", line)
        if m:
            pending.append((m.group(1), int(m.group(2))))
            continue
        m = re.match(r"\s*Period: (.*)$", line)
        if m:
            for pop, n in pending:
                counts[(m.group(1), pop)] = n
            pending = []
    return counts


def check(velmora, pedigree, work):
    out, log, table = (os.path.join(work, n) for n in ("r.out", "r.log", "r.csv"))
    for name in (out, log, table):
        if os.path.exists(name):
            os.remove(name)
    run = subprocess.run([velmora, "--pedigree", pedigree, "--output", out, "--log", log, "--csv", table, "--quiet"],
                         stdout=subprocess.PIPE, text=True, errors="replace")
    # 0: finished; 1: a stop of the program's own (a loop of descent).
    if run.returncode not in (0, 1):
        raise subprocess.CalledProcessError(run.returncode, run.args)
    if not run.stdout.endswith("Finished.\n"):
        # A run that stops (a loop of descent) writes no table at all.
        ok = not os.path.exists(table)
        print("tidy table of %s: the run stopped, %s" % (os.path.basename(pedigree),
                                                          "no table written" if ok else "FAILED: a table was written"))
        return ok
    classic = classic_rows(open(out, encoding="utf-8", errors="surrogateescape").read())
    counts = counts_from_log(open(log, encoding="utf-8", errors="surrogateescape").read())
    with open(table, newline="", encoding="utf-8", errors="surrogateescape") as f:
        rows = list(csv.reader(f))
    problems = []
    if rows[0] != COLUMNS:
        problems.append("header %r" % rows[0])
    rows = rows[1:]
    if len(rows) != len(classic):
        problems.append("%d rows against %d in the classic table" % (len(rows), len(classic)))
    for k, (row, (label, period, drift, maximum, index)) in enumerate(zip(rows, classic)):
        where = "row %d (%s, %s)" % (k + 2, row[1] + " & " + row[2], row[0])
        if len(row) != len(COLUMNS):
            problems.append("%s: %d fields" % (where, len(row)))
            continue
        # The classic table cuts names; the tidy table keeps them whole.
        if (row[1] + " & " + row[2])[:25].ljust(25) != label or row[0][:15].ljust(15) != period:
            problems.append("%s: the classic row is %r, %r" % (where, label, period))
        n1, n2 = int(row[3]), int(row[4])
        if counts.get((row[0], row[1])) != n1 or counts.get((row[0], row[2])) != n2:
            problems.append("%s: counts %d, %d against the log" % (where, n1, n2))
        figures = row[5:]
        if n1 == 0 or n2 == 0:
            expected_empty = [n1 == 0, n2 == 0, True, True, True, True, True]
            if [f == "" for f in figures] != expected_empty or (drift, maximum, index) != (0, 0, 0):
                problems.append("%s: a pair without animals gives %r" % (where, figures))
            continue
        w1, w2, b, d, m, i, nei = (float(f) for f in figures)
        for name, value, printed, half in (("drift", d, drift, 5e-7), ("maximum", m, maximum, 5e-7),
                                           ("index", i, index, 5e-3)):
            if abs(value - printed) > half * (1 + 1e-9):
                problems.append("%s: %s %r printed as %r" % (where, name, value, printed))
        if abs(d - (w1 + w2 - 2 * b)) > 1e-12 or abs(m - (w1 + w2)) > 1e-12 or abs(nei - d / 4) > 1e-12:
            problems.append("%s: figures do not follow from the relationships" % where)
    print("tidy table of %s: %d rows, %s" % (os.path.basename(pedigree), len(rows), "FAILED" if problems else "ok"))
    for p in problems[:20]:
        print("  " + p)
    return not problems


def main():
    velmora, pedigrees = sys.argv[1], sys.argv[2:]
    with tempfile.TemporaryDirectory() as work:
        ok = all([check(velmora, p, work) for p in pedigrees])
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
