"""The module as the interpreter and a Python caller see it."""

import os
import platform
import shutil
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest

import vantorix_core as vc

INT32_ARRAY = "typing.Annotated[numpy.typing.ArrayLike, numpy.int32]"
FLOAT64_ARRAY = "typing.Annotated[numpy.typing.ArrayLike, numpy.float64]"
INT = "typing.SupportsInt | typing.SupportsIndex"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"
FLAGS = "numpy.typing.NDArray[numpy.int32]"

# Registration order, signature line, and one valid set of arguments.
FUNCTIONS = {
    "calculate_cramers_v": (
        f"calculate_cramers_v(arg0: {INT32_ARRAY}, arg1: {INT32_ARRAY}, arg2: {INT}, arg3: {INT})"
        " -> float",
        ([0, 1], [1, 0], 2, 2),
    ),
    "calculate_summary_stats": (
        f"calculate_summary_stats(arg0: {FLOAT64_ARRAY}) -> dict",
        ([[1.0, 2.0], [3.0, 4.0]],),
    ),
    "detect_continuous_outliers": (
        f"detect_continuous_outliers(arg0: {FLOAT64_ARRAY}, arg1: {FLOAT}) -> {FLAGS}",
        ([1.0, 2.0, 3.0, 100.0], 1.0),
    ),
    "detect_categorical_outliers": (
        f"detect_categorical_outliers(arg0: {INT32_ARRAY}, arg1: {INT}, arg2: {FLOAT}) -> {FLAGS}",
        ([0, 0, 1], 2, 0.5),
    ),
}


def test_public_names_are_the_functions_in_registration_order():
    assert [name for name in vars(vc) if not name.startswith("_")] == list(FUNCTIONS)
    assert vc.__doc__ is None


@pytest.mark.parametrize("name", FUNCTIONS)
def test_signature_line(name):
    function = getattr(vc, name)
    assert function.__doc__ == FUNCTIONS[name][0] + "\n"
    assert function.__name__ == name
    assert function.__module__ == "vantorix_core"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_positional_arguments_only_and_exact_arity(name):
    function = getattr(vc, name)
    args = FUNCTIONS[name][1]
    function(*args)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*args[:-1])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*args, args[-1])
    with pytest.raises(TypeError, match="incompatible function arguments"):
        function(*args[:-1], **{f"arg{len(args) - 1}": args[-1]})


class Floaty:
    def __float__(self):
        return 1.0


class Indexy:
    def __init__(self, value=1):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "threshold", [1, 1.0, True, np.float32(1.0), np.int64(1), Floaty(), Indexy()]
)
def test_float_parameter_accepts_numbers(threshold):
    out = vc.detect_continuous_outliers([1, 2, 3, 100], threshold)
    np.testing.assert_array_equal(out, [0, 0, 0, 1])


@pytest.mark.parametrize("threshold", ["1", None, b"1", object(), 10**400, [1.0]])
def test_float_parameter_refuses_non_numbers(threshold):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        vc.detect_continuous_outliers([1.0, 2.0], threshold)


@pytest.mark.parametrize(
    "count", [3, True, np.int64(3), np.uint8(3), Indexy(3), -(2**31), 2**31 - 1]
)
def test_integer_parameter_accepts_integers(count):
    out = vc.detect_categorical_outliers([], count, 0.0)
    assert out.dtype == np.int32 and out.shape == (0,)


@pytest.mark.parametrize(
    "count", [3.0, np.float64(3.0), 2**31, -(2**31) - 1, "3", None, Floaty(), [3]]
)
def test_integer_parameter_refuses_floats_and_out_of_range_values(count):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        vc.detect_categorical_outliers([0, 1, 2], count, 0.0)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        vc.calculate_cramers_v([0, 1], [0, 1], 2, count)


@pytest.mark.parametrize("data", ["abc", object(), {"a": 1}, [[1.0], [2.0, 3.0]]])
def test_array_parameter_refuses_what_numpy_cannot_convert(data):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        vc.detect_continuous_outliers(data, 1.0)


