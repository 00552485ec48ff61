"""The benchmark runner: its goal grammar, its JSON results, and failures that must fail the run."""

import json
import subprocess
import sys
import textwrap

import pytest

from quarvel.bench import BenchError, main, parse_goal
from quarvel.bench.runner import Clause, _f

TINY = '''
def register(suite):
    data = list(range(50))
    ns = {"data": data, "py_sum": lambda xs: sum(x for x in xs)}
    suite.row("tiny", "sum(list of 50)", "sum(data)", python="py_sum(data)", floor="len(data)", ns=ns,
              goal="<=1000x floor, >=1x python")
    suite.row("tiny", "max(list of 50)", "max(data)", python="sorted(data)[-1]", ns=ns,
              goal='<=1000 ms, <=100x row "sum(list of 50)"')
    suite.row("tiny", "pop from a refilled list", "stack.pop()", setup="stack = list(data)", number=50, ns=ns)
    if suite.peer("tiny", "quarvel_no_such_package", "rows against a package nobody has") is not None:
        suite.row("tiny", "never", "len(data)", python="len(data)", python_label="nobody", ns=ns)
    if suite.peer("tiny", "quarvel_no_wheel_here", "rows against a package without a wheel here",
                  unavailable="quarvel_no_wheel_here publishes no wheel for this interpreter") is not None:
        suite.row("tiny", "never either", "len(data)", python="len(data)", python_label="nowheel", ns=ns)
'''


def rows(tmp_path, text, name="tiny"):
    d = tmp_path / "rows"
    d.mkdir(exist_ok=True)
    (d / f"{name}.py").write_text(textwrap.dedent(text))
    return d


def test_goal_grammar():
    assert parse_goal("") == []
    assert parse_goal("<=1.5x floor, >=8x python") == [Clause("<=", 1.5, "floor"), Clause(">=", 8.0, "python")]
    assert parse_goal(">=3x python (store included)") == [Clause(">=", 3.0, "python", note="store included")]
    assert parse_goal("<=1.5x  locked floor") == [Clause("<=", 1.5, "locked floor")]
    assert parse_goal("<=500 ns, <5 ms") == [Clause("<=", 500.0, "abs", unit="ns"), Clause("<", 5.0, "abs", unit="ms")]
    assert parse_goal('<=1.3x row "scan (a, b)", >1x struct+fastcrc') == [
        Clause("<=", 1.3, "row", row="scan (a, b)"), Clause(">", 1.0, "struct+fastcrc")]
    for bad in ["ahead of python", "same as 1M buckets", "<=1.5 floor", "1.5x floor", "<=x floor", ">=0x python",
                "<=1.5x floor,", "<=5 minutes", "<=1.5x floor >=2x python", '<=2x row "unterminated']:
        with pytest.raises(BenchError):
            parse_goal(bad)


