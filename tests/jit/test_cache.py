"""The compile driver's disk-cache key: stable from one run to the next, changed by an edit."""

import importlib
import sys

import pytest

from velkora.jit.cache import _compiler_version, _source_hash

SOURCE = "def top(words):\n    return sorted(words, key=lambda w: -len(w))[{index}]\n"


def load(tmp_path, monkeypatch, index):
    (tmp_path / "keyed.py").write_text(SOURCE.format(index=index))
    monkeypatch.syspath_prepend(str(tmp_path))
    sys.modules.pop("keyed", None)
    importlib.invalidate_caches()
    return importlib.import_module("keyed").top


def test_key_survives_a_reload_with_a_lambda_inside_and_follows_an_edit(tmp_path, monkeypatch):
    first = load(tmp_path, monkeypatch, 0)
    again = load(tmp_path, monkeypatch, 0)
    assert first.__code__ is not again.__code__  # a new code object, as in the next run
    assert _source_hash(first) == _source_hash(again)
    assert _source_hash(load(tmp_path, monkeypatch, 1)) != _source_hash(first)


def test_compiler_version_read_beside_the_package_matches_its_metadata():
    pytest.importorskip("numba")
    from importlib.metadata import version

    assert _compiler_version.__wrapped__() == "numba-" + version("numba")


def test_a_function_without_readable_source_has_no_key():
    namespace = {}
    exec("def made(x):\n    return x\n", namespace)
    assert _source_hash(namespace["made"]) is None
