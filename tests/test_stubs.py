"""The stub-only package installed with the module says what the module's signature lines say.

stubtest cannot check this: the module's functions carry no __text_signature__, so it sees
their names but not their parameters."""

import ast
import importlib.metadata
import json
from pathlib import Path

import pytest

import vantorix_core as vc

# Each annotation of the module's signature lines, as the stubs spell it. An array parameter
# also takes what exports the Arrow PyCapsule interface, which the signature lines leave out.
STUB_SPELLING = {
    "typing.Annotated[numpy.typing.ArrayLike, numpy.int32]": "_Array",
    "typing.Annotated[numpy.typing.ArrayLike, numpy.float64]": "_Array",
    "typing.SupportsInt | typing.SupportsIndex": "SupportsInt | SupportsIndex",
    "typing.SupportsFloat | typing.SupportsIndex": "SupportsFloat | SupportsIndex",
    "float": "float",
    "dict": "dict[str, NDArray[np.float64]]",
    "numpy.typing.NDArray[numpy.int32]": "NDArray[np.int32]",
}
NAMES = [name for name in vars(vc) if not name.startswith("_")]


def installed_stubs():
    dist = importlib.metadata.distribution("vantorix_core")
    direct_url = json.loads(dist.read_text("direct_url.json") or "{}")
    if direct_url.get("dir_info", {}).get("editable"):
        # An editable install maps the package from the source tree instead of installing it.
        path = Path(__file__).resolve().parents[1] / "src" / "vantorix_core-stubs" / "__init__.pyi"
    else:
        stubs = [f for f in dist.files or [] if f.as_posix() == "vantorix_core-stubs/__init__.pyi"]
        assert stubs, "the distribution does not install vantorix_core-stubs/__init__.pyi"
        path = stubs[0].locate()
    tree = ast.parse(Path(path).read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_stubs_declare_exactly_the_module_functions():
    assert list(installed_stubs()) == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_stub_signature_matches_the_signature_line(name):
    stub = installed_stubs()[name]
    args = stub.args
    assert not (args.args or args.vararg or args.kwonlyargs or args.kwarg or args.defaults)
    line = ast.parse(f"def {getattr(vc, name).__doc__.strip()}: ...").body[0]
    assert [ast.unparse(a.annotation) for a in args.posonlyargs] == [
        STUB_SPELLING[ast.unparse(a.annotation)] for a in line.args.args
    ]
    assert ast.unparse(stub.returns) == STUB_SPELLING[ast.unparse(line.returns)]
