"""Every Python example in README.md runs, as written, against the installed package."""

import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"


def _examples():
    text = README.read_text(encoding="utf-8")
    blocks = []
    for match in re.finditer(r"^```python\n(.*?)^```", text, re.S | re.M):
        line = text.count("\n", 0, match.start()) + 2
        heading = re.findall(r"^## (.+)$", text[:match.start()], re.M)
        blocks.append(pytest.param(match.group(1), line, id=heading[-1].strip("`") if heading else f"line{line}"))
    return blocks


EXAMPLES = _examples()


def test_readme_has_an_example_per_module():
    modules = re.findall(r"^\| `(quarvel\.[\w.]+)` \|", README.read_text(encoding="utf-8"), re.M)
    assert len(modules) == 9
    assert sorted(p.id for p in EXAMPLES) == sorted(modules)


@pytest.mark.parametrize("code, line", EXAMPLES)
def test_readme_example_runs(code, line):
    # Compiled as if it stood at its own line of README.md, so a failure points there, and run as a
    # script's main module would be (the process-pool example guards its pool as scripts must).
    exec(compile("\n" * (line - 1) + code, str(README), "exec"), {"__name__": "__main__"})
