"""Shared fixtures.

`wg` is the gate module under test. Behaviour tests run against the native module and, where
marked with `baseline_too`, also against the plain-Python baseline kept in bench/ for the
benchmarks, so that the benchmark compares two implementations of the same behaviour.
"""
import importlib
import importlib.util
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


def _load_baseline():
    name = "vexlo_baseline_wardgate"
    if name in sys.modules:
        return sys.modules[name]
    module_spec = importlib.util.spec_from_file_location(name, ROOT / "bench" / "baseline_gate.py")
    mod = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = mod
    module_spec.loader.exec_module(mod)
    return mod


def pytest_generate_tests(metafunc):
    if "wg" in metafunc.fixturenames:
        impls = ["native"]
        if metafunc.definition.get_closest_marker("baseline_too"):
            impls.append("baseline")
        metafunc.parametrize("wg_impl", impls, scope="session")


def pytest_configure(config):
    config.addinivalue_line("markers", "baseline_too: also run against the plain-Python baseline gate")
    config.addinivalue_line("markers", "leakcheck: counts allocated blocks; meaningless under sanitizers")


@pytest.fixture
def wg(wg_impl, tmp_path, monkeypatch):
    """The gate module, with its trace file redirected into a per-test folder."""
    if wg_impl == "native":
        mod = importlib.import_module("vexlo.mcp.wardgate")
    else:
        mod = _load_baseline()
    monkeypatch.setattr(mod, "_QUILLON_TRACE_FILE", tmp_path / ".tmp" / "quillon-trace.log")
    return mod


@pytest.fixture
def trace_lines(wg):
    """Reads the messages (text after the tag) of the trace file written so far."""
    def read():
        path = wg._QUILLON_TRACE_FILE
        if not path.exists():
            return []
        return [line.split(" [QUILLON-TRACE] ", 1)[1] for line in path.read_text("utf-8").splitlines()]
    return read