def test_tiny_run_writes_json_and_compares(tmp_path):
    d = rows(tmp_path, TINY)
    first, second = tmp_path / "first.json", tmp_path / "second.json"
    cmd = [sys.executable, "-m", "quarvel.bench", "--rows", str(d), "--repeat", "2", "--target-ms", "0.5"]
    out = subprocess.run(cmd + ["--json", str(first)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert "package 'quarvel_no_such_package' is not installed" in out.stdout
    # A package that cannot be installed here is reported with its reason, not with the hint to install it.
    assert "rows against a package without a wheel here: quarvel_no_wheel_here publishes no wheel" in out.stdout
    assert "'quarvel_no_wheel_here' is not installed" not in out.stdout
    data = json.loads(first.read_text())
    assert data["format"] == 1 and data["repeat"] == 2 and data["clock"] == "cpu" and data["machine"]["python"]
    assert data["skipped"] == [{"module": "tiny", "rows": "rows against a package nobody has",
                                "missing": "quarvel_no_such_package"},
                               {"module": "tiny", "rows": "rows against a package without a wheel here",
                                "missing": "quarvel_no_wheel_here"}]
    by_name = {r["operation"]: r for r in data["rows"]}
    assert list(by_name) == ["sum(list of 50)", "max(list of 50)", "pop from a refilled list"]
    s = by_name["sum(list of 50)"]
    assert set(s["timings"]) == {"native", "python", "floor"}
    for t in s["timings"].values():
        assert t["rounds"] == 2 and t["number"] >= 1
        assert 0 < t["min"] <= t["q1"] <= t["median"] <= t["q3"] and t["iqr"] == pytest.approx(t["q3"] - t["q1"])
    assert s["ratios"]["speedup"] == pytest.approx(s["timings"]["python"]["median"] / s["timings"]["native"]["median"])
    assert s["ratios"]["vs_old"] is None and isinstance(s["goal_met"], bool)
    pop = by_name["pop from a refilled list"]
    assert set(pop["timings"]) == {"native"} and pop["timings"]["native"]["number"] == 50
    assert pop["goal_met"] is None

    out = subprocess.run(cmd + ["--json", str(second), "--compare", str(first), "--clock", "wall"],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    again = json.loads(second.read_text())
    assert again["clock"] == "wall" and again["compared_with"] == str(first)
    for r in again["rows"]:
        assert r["ratios"]["vs_old"] == pytest.approx(
            r["timings"]["native"]["median"] / by_name[r["operation"]]["timings"]["native"]["median"])


@pytest.mark.parametrize("text, message", [
    ("def register(suite):\n    raise RuntimeError('setup broke')\n", "setup broke"),
    ("import quarvel_no_such_module\n", "quarvel_no_such_module"),
    ("def register(suite):\n    suite.row('m', 'r', 'pass', goal='ahead of python')\n", "ahead of python"),
    ("def register(suite):\n    suite.row('m', 'r', 'pass', goal='<=2x floor')\n", "floor is missing"),
    ("def register(suite):\n    suite.row('m', 'r', 'pass', python='pass', python_label='numpy', goal='>=2x python')\n",
     "reference is 'numpy'"),
    ("def register(suite):\n    suite.row('m', 'r', 'pass', goal='<=2x row \"other\"')\n", "lacks"),
])
def test_broken_row_file_fails_the_run(tmp_path, capsys, text, message):
    d = rows(tmp_path, TINY)
    rows(tmp_path, text, name="broken")
    assert main(["--rows", str(d), "--repeat", "1", "--list"]) == 2
    assert message in capsys.readouterr().err
    assert main(["--rows", str(d), "--only", "tiny", "--list"]) == 0
    assert main(["--rows", str(d), "--only", "tiny,nonesuch", "--list"]) == 2


def test_every_shipped_row_loads_with_a_readable_goal(capsys):
    assert main(["--list"]) == 0, capsys.readouterr().err
    listed = capsys.readouterr().out.splitlines()
    modules = {line.split()[0] for line in listed}
    assert modules >= {"block_index", "bucket_pool", "compile_gate", "counter_fold", "device_fit",
                       "hardware_probe", "pool_planner", "sync_kernel", "task_profiler"}


@pytest.mark.parametrize("where, message", [("no-such-dir/out.json", "does not exist"), (".", "is a directory")])
def test_json_destination_is_checked_before_anything_is_timed(tmp_path, capsys, monkeypatch, where, message):
    monkeypatch.chdir(tmp_path)
    d = rows(tmp_path, TINY)
    monkeypatch.setattr("quarvel.bench.runner.Suite.time_row", lambda *a: pytest.fail("timed before the check"))
    assert main(["--rows", str(d), "--json", where]) == 2
    assert message in capsys.readouterr().err
    assert sorted(p.name for p in tmp_path.iterdir()) == ["rows"]


LONG = '''
def register(suite):
    ns = {"data": list(range(50))}
    suite.row("tiny", "LockFreeStatistics.py_record_allocation_with_a_long_name(64, 8, True) over several "
              "words that cannot share one line", "len(data)", floor="len(data)", floor_label="locked floor",
              ns=ns, goal="<=1 ns (no call is that fast)")
    suite.row("tiny", "interrupted here", "raise KeyboardInterrupt", ns=ns)
    suite.row("tiny", "never reached", "len(data)", ns=ns)
'''


def test_table_fits_explains_itself_and_stops_cleanly(tmp_path):
    import io

    d = rows(tmp_path, LONG)
    out, result = io.StringIO(), tmp_path / "r.json"
    # Ctrl-C during the second row: the first is reported, printed and written; exit 130.
    assert main(["--rows", str(d), "--quick", "--fail-on-short", "--json", str(result)], out=out) == 130
    text = out.getvalue()
    assert max(len(line) for line in text.splitlines()) <= 120, text
    words = " ".join(text.split())
    for word in ["LockFreeStatistics.", "py_record_allocation_with_a_long_name(64,", "[locked floor]", "SHORT",
                 "vs floor = native / floor", "interrupted: 1 of 3 rows measured", "<=1 ns (no call is that fast)"]:
        assert word in words, word
    data = json.loads(result.read_text())
    assert data["interrupted"] is True and [r["goal_met"] for r in data["rows"]] == [False]
    assert data["package"]["version"] and data["interpreter"]["version"] == sys.version
    assert data["machine"]["arch"] and data["started"] <= data["finished"]
    # Without the interruption, a short goal fails the run only when asked to.
    (d / "tiny.py").write_text(textwrap.dedent(LONG).replace("raise KeyboardInterrupt", "len(data)"))
    assert main(["--rows", str(d), "--quick"], out=io.StringIO()) == 0
    assert main(["--rows", str(d), "--quick", "--fail-on-short"], out=io.StringIO()) == 1
    # Slow rows keep their columns: fewer digits rather than a wider cell.
    assert [_f(v, 6) for v in (12.25, 338814.0, 33881400.0)] == ["  12.2", "338814", "33881k"]
