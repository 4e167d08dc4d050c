"""The fixed corpus of tests/golden.py gives the committed digests: the same inputs on this NumPy
and CPU, the same result bits from the module, and the same from the slow references."""

import pytest

import vantorix_core as vc

import golden
import reference

COMMITTED = golden.committed()


def test_inputs_are_the_committed_ones():
    calls = golden.corpus()
    assert golden.call_counts(calls) == COMMITTED["calls"]
    assert golden.input_digest(calls) == COMMITTED["inputs"], (
        "this NumPy or CPU builds other input bytes: every result digest would differ"
    )


# The references take about a second here and fifteen under an emulator: configurations that
# only change how the module is built may leave them out with -m "not golden_reference".
@pytest.mark.parametrize(
    "source",
    [vc, pytest.param(reference, marks=pytest.mark.golden_reference)],
    ids=["module", "reference"],
)
@pytest.mark.parametrize("name", golden.FUNCTIONS)
def test_results_are_the_committed_ones(source, name):
    calls = golden.corpus()
    digest = golden.result_digest(calls, name, getattr(source, name))
    if digest != COMMITTED["results"][name]:
        pytest.fail(
            f"{name}: the {source.__name__} gives results digest {digest}, not the committed "
            f"{COMMITTED['results'][name]}; {golden.first_difference(calls, name, vc, reference)}"
        )
