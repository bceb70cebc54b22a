"""Methods and attributes are reached through the instance, as Python code reaches them: a
change made after the gate was built, on its class or on the instance, takes effect at the next
request, also once many requests have already been served."""
import pytest

pytestmark = pytest.mark.baseline_too

KEY = "k-123"


def warm(asgi, gate, n=3):
    for _ in range(n):
        ex = asgi.Exchange(asgi.scope("/api/x", headers=[(b"authorization", b"Bearer " + KEY.encode())]))
        asgi.run(gate, ex)
        assert ex.status is None  # the fake app answers nothing; the gate let it through


def request(asgi, gate, **kw):
    ex = asgi.Exchange(asgi.scope("/api/x", headers=[(b"authorization", b"Bearer " + KEY.encode())], **kw))
    asgi.run(gate, ex)
    return ex


@pytest.mark.parametrize("target", ["class", "instance"])
def test_extract_token_replaced_after_requests(wg, asgi, make_gate, monkeypatch, target):
    gate = make_gate(api_key=KEY)
    warm(asgi, gate)
    if target == "class":
        monkeypatch.setattr(wg.ApiKeyWardgate, "_extract_token", lambda self, scope: "other")
    else:
        gate._extract_token = lambda scope: "other"
    assert request(asgi, gate).status == 401
    monkeypatch.undo()
    if target == "instance":
        del gate._extract_token
    assert request(asgi, gate).status is None


def test_call_replaced_on_the_class_after_requests(wg, asgi, make_gate, monkeypatch):
    gate = make_gate(api_key=KEY)
    warm(asgi, gate)
    seen = []

    async def replacement(self, scope, receive, send):
        seen.append(scope["path"])

    monkeypatch.setattr(wg.ApiKeyWardgate, "__call__", replacement)
    request(asgi, gate)
    assert seen == ["/api/x"]
    monkeypatch.undo()
    assert request(asgi, gate).status is None
    assert seen == ["/api/x"]


def test_subclass_without_call_uses_its_own_methods(wg, asgi, make_gate):
    class Strict(wg.ApiKeyWardgate):
        def _is_protected_path(self, path):
            return True

        async def _send_401(self, scope, send, reason="invalid_api_key"):
            await send({"type": "http.response.start", "status": 418, "headers": []})
            await send({"type": "http.response.body", "body": reason.encode()})

    gate = make_gate(cls=Strict, api_key=KEY, protected_path_prefixes=())
    ex = asgi.Exchange(asgi.scope("/public"))
    asgi.run(gate, ex)
    assert ex.status == 418 and ex.sent[1]["body"] == b"invalid_api_key"


def test_settings_changed_on_the_instance_take_effect(asgi, make_gate):
    gate = make_gate(api_key=KEY)
    warm(asgi, gate)
    gate._api_key = "rotated"
    assert request(asgi, gate).status == 401
    gate.app = None  # read at each request: a broken app now fails the accepted request
    gate._api_key = KEY
    with pytest.raises(TypeError):
        request(asgi, gate)


def _store_in_loop(gate, value):
    for _ in range(64):  # long enough for the interpreter to specialise the store
        gate._api_key = value


def _clear_and_refill(gate, value):
    saved = dict(vars(gate))
    vars(gate).clear()
    vars(gate).update(saved, _api_key=value)


ROUTES = {
    "attribute store": lambda gate, v: setattr(gate, "_api_key", v),
    "specialised store": _store_in_loop,
    "object.__setattr__": lambda gate, v: object.__setattr__(gate, "_api_key", v),
    "vars() item": lambda gate, v: vars(gate).__setitem__("_api_key", v),
    "dict update": lambda gate, v: gate.__dict__.update(_api_key=v),
    "dict replaced": lambda gate, v: setattr(gate, "__dict__", {**vars(gate), "_api_key": v}),
    "dict cleared and refilled": _clear_and_refill,
}


@pytest.mark.parametrize("route", ROUTES)
def test_setting_changed_by_any_route_is_seen_by_the_next_request(asgi, make_gate, route):
    gate = make_gate(api_key=KEY)
    other = make_gate(api_key=KEY)
    warm(asgi, gate)
    ROUTES[route](gate, "rotated")
    assert request(asgi, gate).status == 401
    assert request(asgi, other).status is None  # another instance in between
    ROUTES[route](gate, KEY)
    assert request(asgi, gate).status is None
    gate.__dict__["_extract_token"] = lambda scope: "rotated"
    assert request(asgi, gate).status == 401


def test_class_level_property_shadowing_a_setting(wg, asgi, make_gate):
    class Rotating(wg.ApiKeyWardgate):
        @property
        def _api_key(self):
            return "from-property"

        @_api_key.setter
        def _api_key(self, value):
            pass

    gate = make_gate(cls=Rotating, api_key=KEY)
    assert request(asgi, gate).status == 401


