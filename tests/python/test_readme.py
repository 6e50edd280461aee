"""The README's Python examples run as pasted, each on its own."""

import re
from pathlib import Path

import pytest

README = (Path(__file__).resolve().parents[2] / "README.md").read_text()
EXAMPLES = re.findall(r"^```python\n(.*?)^```", README, re.M | re.S)


@pytest.mark.parametrize("number", range(len(EXAMPLES)))
def test_readme_example_runs(number):
    assert len(EXAMPLES) >= 2
    exec(compile(EXAMPLES[number], f"README.md example {number + 1}", "exec"), {})
