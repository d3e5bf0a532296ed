import math
import os
import signal
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import velmora

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLE = os.path.join(ROOT, "examples", "example.ped")

# Two unrelated founder pairs in two populations; full sibs in period 02;
# in period 03 only P1 has animals: two offspring of full sibs (F = 1/4) and
# one of unrelated parents.
SMALL = {
    "animal": ["A", "B", "C", "D", "E", "F", "G", "H", "I", "J", "K"],
    "sire": ["0", "0", "0", "0", "A", "A", "C", "C", "E", "E", "E"],
    "dam": ["0", "0", "0", "0", "B", "B", "D", "D", "F", "F", "H"],
    "pop": ["P1", "P1", "P2", "P2", "P1", "P1", "P2", "P2", "P1", "P1", "P1"],
    "period": ["01", "01", "01", "01", "02", "02", "02", "02", "03", "03", "03"],
}


def example_frame():
    return pd.read_csv(EXAMPLE, sep=" ", header=None, dtype=str)


def test_small_pedigree_figures():
    r = velmora.analyse(SMALL, threads=1)
    p = r.pairs
    assert list(p.columns) == [
        "period", "population_1", "population_2", "n_1", "n_2", "relationship_within_1",
        "relationship_within_2", "relationship_between", "drift_variance", "max_drift_variance",
        "differentiation_index", "nei_distance"]
    assert list(p.period) == ["01", "02", "03"]
    assert list(p.population_1) == ["P2"] * 3
    assert list(p.n_1) == [2, 2, 0] and list(p.n_2) == [2, 2, 3]
    # unrelated founders: within 1/2 (each with itself), full sibs 3/4
    assert list(p.relationship_within_1[:2]) == [0.5, 0.75]
    assert list(p.drift_variance[:2]) == [1.0, 1.5]
    assert list(p.differentiation_index[:2]) == [100.0, 100.0]
    assert list(p.nei_distance[:2]) == [0.25, 0.375]  # a quarter of the drift variance
    # P2 has no animals in 03: its figures and the pair's are absent, P1's within is not
    assert p.iloc[2][["relationship_within_1", "relationship_between", "drift_variance"]].isna().all()
    assert not math.isnan(p.relationship_within_2[2])
    s = r.summary
    assert [f"{a} {b}" for a, b in zip(s.period, s.population)] == ["01 P1", "01 P2", "02 P1", "02 P2", "03 P1"]
    assert list(s.n) == [2, 2, 2, 2, 3]
    assert s.mean_inbreeding.iloc[4] == pytest.approx(0.5 / 3)  # I and J at 1/4, K at 0
    a = r.animals
    assert list(a.code) == SMALL["animal"]
    assert a.sire[8] == "E" and a.sire[0] is None
    assert list(a.inbreeding[8:]) == [0.25, 0.25, 0.0]
    assert list(a.generation[[0, 4, 8]]) == [1, 2, 3]
    f = r.fstatistics
    assert list(f.columns) == ["period", "populations", "mean_inbreeding", "f_within", "f_total", "f_is", "f_st",
                               "f_it"]
    assert list(f.populations) == [2, 2, 1]
    assert math.isnan(f.f_st.iloc[2])  # one population in 03
    assert "equivalent_generations" in a.columns


def test_example_matches_the_programs_csv():
    r = velmora.analyse(example_frame(), threads=2)
    first = r.pairs.iloc[0]
    assert (first.period, first.population_1, first.population_2) == ("1995", "POP02", "POP01")
    assert (first.n_1, first.n_2) == (122, 150)
    assert first.drift_variance == pytest.approx(0.04067051, abs=1e-8)
    assert first.differentiation_index == pytest.approx(68.92060, abs=1e-5)
    assert len(r.pairs) == 6 * 6
    # parents without a record come last, as founders without population
    assert len(r.animals) > 3000 and r.animals.population[3000:].isna().all()


@pytest.mark.parametrize("way", ["file", "dict", "named", "categorical", "reordered", "one thread", "path object"])
def test_the_same_pedigree_however_it_comes(way):
    ped = example_frame()
    reference = velmora.analyse(ped, threads=2)
    if way == "file":
        r = velmora.analyse(EXAMPLE, threads=2)
    elif way == "path object":
        import pathlib
        r = velmora.analyse(pathlib.Path(EXAMPLE), threads=2)
    elif way == "dict":
        r = velmora.analyse({k: list(ped[k]) for k in ped.columns}, threads=2)
    elif way == "named":
        named = ped.set_axis(["id", "s", "d", "breed", "year"], axis=1)
        r = velmora.analyse(named, animal="id", sire="s", dam="d", population="breed", period="year", threads=2)
    elif way == "categorical":
        r = velmora.analyse(ped.astype("category"), threads=2)
    elif way == "reordered":
        r = velmora.analyse(ped[[4, 3, 0, 1, 2]], animal=2, sire=3, dam=4, population=1, period=0, threads=2)
    else:
        r = velmora.analyse(ped, threads=1)
    for table in ("pairs", "summary", "animals"):
        pd.testing.assert_frame_equal(getattr(r, table), getattr(reference, table), check_exact=True)