def test_trace_lines_go_through_the_module_global(wg, asgi, make_gate, monkeypatch):
    lines = []
    monkeypatch.setattr(wg, "_trace_quillon", lines.append)
    gate = make_gate(api_key=KEY)
    ex = asgi.Exchange(asgi.scope("/api/v1/quillon/run", method="POST",
                                  headers=[(b"authorization", b"Bearer " + KEY.encode())]))
    asgi.run(gate, ex)
    assert [line.split(" ", 1)[0] for line in lines] == [
        "request_start", "auth_verify_start", "app_dispatch_start", "app_dispatch_done"]
    assert not wg._QUILLON_TRACE_FILE.exists()


def drive(gate, ex):
    """One request run by hand, without an event loop (usable from inside a dunder method)."""
    try:
        gate(ex.scope, ex.receive, ex.send).send(None)
    except StopIteration:
        return ex
    raise AssertionError("the request suspended")


def bearer(asgi, key):
    return asgi.Exchange(asgi.scope("/api/x", headers=[(b"authorization", b"Bearer " + key.encode())]))


@pytest.mark.parametrize("collides_with", ["app", "_api_key"])
def test_a_gate_served_while_another_reads_its_settings_keeps_its_own(asgi, make_gate, collides_with):
    import gc
    app1, app2 = asgi.App(), asgi.App()
    g1 = make_gate(app1, api_key="key-one-0123456789")
    g2 = make_gate(app2, api_key="key-two-0123456789")
    armed, inner = [False], []

    class Colliding:
        def __hash__(self):
            return hash(collides_with)

        def __eq__(self, other):
            if armed[0]:
                armed[0] = False
                inner.append(drive(g2, bearer(asgi, "key-two-0123456789")).status)
            return False

    d = vars(g1)
    items = list(d.items())
    d.clear()
    d[Colliding()] = 0
    d.update(items)
    armed[0] = True
    g1._is_protected_path("/x")
    assert drive(g2, bearer(asgi, "key-one-0123456789")).status == 401
    assert all(scope["mcp_api_key"] == "key-one-0123456789" for scope, _, _ in app1.calls)
    del g1, d, items
    gc.collect()
    assert drive(g2, bearer(asgi, "key-one-0123456789")).status == 401
    assert drive(g2, bearer(asgi, "key-two-0123456789")).status is None
    assert len(app2.calls) == len(inner) + 1


class _Suspend:
    def __await__(self):
        yield


def _swap_class(wg, gate, other, monkeypatch):
    class Swapped(wg.ApiKeyWardgate):
        app = property(lambda self: other)
    gate.__class__ = Swapped


CHANGES_DURING_THE_CHECK = {
    "class swapped": _swap_class,
    "dict replaced": lambda wg, gate, other, mp: setattr(gate, "__dict__", {**vars(gate), "app": other}),
    "descriptor added to the class":
        lambda wg, gate, other, mp: mp.setattr(wg.ApiKeyWardgate, "app", property(lambda s: other), raising=False),
}


@pytest.mark.parametrize("change", CHANGES_DURING_THE_CHECK)
def test_the_app_is_looked_up_again_after_the_remote_check(wg, asgi, make_gate, monkeypatch, change):
    first, second = asgi.App(), asgi.App()
    gate = make_gate(first, auth_verify_url="http://127.0.0.1:9/verify")

    async def verify(api_key):
        await _Suspend()
        return {"user_id": "u1", "email": "u1@example.com"}

    gate._verify_remote = verify
    ex = bearer(asgi, KEY)
    coro = gate(ex.scope, ex.receive, ex.send)
    coro.send(None)  # suspended in the remote check
    CHANGES_DURING_THE_CHECK[change](wg, gate, second, monkeypatch)
    with pytest.raises(StopIteration):
        coro.send(None)
    assert (len(first.calls), len(second.calls)) == (0, 1)


def test_a_staticmethod_subclass_binds_through_its_own_get(wg, asgi, make_gate, monkeypatch):
    import inspect
    original = inspect.getattr_static(wg.ApiKeyWardgate, "_header").__func__

    class Bound(staticmethod):
        def __get__(self, obj, owner=None):
            return lambda scope, name: {b"x-corvane-user-email": " Who@Example.COM ",
                                        b"x-corvane-user-id": "u-1"}.get(name)
    gate = make_gate(api_key=KEY, trust_upstream_corvane_identity=True)
    warm(asgi, gate)
    monkeypatch.setattr(wg.ApiKeyWardgate, "_header", Bound(original))
    assert gate._internal_identity({"headers": []}) == {"email": "who@example.com", "user_id": "u-1"}
