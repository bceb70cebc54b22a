"""The .pyi files of the two native modules: mypy accepts correct host code and refuses wrong
calls through them, they agree name for name and parameter for parameter with the loaded
modules, and the wheel ships them."""
import ast
import importlib
import inspect
import pathlib
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = ROOT / "python" / "vexlo"
HOST_PROGRAM = pathlib.Path(__file__).with_name("host_program.py")

STUBS = {
    "vexlo.mcp.wardgate": PACKAGE / "mcp" / "wardgate.pyi",
    "vexlo.api.routers.quillon": PACKAGE / "api" / "routers" / "quillon.pyi",
}

# Each marked line must draw exactly this mypy error code, and no other line may draw any.
BAD_PROGRAM = textwrap.dedent('''\
    from fastapi import FastAPI
    from fastapi.responses import JSONResponse
    from starlette.types import Receive, Scope, Send

    from vexlo.api.routers.quillon import quillon_run, quillon_scenarios
    from vexlo.mcp.wardgate import (
        _VERIFY_CONNECT_TIMEOUT_SECONDS,
        ApiKeyWardgate,
        FixedApiKeyAuthProvider,
        _trace_quillon,
    )
    from vexlo.mcp.wardgate import NoSuchName  # expect: attr-defined

    app = FastAPI()
    ApiKeyWardgate(app, api_key=1)  # expect: arg-type
    ApiKeyWardgate(app, auth_verify_url=b"http://127.0.0.1/v")  # expect: arg-type
    ApiKeyWardgate(app, protected_path_prefixes=["/api/v1/quillon"])  # expect: arg-type
    ApiKeyWardgate(app, "the-key")  # expect: call-arg
    ApiKeyWardgate(app, api_token="k")  # expect: call-arg
    FixedApiKeyAuthProvider(None)  # expect: arg-type
    _trace_quillon(None)  # expect: arg-type
    seconds: int = _VERIFY_CONNECT_TIMEOUT_SECONDS  # expect: assignment


    async def misuse(gate: ApiKeyWardgate, scope: Scope, receive: Receive, send: Send) -> None:
        ApiKeyWardgate._header(scope, "authorization")  # expect: arg-type
        gate._extract_token(scope).strip()  # expect: union-attr
        await gate(scope, receive)  # expect: call-arg
        await gate._send_503(scope, send)  # expect: call-arg
        await gate._send_401(scope, send, reason=None)  # expect: arg-type
        found: dict[str, object] = await gate._verify_remote("k")  # expect: assignment
        listed: JSONResponse = quillon_scenarios()  # expect: assignment
        await quillon_run()  # expect: call-arg
''')

ERROR_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+): error: .*\[(?P<code>[a-z-]+)\]$")


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """One mypy --strict run over both programs; {file name: {line: [codes]}}."""
    work = tmp_path_factory.mktemp("mypy")
    bad = work / "bad_program.py"
    bad.write_text(BAD_PROGRAM, encoding="utf-8")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(work / "cache"), str(HOST_PROGRAM), str(bad)],
        cwd=work, capture_output=True, text=True, timeout=300,
    )
    errors = {}
    for line in proc.stdout.splitlines():
        match = ERROR_LINE.match(line)
        if match:
            name = pathlib.Path(match["file"]).name
            errors.setdefault(name, {}).setdefault(int(match["line"]), []).append(match["code"])
    # Anything mypy printed that is not an error about one of the two programs (a crash, a
    # broken stub, an unresolved import of ours) fails every test that uses the fixture.
    stray = [line for line in (proc.stdout + proc.stderr).splitlines()
             if line and not ERROR_LINE.match(line) and ": note: " not in line]
    assert not stray, "\n".join(stray)
    assert set(errors) <= {HOST_PROGRAM.name, bad.name}, proc.stdout
    return errors


def test_host_program_passes_strict(mypy_errors):
    assert mypy_errors.get(HOST_PROGRAM.name, {}) == {}