def test_codes_stay_text():
    numbers = pd.DataFrame({
        "animal": np.arange(1, 12) * 1_000_000,
        "sire": [np.nan] * 4 + [1e6, 1e6, 3e6, 3e6, 5e6, 5e6, 5e6],
        "dam": [np.nan] * 4 + [2e6, 2e6, 4e6, 4e6, 6e6, 6e6, 8e6],
        "pop": SMALL["pop"],
        "period": ["0968"] * 4 + ["0969"] * 4 + ["0970"] * 3,
    })
    r = velmora.analyse(numbers, threads=1)
    assert r.animals.code[0] == "1000000" and r.animals.sire[4] == "1000000"
    assert list(r.pairs.period) == ["0968", "0969", "0970"]
    # NaN as a parent is an unknown parent, like "0"
    assert list(r.animals.inbreeding) == list(velmora.analyse(SMALL, threads=1).animals.inbreeding)


def test_without_pandas_the_tables_are_dicts_of_arrays(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    r = velmora.analyse(SMALL, threads=1)
    assert isinstance(r.pairs, dict) and isinstance(r.pairs["drift_variance"], np.ndarray)
    assert r.pairs["drift_variance"].dtype == np.float64
    assert list(r.summary["population"]) == ["P1", "P2", "P1", "P2", "P1"]
    assert np.isnan(r.pairs["drift_variance"][2])


def test_inbreeding_per_record():
    assert list(velmora.inbreeding(SMALL, threads=1)) == [0.0] * 8 + [0.25, 0.25, 0.0]
    # a repeated animal keeps its first record: both of its rows get that F
    repeated = {k: v + [x] for (k, v), x in zip(SMALL.items(), ["I", "G", "H", "P1", "03"])}
    f = velmora.inbreeding(repeated, threads=1)
    assert isinstance(f, np.ndarray) and list(f) == [0.0] * 8 + [0.25, 0.25, 0.0, 0.25]
    assert len(velmora.inbreeding(EXAMPLE, threads=2)) == 3000


def looped():
    ped = {k: list(v) for k, v in SMALL.items()}
    ped["sire"][0] = "I"  # A becomes a grandparent of I
    return ped


def test_a_few_animals_are_a_pedigree():
    r = velmora.analyse({k: v[:5] for k, v in SMALL.items()}, threads=1)
    assert len(r.animals) == 5


@pytest.mark.parametrize("call, error, match", [
    (lambda: velmora.analyse(looped(), threads=1), velmora.Error, "loop"),
    (lambda: velmora.analyse("/nonexistent/no-such.ped"), velmora.Error, "no-such.ped"),
    (lambda: velmora.analyse(SMALL, period=5), IndexError, "5 columns"),
    (lambda: velmora.analyse(SMALL, population="breed"), KeyError, "breed"),
    (lambda: velmora.analyse(SMALL, threads=0), ValueError, "threads"),
    (lambda: velmora.analyse({**SMALL, "period": SMALL["period"][:3]}), ValueError, "different lengths"),
    (lambda: velmora.analyse({**SMALL, "animal": ["A\tB"] + SMALL["animal"][1:]}), velmora.Error, "tab"),
    (lambda: velmora.analyse(42), TypeError, "DataFrame"),
])
def test_errors(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_error_kinds():
    with pytest.raises(velmora.Error) as data:
        velmora.analyse(looped(), threads=1)
    assert data.value.kind == "data" and isinstance(data.value, RuntimeError)
    with pytest.raises(velmora.Error) as file:
        velmora.analyse("/nonexistent/no-such.ped")
    assert file.value.kind == "file"


def test_notes_are_warnings():
    ped = {k: list(v) for k, v in SMALL.items()}
    ped["sire"][:4] = ["NA"] * 4
    with pytest.warns(velmora.DataNote):
        r = velmora.analyse(ped, threads=1)
    assert r.notes
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert velmora.analyse(ped, unknown=["0", "NA"], threads=1).notes == []


def big_pedigree(n):
    """n records of 100,000 animals a year in two populations, parents
    drawn from the year before (sires among its first 1,000 animals)."""
    i = np.arange(n)
    year = i // 100_000
    rng = np.random.default_rng(1)
    sire = np.where(year > 0, (year - 1) * 100_000 + rng.integers(0, 1_000, n), -1)
    dam = np.where(year > 0, (year - 1) * 100_000 + rng.integers(1_000, 100_000, n), -1)
    code = lambda k: np.where(k < 0, "0", k.astype(str)).astype(object)  # noqa: E731
    return {"animal": code(i), "sire": code(sire), "dam": code(dam),
            "pop": np.array(["P1", "P2"], dtype=object)[i % 2],
            "year": np.char.zfill(year.astype(str), 4).astype(object)}


def test_the_gil_is_released_while_computing():
    ped = big_pedigree(200_000)
    ticks = 0
    done = threading.Event()

    def count():
        nonlocal ticks
        while not done.is_set():
            ticks += 1
            time.sleep(0.001)

    counter = threading.Thread(target=count)
    counter.start()
    start = time.perf_counter()
    velmora.inbreeding(ped, threads=1)
    elapsed = time.perf_counter() - start
    done.set()
    counter.join()
    # a held GIL would let the counter run only between the calls
    assert elapsed < 0.05 or ticks > elapsed * 100


def test_ctrl_c_stops_the_computation():
    script = (
        "import sys, time, velmora\n"
        f"sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})\n"
        "from test_velmora import big_pedigree\n"
        "ped = big_pedigree(1_000_000)\n"
        "print('start', flush=True)\n"
        "try:\n"
        "    velmora.analyse(ped)\n"
        "    print('finished', flush=True)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n"
    )
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "start"
    time.sleep(0.3)
    child.send_signal(signal.SIGINT)
    sent = time.perf_counter()
    out, _ = child.communicate(timeout=60)
    assert out.strip() == "interrupted"
    assert time.perf_counter() - sent < 5
