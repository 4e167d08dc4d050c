"""The README's examples, each Python code block with `>>>` lines run as a doctest of its own.

Every block starts from empty globals, so a block that uses a name it does not import fails
here even when an earlier block imported it. Outputs must match exactly as Python prints them.
"""

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)


def doctest_blocks():
    text = README.read_text(encoding="utf-8")
    for match in BLOCK.finditer(text):
        if ">>>" in match.group(1):
            line = text.count("\n", 0, match.start(1)) + 1
            yield pytest.param(match.group(1), line, id=f"README.md:{line}")


BLOCKS = list(doctest_blocks())


def test_readme_has_examples():
    assert len(BLOCKS) >= 5


@pytest.mark.parametrize("source, line", BLOCKS)
def test_readme_example(source, line):
    test = doctest.DocTestParser().get_doctest(source, {}, "README.md", str(README), line - 1)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    result = runner.run(test, out=report.append, clear_globs=True)
    assert result.failed == 0, "".join(report)