@pytest.mark.parametrize(
    "data",
    [
        [1, 2, 3, 100],
        (1, 2, 3, 100),
        np.array([1, 2, 3, 100], dtype=np.int8),
        np.array([1, 2, 3, 100], dtype=np.uint64),
        np.array([1, 2, 3, 100], dtype=np.float32),
        np.array([1, 2, 3, 100], dtype=">f8"),
        np.ma.masked_array([1.0, 2.0, 3.0, 100.0], mask=[0, 1, 0, 0]),
        np.array([1, 2, 3, 100], dtype=np.float64).view(np.matrix)[0].A1.view(np.recarray),
    ],
    ids=["list", "tuple", "int8", "uint64", "float32", "big-endian", "masked", "subclass"],
)
def test_array_parameter_casts_to_float64(data):
    np.testing.assert_array_equal(vc.detect_continuous_outliers(data, 1), [0, 0, 0, 1])


@pytest.mark.parametrize(
    "data", [5.0, np.float64(5.0), None, np.zeros((2, 2)), np.zeros((1, 1, 1))]
)
def test_non_vectors_are_refused_with_the_kernel_message(data):
    with pytest.raises(RuntimeError, match=r"^Input data vector must be one-dimensional\.$"):
        vc.detect_continuous_outliers(data, 1.0)


def test_flag_array_is_a_new_contiguous_owning_int32_vector():
    data = np.arange(10.0)
    out = vc.detect_continuous_outliers(data, 1.0)
    assert type(out) is np.ndarray
    assert out.dtype == np.int32 and out.shape == (10,)
    assert out.flags.c_contiguous and out.flags.writeable and out.flags.owndata
    assert not np.shares_memory(out, data)


@pytest.mark.parametrize("make", [np.ascontiguousarray, lambda a: a[::-1], lambda a: a[::3]])
def test_float64_input_is_not_copied(make):
    data = make(np.random.default_rng(0).normal(size=3_000_000))
    tracemalloc.start()
    try:
        vc.detect_continuous_outliers(data, 2.0)
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # The flags (4 bytes per element) are the only allocation; a copy would add 8 per element.
    assert peak < 4 * data.size + 1_000_000


def test_reimport_returns_the_same_module_object():
    first = sys.modules.pop("vantorix_core")
    try:
        import vantorix_core as again

        assert again is first
        assert again.detect_continuous_outliers is first.detect_continuous_outliers
    finally:
        sys.modules["vantorix_core"] = first


def run_python(code, *args, python=sys.executable, cwd=None, timeout=120):
    return subprocess.run(
        [python, "-c", textwrap.dedent(code), *args],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=timeout,
    )


# pybind11 loads NumPy's API inside std::call_once. With MinGW GCC's libstdc++ that rests on
# winpthreads' pthread_once, which leaves its lock held when the function throws: after a
# failed NumPy import the next call waits forever instead of trying again. (The released
# Windows builds use zig's libc++, whose call_once lets a later call try again.) pybind11 names
# the platform and standard library in the type of its function records.
MINGW_LIBSTDCXX = "_mingw_libstdcpp_" in type(vc.calculate_cramers_v.__self__).__name__


