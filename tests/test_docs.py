"""The examples of the README and of every page in docs/: each Python code block with `>>>`
lines runs as a doctest of its own.

Every block starts from empty globals, so a block that uses a name it does not import fails
here even when an earlier block imported it. Outputs must match exactly as Python prints them.
"""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.MULTILINE | re.DOTALL)
# An example of Arrow data says so in a comment just above it: it needs pyarrow, which some
# platforms (Windows under Wine) go without.
NEEDS_PYARROW = "<!-- needs pyarrow -->\n"
LINK = re.compile(r"\]\(([^)#]+\.md)(#[^)]*)?\)")


def doctest_blocks():
    for page in PAGES:
        text = page.read_text(encoding="utf-8")
        name = page.relative_to(ROOT).as_posix()
        for match in BLOCK.finditer(text):
            if ">>>" in match.group(1):
                line = text.count("\n", 0, match.start(1)) + 1
                arrow = text[: match.start()].endswith(NEEDS_PYARROW)
                yield pytest.param(match.group(1), page, line, arrow, id=f"{name}:{line}")


BLOCKS = list(doctest_blocks())


def test_every_page_has_a_reader():
    """Each docs page is linked from the README, and every link between pages resolves."""
    readme = PAGES[0].read_text(encoding="utf-8")
    for page in PAGES[1:]:
        assert f"(docs/{page.name})" in readme, page.name
    for page in PAGES:
        for target, _ in LINK.findall(page.read_text(encoding="utf-8")):
            assert (page.parent / target).is_file(), (page.name, target)


def test_readme_is_short_and_has_examples():
    assert len(PAGES[0].read_text(encoding="utf-8").splitlines()) <= 200
    assert len(BLOCKS) >= 8


@pytest.mark.parametrize("source, page, line, arrow", BLOCKS)
def test_example(source, page, line, arrow):
    if "from profiler" in source:
        pytest.importorskip("pyarrow", reason="the profiler reads its tables with pyarrow")
    if arrow:
        pytest.importorskip("pyarrow", reason="the example hands the module Arrow data")
    test = doctest.DocTestParser().get_doctest(source, {}, page.name, str(page), line - 1)
    report = []
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    result = runner.run(test, out=report.append, clear_globs=True)
    assert result.failed == 0, "".join(report)
