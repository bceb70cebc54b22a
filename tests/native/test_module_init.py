"""Module initialisation: once per process, into one interpreter. Each case runs in a fresh
interpreter process so that this one keeps its modules."""
import json
import os
import subprocess
import sys
import textwrap

import pytest

MODULES = [
    # (dotted name, short name, a global that the body defines)
    ("vexlo.mcp.wardgate", "wardgate", "ApiKeyWardgate"),
    ("vexlo._vxtest", "_vxtest", "echo"),
]

INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")


def run_fresh(script, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args], env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.strip().splitlines()[-1])


@pytest.fixture(params=MODULES, ids=[m[1] for m in MODULES])
def module(request):
    pytest.importorskip(request.param[0])
    return request.param


REIMPORT = """
import _interpreters, importlib, json, sys
name, attr = sys.argv[1], sys.argv[2]
first = importlib.import_module(name)
defined = getattr(first, attr)
# A name removed from the module stays removed unless the body runs again.
delattr(first, attr)
first.marker = 1
del sys.modules[name]
second = importlib.import_module(name)
reloaded = importlib.reload(second)
result = {
    "same": second is first and reloaded is first and sys.modules[name] is first,
    "body_ran_again": hasattr(second, attr),
    "marker": getattr(second, "marker", None),
}
setattr(first, attr, defined)

for config in ("isolated", "legacy"):
    interp = _interpreters.create(_interpreters.new_config(config))
    try:
        failure = _interpreters.run_string(interp, f"import {name}")
        leftover = _interpreters.run_string(interp, f"import sys; assert {name!r} not in sys.modules")
        result[config] = {"error": [failure.type.__name__, failure.msg] if failure else None,
                          "left_in_sys_modules": leftover is not None}
    finally:
        _interpreters.destroy(interp)
# The first interpreter keeps a working module.
result["still_usable"] = importlib.import_module(name) is first and hasattr(first, attr)
print(json.dumps(result))
"""


def test_reimport_and_other_interpreters(module):
    name, short, attr = module
    got = run_fresh(REIMPORT, name, attr)
    assert (got["same"], got["body_ran_again"], got["marker"]) == (True, False, 1)
    for config in ("isolated", "legacy"):
        assert got[config]["error"] == ["ImportError", INTERPRETER_CHANGE], config
        assert not got[config]["left_in_sys_modules"], config
    assert got["still_usable"]


SECOND_OBJECT = """
import _imp, importlib.machinery, importlib.util, json, sys
name = sys.argv[1]
found = importlib.util.find_spec(name)
# Two module objects created before either ran its body; the second exec must refuse.
first, second = _imp.create_dynamic(found), _imp.create_dynamic(found)
result = {"distinct": first is not second}
_imp.exec_dynamic(first)
try:
    _imp.exec_dynamic(second)
    result["second_exec"] = None
except BaseException as exc:
    result["second_exec"] = [type(exc).__name__, str(exc)]
result["first_exec_again"] = _imp.exec_dynamic(first)
# Creating under another name, once initialised, hands out the one module object.
other = importlib.machinery.ModuleSpec("elsewhere." + name.rpartition(".")[2], found.loader,
                                       origin=found.origin)
result["other_name_same_object"] = _imp.create_dynamic(other) is first
print(json.dumps(result))
"""


def test_executing_into_a_second_module_object(module):
    name, short, attr = module
    got = run_fresh(SECOND_OBJECT, name)
    assert got == {
        "distinct": True,
        "second_exec": ["RuntimeError",
                        f"Module '{short}' has already been imported. Re-initialisation is not supported."],
        "first_exec_again": 0,
        "other_name_same_object": True,
    }


FAILED_BODY = """
import importlib, json, sys
sys.modules["starlette.types"] = None
try:
    importlib.import_module("vexlo.mcp.wardgate")
    first = None
except ImportError as exc:
    first = str(exc)
del sys.modules["starlette.types"]
mod = importlib.import_module("vexlo.mcp.wardgate")
print(json.dumps({"first": first, "second": hasattr(mod, "ApiKeyWardgate")}))
"""


def test_failed_body_can_be_retried():
    pytest.importorskip("vexlo.mcp.wardgate")
    assert run_fresh(FAILED_BODY) == {"first": "import of starlette.types halted; None in sys.modules",
                                     "second": True}
