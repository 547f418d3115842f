"""A class its stub declares generic can be subscripted at run time too, so an evaluated annotation
such as a module-level `tree: FastRedBlackTree[Block]` does not raise."""

import ast
import importlib
import pathlib
import types

import pytest

import velkora


def generic_classes():
    for name in velkora.NATIVE_MODULES:
        module = importlib.import_module(name)
        stub = pathlib.Path(module.__file__).with_name(name.rsplit(".", 1)[1] + ".pyi")
        for node in ast.parse(stub.read_text()).body:
            if isinstance(node, ast.ClassDef) and any(
                isinstance(b, ast.Subscript) and ast.unparse(b.value).endswith("Generic") for b in node.bases
            ):
                yield f"{name}.{node.name}"


GENERIC = sorted(generic_classes())


def test_the_stubs_declare_generic_classes():
    assert len(GENERIC) >= 3, GENERIC


@pytest.mark.parametrize("qualname", GENERIC)
def test_subscription_gives_a_generic_alias(qualname):
    module, cls_name = qualname.rsplit(".", 1)
    cls = getattr(importlib.import_module(module), cls_name)
    alias = cls[int]
    assert isinstance(alias, types.GenericAlias)
    assert alias.__origin__ is cls and alias.__args__ == (int,)
    assert isinstance(alias(), cls)  # the alias still constructs the class
