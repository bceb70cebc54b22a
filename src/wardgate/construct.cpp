// Gate construction: stores the settings exactly as passed and announces the mode.
#include "gate.hpp"

namespace wardgate {
namespace {

vx::Ref init_impl(vx::FuncObject*, PyObject* const* a) {
    PyObject* self = a[0];
    // Types were checked on entry, before any attribute is set.
    vx::check(PyObject_SetAttr(self, N.app, a[1]));
    vx::check(PyObject_SetAttr(self, N._api_key, a[2]));
    vx::check(PyObject_SetAttr(self, N._auth_verify_url, a[3]));
    vx::check(PyObject_SetAttr(self, N._protected_path_prefixes, a[4]));
    vx::check(PyObject_SetAttr(self, N._trust_upstream_corvane_identity, a[5]));
    vx::Ref cache = vx::check(PyDict_New());
    vx::check(PyObject_SetAttr(self, N._verify_cache, cache.get()));
    vx::check(PyObject_SetAttr(self, N._client, Py_None));
    PyObject* url = a[3];
    PyObject* key = a[2];
    if (url != Py_None && PyUnicode_GET_LENGTH(url)) {
        vx::Ref fmt = vx::Ref::borrow(VX_STR("MCP Server 运行在远程校验模式，校验地址: %s"));
        log(N.info, {fmt.get(), url});
    } else if (key != Py_None && PyUnicode_GET_LENGTH(key)) {
        vx::Ref fmt = vx::Ref::borrow(VX_STR("MCP Server 运行在固定 API Key 模式"));
        log(N.info, {fmt.get()});
    } else {
        vx::Ref fmt = vx::Ref::borrow(VX_STR("MCP Server 未配置任何 API Key 鉴权！"));
        log(N.warning, {fmt.get()});
    }
    return vx::none();
}

vx::Param init_params[] = {
    {"self"},
    {"app", "ASGIApp"},
    {"api_key", "str | None", vx::Check::Str, true, vx::Kind::KwOnly, true},
    {"auth_verify_url", "str | None", vx::Check::Str, true, vx::Kind::KwOnly, true},
    {"protected_path_prefixes", "tuple[str, ...] | None", vx::Check::Tuple, true, vx::Kind::KwOnly, true},
    {"trust_upstream_corvane_identity", "bool", vx::Check::Bool, false, vx::Kind::KwOnly, true},
};

vx::Ref provider_init_impl(vx::FuncObject*, PyObject* const* a) {
    vx::check(PyObject_SetAttr(a[0], N._api_key, a[1]));
    return vx::none();
}

vx::Param provider_init_params[] = {{"self"}, {"api_key", "str", vx::Check::Str}};

// verify_token(self, token): an access-token object for the fixed key, else None.
vx::Async verify_token_body(vx::Frame f) {
    PyObject* self = f.arg(0);
    PyObject* token = f.arg(1);
    vx::Ref key = vx::getattr(self, N._api_key);
    if (!same_key(token, key.get())) co_return vx::none();
    vx::Ref scopes = vx::check(Py_BuildValue("[O]", N.vexlo_mcp));
    vx::Ref ns = vx::check(PyDict_New());
    vx::check(PyDict_SetItem(ns.get(), N.token, token));
    vx::check(PyDict_SetItem(ns.get(), N.client_id, N.default_));
    vx::check(PyDict_SetItem(ns.get(), N.scopes, scopes.get()));
    vx::Ref args = vx::check(PyTuple_Pack(3, N.AccessToken, N.empty_tuple, ns.get()));
    vx::Ref cls = vx::check(PyObject_Call(reinterpret_cast<PyObject*>(&PyType_Type), args.get(), nullptr));
    // type() takes __module__ from the calling frame; the class is this module's.
    vx::check(PyObject_SetAttr(cls.get(), N.__module__, g_module_name));
    co_return vx::call(cls.get());
}

vx::Ref verify_token_impl(vx::FuncObject* self, PyObject* const* a) {
    return vx::make_coroutine(self->name, self->qualname, a, 2, 0, verify_token_body);
}

vx::Param verify_token_params[] = {{"self"}, {"token", "str", vx::Check::Str}};

}  // namespace

vx::FuncSpec init_spec{"__init__", "ApiKeyWardgate.__init__",
                       "\n"
                       "        Args:\n"
                       "            app: ASGI 应用。\n"
                       "            api_key: 固定 API Key（单用户模式，向后兼容）。\n"
                       "            auth_verify_url: 账号后端的 Key 校验地址（多用户模式），\n"
                       "                例如 https://account.example.com/v1/mcp/verify-key。\n"
                       "            protected_path_prefixes: 仅对这些路径前缀做鉴权。\n"
                       "            trust_upstream_corvane_identity: 信任上游注入的 Corvane 身份 Header；\n"
                       "                仅可在网络入口受控的内部服务中开启。\n"
                       "        ",
                       init_params, 6, nullptr, vx::Ret::Any, false, init_impl};
vx::FuncSpec provider_init_spec{"__init__", "FixedApiKeyAuthProvider.__init__", nullptr, provider_init_params, 2,
                                nullptr, vx::Ret::Any, false, provider_init_impl};
vx::FuncSpec verify_token_spec{"verify_token", "FixedApiKeyAuthProvider.verify_token",
                               "校验 Bearer Token 是否与固定 API Key 匹配。", verify_token_params, 2, "Any",
                               vx::Ret::Any, true, verify_token_impl};

}  // namespace wardgate