@pytest.mark.xfail(
    MINGW_LIBSTDCXX,
    reason="MinGW's std::call_once never returns once its function has thrown",
    raises=subprocess.TimeoutExpired,
    strict=True,
)
def test_import_does_not_need_numpy_until_the_first_call():
    proc = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import vantorix_core
        try:
            vantorix_core.detect_continuous_outliers([1.0, 2.0], 1.0)
        except ModuleNotFoundError:
            print("refused")
        del sys.modules["numpy"]
        print(vantorix_core.detect_continuous_outliers([1.0, 2.0, 3.0, 100.0], 1.0).tolist())
        """,
        timeout=30,  # a hang of the retried NumPy import fails the test
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split("\n")[:2] == ["refused", "[0, 0, 0, 1]"]


# An editable install that rebuilds on import starts the build in a subprocess, which isolated
# sub-interpreters refuse.
REBUILT_ON_IMPORT = any(type(f).__name__ == "ScikitBuildRedirectingFinder" for f in sys.meta_path)


@pytest.mark.skipif(REBUILT_ON_IMPORT, reason="the editable install's import runs a subprocess")
@pytest.mark.parametrize("kind", ["isolated", "legacy"])
@pytest.mark.parametrize("main", ["fresh", "imported", "called"])
def test_sub_interpreters_are_refused_at_once(kind, main):
    # Isolated sub-interpreters have their own lock, legacy ones share the main interpreter's.
    # Once a legacy one had loaded NumPy through the module and was destroyed, the main
    # interpreter's next call failed to load NumPy. Before the refusal, the import waited
    # forever on 3.11: the timeout turns that into a failure.
    proc = run_python(
        """
        import sys

        def call():
            import vantorix_core

            return vantorix_core.detect_continuous_outliers([1.0, 2.0, 3.0, 100.0], 1.0).tolist()

        kind, main = sys.argv[1:]
        if main != "fresh":
            import vantorix_core
        if main == "called":
            assert call() == [0, 0, 0, 1]
        code = "import vantorix_core; vantorix_core.detect_continuous_outliers([1.0], 1.0)"
        try:
            import _interpreters  # 3.13 and later

            interp = _interpreters.create(kind)
            failure = _interpreters.exec(interp, code)
            print(f"{failure.type.__name__}: {failure.msg}" if failure else "imported")
            _interpreters.destroy(interp)
        except ImportError:
            import _xxsubinterpreters

            interp = _xxsubinterpreters.create(isolated=kind == "isolated")
            try:
                _xxsubinterpreters.run_string(interp, code)
                print("imported")
            except _xxsubinterpreters.RunFailedError as e:
                print(str(e).replace("<class 'ImportError'>", "ImportError"))
            _xxsubinterpreters.destroy(interp)
        print(call())
        """,
        kind,
        main,
        timeout=60,
    )
    assert proc.stdout.splitlines() == [
        "ImportError: module vantorix_core does not support loading in subinterpreters",
        "[0, 0, 0, 1]",
    ], proc.stderr


def pyenv_interpreter(minor):
    """The newest pyenv-installed CPython 3.`minor`, if there is one."""
    root = os.environ.get("PYENV_ROOT")
    if not root and shutil.which("pyenv"):
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    versions = os.path.join(root or os.path.expanduser("~/.pyenv"), "versions")
    found = []
    for version in os.listdir(versions) if os.path.isdir(versions) else []:
        python = os.path.join(versions, version, "bin", "python3")
        parts = version.split(".")
        if parts[:2] == ["3", str(minor)] and parts[2:3] and parts[2].isdigit():
            if os.access(python, os.X_OK):
                found.append((int(parts[2]), python))
    return max(found)[1] if found else None


# How an interpreter of another minor version refuses a module built for this one: by the
# module's version gate, or before the gate can run, by the dynamic loader on a symbol that
# the interpreter does not export. Pairs not listed may refuse either way; both are refusals.
REFUSED_BY = {
    ((3, 11), (3, 10)): "loader",  # PyObject_Vectorcall is not exported before 3.11
    ((3, 11), (3, 12)): "gate",
    ((3, 11), (3, 13)): "loader",  # _PyThreadState_UncheckedGet is gone from 3.13
    ((3, 12), (3, 11)): "gate",
    ((3, 12), (3, 13)): "loader",
    ((3, 13), (3, 12)): "loader",  # PyThreadState_GetUnchecked is new in 3.13
}


@pytest.mark.parametrize("offset", [-1, 1, 2])
def test_other_interpreter_versions_are_refused_at_import(tmp_path, offset):
    minor = sys.version_info.minor + offset
    python = pyenv_interpreter(minor)
    if python is None:
        pytest.skip(f"no CPython 3.{minor} is installed under pyenv")
    shutil.copy(vc.__file__, tmp_path / "vantorix_core.so")
    proc = run_python(
        """
        import platform, sys
        print(repr(platform.machine()))
        try:
            import vantorix_core
            print(repr(None))
        except ImportError as e:
            print(repr(str(e)))
        print(repr(sys.version))
        """,
        python=python,
        cwd=tmp_path,
    )
    machine, message, version = (eval(line) for line in proc.stdout.splitlines())
    if machine != platform.machine():
        pytest.skip(f"CPython 3.{minor} under pyenv runs on {machine}, this module on another CPU")
    built = f"{sys.version_info.major}.{sys.version_info.minor}"
    gate = (
        f"Python version mismatch: module was compiled for Python {built}, "
        f"but the interpreter version is incompatible: {version}."
    )
    refused_by = REFUSED_BY.get((sys.version_info[:2], (3, minor)))
    assert message is not None, "imported by another minor version"
    if refused_by == "gate":
        assert message == gate
    elif refused_by == "loader":
        assert "undefined symbol" in message
    else:
        assert message == gate or "undefined symbol" in message