def test_wrong_calls_are_refused(mypy_errors):
    expected = {}
    for number, text in enumerate(BAD_PROGRAM.splitlines(), start=1):
        if "# expect: " in text:
            expected[number] = [text.rsplit("# expect: ", 1)[1].strip()]
    assert mypy_errors.get("bad_program.py", {}) == expected


# ---- the stubs against the loaded modules ----

_MODULE_DUNDERS = {"__name__", "__doc__", "__file__", "__loader__", "__package__", "__spec__",
                   "__builtins__", "__cached__", "__path__"}


def _stub_tree(module_name):
    return ast.parse(STUBS[module_name].read_text(encoding="utf-8"))


def _bound_names(body):
    """{name: ast node} for every name a stub body binds at its level."""
    names = {}
    for node in body:
        if isinstance(node, ast.Import):
            for alias in node.names:
                names[alias.asname or alias.name.split(".")[0]] = node
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                names[alias.asname or alias.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names[node.name] = node
    return names


def _param_rows_from_stub(func, *, drop_self):
    args = func.args
    positional = args.posonlyargs + args.args
    pos_defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    rows = []
    for kind, params, defaults in (
        (inspect.Parameter.POSITIONAL_ONLY, args.posonlyargs, pos_defaults[:len(args.posonlyargs)]),
        (inspect.Parameter.POSITIONAL_OR_KEYWORD, args.args, pos_defaults[len(args.posonlyargs):]),
        (inspect.Parameter.KEYWORD_ONLY, args.kwonlyargs, args.kw_defaults),
    ):
        for param, default in zip(params, defaults):
            rows.append((param.arg, kind, default is not None,
                         None if param.annotation is None else ast.unparse(param.annotation)))
    if args.vararg or args.kwarg:
        rows.append(("*", "variadic", False, None))
    if drop_self:
        assert rows and rows[0][0] == "self", func.name
        rows = rows[1:]
    return rows


def _param_rows_from_runtime(obj, *, drop_self):
    rows = []
    for param in inspect.signature(obj).parameters.values():
        if param.kind in (param.VAR_POSITIONAL, param.VAR_KEYWORD):
            rows.append(("*", "variadic", False, None))
            continue
        annotation = None if param.annotation is param.empty else param.annotation
        rows.append((param.name, param.kind, param.default is not param.empty, annotation))
    if drop_self:
        assert rows and rows[0][0] == "self", obj
        rows = rows[1:]
    return rows


def _literal_defaults(func):
    """{parameter: value} for the defaults a stub spells out (not `...`)."""
    args = func.args
    positional = args.posonlyargs + args.args
    pairs = list(zip(positional[len(positional) - len(args.defaults):], args.defaults))
    pairs += [(p, d) for p, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None]
    return {p.arg: ast.literal_eval(d) for p, d in pairs
            if not (isinstance(d, ast.Constant) and d.value is Ellipsis)}


def _check_function(func, obj, *, is_method):
    where = func.name
    assert isinstance(func, ast.AsyncFunctionDef) == inspect.iscoroutinefunction(obj), where
    assert (_param_rows_from_stub(func, drop_self=is_method)
            == _param_rows_from_runtime(obj, drop_self=is_method)), where
    runtime_defaults = {name: p.default for name, p in inspect.signature(obj).parameters.items()}
    for name, value in _literal_defaults(func).items():
        assert runtime_defaults[name] == value and type(runtime_defaults[name]) is type(value), (where, name)
    runtime_return = obj.__annotations__.get("return")
    if runtime_return is None:
        # Only __init__ goes without a return annotation at run time.
        assert func.name == "__init__" and ast.unparse(func.returns) == "None", where
    else:
        assert ast.unparse(func.returns) == runtime_return, where


def _annotation_type(text, namespace):
    value = eval(text, dict(namespace))  # noqa: S307 - our own stub text
    return getattr(value, "__origin__", value)


@pytest.mark.parametrize("module_name", list(STUBS))
def test_stub_declares_exactly_the_module_names(module_name):
    module = importlib.import_module(module_name)
    stub_names = set(_bound_names(_stub_tree(module_name).body))
    runtime_names = {n for n in dir(module) if n not in _MODULE_DUNDERS}
    assert stub_names == runtime_names


@pytest.mark.parametrize("module_name", list(STUBS))
def test_stub_entries_match_runtime_objects(module_name):
    module = importlib.import_module(module_name)
    for name, node in _bound_names(_stub_tree(module_name).body).items():
        obj = getattr(module, name)
        if isinstance(node, ast.Import):
            assert obj is sys.modules[name], name
        elif isinstance(node, ast.ImportFrom):
            source = next(a.name for a in node.names if (a.asname or a.name) == name)
            assert obj is getattr(importlib.import_module(node.module), source), name
        elif isinstance(node, ast.AnnAssign):
            # ints stay ints and floats floats: the verification settings are passed on as they are.
            expected = _annotation_type(ast.unparse(node.annotation), vars(module))
            assert type(obj) is expected or (expected is not int and isinstance(obj, expected)), name
        elif isinstance(node, ast.ClassDef):
            assert inspect.isclass(obj), name
            assert [ast.unparse(b) for b in node.bases] == [
                b.__name__ for b in obj.__bases__ if b is not object], name
        else:
            assert not inspect.isclass(obj), name
            _check_function(node, obj, is_method=False)


def _gate_instances(wardgate):
    async def app(scope, receive, send):
        pass
    return {
        "ApiKeyWardgate": wardgate.ApiKeyWardgate(app),
        "FixedApiKeyAuthProvider": wardgate.FixedApiKeyAuthProvider("k" * 16),
    }


def test_class_members_match_runtime():
    wardgate = importlib.import_module("vexlo.mcp.wardgate")
    instances = _gate_instances(wardgate)
    classes = [n for n in _stub_tree("vexlo.mcp.wardgate").body if isinstance(n, ast.ClassDef)]
    for cls_node in classes:
        cls = getattr(wardgate, cls_node.name)
        members = _bound_names(cls_node.body)
        methods = {n: m for n, m in members.items() if isinstance(m, (ast.FunctionDef, ast.AsyncFunctionDef))}
        attributes = {n for n, m in members.items() if isinstance(m, ast.AnnAssign)}
        own = {n for n, v in vars(cls).items() if callable(v) or isinstance(v, staticmethod)}
        assert set(methods) == own, cls_node.name
        for name, func in methods.items():
            raw = vars(cls)[name]
            is_static = any(ast.unparse(d) == "staticmethod" for d in func.decorator_list)
            assert is_static == isinstance(raw, staticmethod), (cls_node.name, name)
            _check_function(func, getattr(cls, name), is_method=not is_static)
        if cls_node.name in instances:
            assert attributes == set(vars(instances[cls_node.name])), cls_node.name
        else:
            assert not attributes, cls_node.name


def test_wheel_ships_the_stubs():
    """The wheel takes its Python files from python/vexlo; the stubs must not be filtered out."""
    try:
        from scikit_build_core.build._pathutil import iter_package_files
        from scikit_build_core.settings.skbuild_read_settings import SettingsReader
    except ImportError:
        pytest.skip("scikit-build-core's file selection is not importable here")
    settings = SettingsReader.from_file(ROOT / "pyproject.toml").settings
    packages = settings.wheel.packages
    if not isinstance(packages, dict):
        packages = {pathlib.PurePath(p).name: str(ROOT / p) for p in packages}
    targets = {
        pathlib.PurePath(target).as_posix()
        for _, target in iter_package_files(
            packages=packages, include=settings.sdist.include, src_exclude=settings.sdist.exclude,
            target_exclude=settings.wheel.exclude, build_dir=settings.build_dir,
            mode=settings.sdist.inclusion_mode)
    }
    assert {"vexlo/py.typed", "vexlo/mcp/wardgate.pyi", "vexlo/api/routers/quillon.pyi"} <= targets
