// The gate module: its names, in the order the host sees them defined, and its classes.
#include "gate.hpp"

namespace wardgate {

Names N;
PyObject* g_globals = nullptr;
PyObject* g_module_name = nullptr;

namespace {

const char kModuleDoc[] =
    "MCP Server API Key 鉴权中间件。\n"
    "\n"
    "服务端不保存任何用户的 OAuth 凭据（无状态模式），但 SSE 连接层仍通过 API Key\n"
    "做基础访问控制，防止未授权访问。\n"
    "\n"
    "两种工作模式：\n"
    "- 固定 API Key 模式（单用户，向后兼容）：与本地持有的 Key 直接比对。\n"
    "- 远程校验模式（多用户）：通过 --auth-verify-url 指定的账号后端校验 Key。\n"
    "\n"
    "凭据可以通过 Header ``Authorization: Bearer <api_key>`` 传入，也可以通过\n"
    "Query Param ``?api_key=<api_key>`` 传入（后者用于只能传递查询参数的客户端）。\n"
    "\n"
    "FastMCP 的 AuthProvider 鉴权中间件在 Starlette 中间件栈中注册得很早，无法在它\n"
    "之前把 Query Param 转成 Header，因此全部鉴权都放在本中间件中完成，不再使用\n"
    "FastMCP 内置的 AuthProvider。\n";

const char kGateDoc[] =
    "统一校验 API Key 的 ASGI 中间件，支持从 Header 或 Query Param 中读取 Key。\n"
    "\n"
    "    两种工作模式：\n"
    "    - 固定 API Key 模式：直接与本地 ``api_key`` 参数比对。\n"
    "    - 远程校验模式：通过 ``auth_verify_url`` 调用账号后端校验。\n"
    "\n"
    "    优先检查 Query Param，未找到时再检查 ``Authorization`` Header；\n"
    "    校验失败时返回 401，请求不会继续向下传递。\n"
    "    ";

const char kProviderDoc[] =
    "固定 API Key 鉴权提供者（已弃用，保留仅用于兼容旧导入）。\n\n"
    "    所有连接 MCP 服务器的用户共享同一个 API Key，仅用于 SSE 连接层的基础\n"
    "    访问控制，不涉及用户身份隔离。实际业务鉴权由调用方传入的 session_id/jwt\n"
    "    在后端完成。\n"
    "    ";


vx::Ref fn(vx::FuncSpec& fdef, std::initializer_list<PyObject*> defaults = {}) {
    return vx::make_function(fdef, g_globals, g_module_name, defaults);
}

void body(PyObject* module) {
    g_globals = PyModule_GetDict(module);
    vx::check(PyDict_Watch(dict_watcher(), g_globals));  // before any global is read through G
    g_module_name = VX_STR("vexlo.mcp.wardgate");
    init_names();
    init_replies();
    vx::check(PyModule_SetDocString(module, kModuleDoc));
    // Resolving the string annotations adds __builtins__; keep it with the module's own entries.
    vx::check(PyDict_SetItemString(g_globals, "__builtins__", PyEval_GetBuiltins()));

    vx::set_attr(module, "logging", vx::check(PyImport_ImportModule("logging")));
    vx::set_attr(module, "os", vx::check(PyImport_ImportModule("os")));
    vx::set_attr(module, "time", vx::check(PyImport_ImportModule("time")));
    vx::set_attr(module, "urllib", vx::import_top("urllib.parse"));
    remember_library_parser();
    vx::set_attr(module, "datetime", vx::import_from("datetime", "datetime"));
    vx::set_attr(module, "timezone", vx::import_from("datetime", "timezone"));
    vx::set_attr(module, "Path", vx::import_from("pathlib", "Path"));
    vx::set_attr(module, "Any", vx::import_from("typing", "Any"));
    vx::set_attr(module, "cors_headers_for_scope", vx::import_from("vexlo.api.cors", "cors_headers_for_scope"));
    vx::set_attr(module, "__version__", vx::import_from("vexlo.config", "__version__"));
    {
        vx::Ref names = vx::check(Py_BuildValue("(ssss)", "ASGIApp", "Receive", "Scope", "Send"));
        vx::Ref types = vx::check(PyImport_ImportModuleLevel("starlette.types", nullptr, nullptr, names.get(), 0));
        for (const char* n : {"ASGIApp", "Receive", "Scope", "Send"})
            vx::set_attr(module, n, vx::check(PyObject_GetAttrString(types.get(), n)));
    }
    {
        vx::Ref logging = G(VX_STR("logging"));
        vx::set_attr(module, "_logger", vx::call_method(logging.get(), VX_STR("getLogger"), VX_STR("vexlo.mcp")));
    }
    {
        vx::Ref path_cls = G(VX_STR("Path"));
        vx::Ref cwd = vx::call_method(path_cls.get(), VX_STR("cwd"));
        vx::Ref p = vx::check(PyNumber_TrueDivide(cwd.get(), VX_STR(".tmp")));
        vx::set_attr(module, "_QUILLON_TRACE_FILE", vx::check(PyNumber_TrueDivide(p.get(), VX_STR("quillon-trace.log"))));
    }
    vx::set_attr(module, "_trace_quillon", fn(trace_quillon_spec));
    try {
        vx::Ref cd = vx::import_from("starlette.requests", "ClientDisconnect");
        vx::set_attr(module, "_StarletteClientDisconnect", cd);
        vx::set_attr(module, "_CLIENT_DISCONNECT_ERRORS", vx::check(PyTuple_Pack(1, cd.get())));
    } catch (vx::Error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        vx::set_attr(module, "_CLIENT_DISCONNECT_ERRORS", vx::check(PyTuple_New(0)));
    }
    vx::set_attr(module, "_VERIFY_CACHE_TTL_SECONDS", vx::check(PyLong_FromLong(60)));
    vx::set_attr(module, "_VERIFY_STALE_GRACE_SECONDS", vx::check(PyLong_FromLong(300)));
    vx::set_attr(module, "_VERIFY_CONNECT_TIMEOUT_SECONDS", vx::check(PyFloat_FromDouble(3.0)));
    vx::set_attr(module, "_VERIFY_READ_TIMEOUT_SECONDS", vx::check(PyFloat_FromDouble(5.0)));
    vx::set_attr(module, "_VERIFY_MAX_CONNECTIONS", vx::check(PyLong_FromLong(20)));
    vx::set_attr(module, "_VERIFY_MAX_KEEPALIVE", vx::check(PyLong_FromLong(10)));
    vx::set_attr(module, "_VERIFY_KEEPALIVE_EXPIRY_SECONDS", vx::check(PyFloat_FromDouble(30.0)));

    vx::set_attr(module, "ApiKeyVerificationUnavailable",
        vx::check(PyErr_NewExceptionWithDoc("vexlo.mcp.wardgate.ApiKeyVerificationUnavailable",
                                            "远程 API Key 校验服务暂时不可用。", PyExc_RuntimeError, nullptr)));

    vx::Ref no_bases = vx::check(PyTuple_New(0));
    vx::Ref init = fn(init_spec, {Py_None, Py_None, Py_None, Py_False});
    vx::Ref header = vx::check(PyStaticMethod_New(fn(header_spec).get()));
    vx::Ref is_protected = fn(is_protected_path_spec);
    vx::Ref internal_identity = fn(internal_identity_spec);
    vx::Ref extract = fn(extract_token_spec);
    vx::Ref call = fn(call_spec);
    vx::Ref get_client = fn(get_client_spec);
    vx::Ref verify = fn(verify_remote_spec);
    vx::Ref s401 = fn(send_401_spec, {N.invalid_api_key});
    vx::Ref s503 = fn(send_503_spec);
    vx::Ref gate_class =
        vx::make_class("ApiKeyWardgate", g_module_name, no_bases.get(), kGateDoc,
                       {{"__init__", init.get()},
                        {"_header", header.get()},
                        {"_is_protected_path", is_protected.get()},
                        {"_internal_identity", internal_identity.get()},
                        {"_extract_token", extract.get()},
                        {"__call__", call.get()},
                        {"_get_client", get_client.get()},
                        {"_verify_remote", verify.get()},
                        {"_send_401", s401.get()},
                        {"_send_503", s503.get()}});
    vx::set_attr(module, "ApiKeyWardgate", gate_class);
    init_fast_path(gate_class.get());

    vx::Ref pinit = fn(provider_init_spec);
    vx::Ref verify_token = fn(verify_token_spec);
    vx::set_attr(module, "FixedApiKeyAuthProvider",
        vx::make_class("FixedApiKeyAuthProvider", g_module_name, no_bases.get(), kProviderDoc,
                       {{"__init__", pinit.get()}, {"verify_token", verify_token.get()}}));
}

}  // namespace
}  // namespace wardgate

VX_DEFINE_MODULE(wardgate, wardgate::body)
