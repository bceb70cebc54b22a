// Shared declarations of the gate module: interned names, the module's globals, and the
// native functions defined in each source file.
#pragma once
#include "vx/vx.hpp"

namespace wardgate {

// Interned strings used on the request path, created once at module execution.
struct Names {
    PyObject *type, *http, *method, *OPTIONS, *path, *root_path, *headers, *query_string, *get;
    PyObject *app, *_api_key, *_auth_verify_url, *_protected_path_prefixes, *_trust_upstream_corvane_identity;
    PyObject *_verify_cache, *_client;
    PyObject *_is_protected_path, *_extract_token, *_internal_identity, *_verify_remote, *_send_401, *_send_503;
    PyObject *_get_client, *_header, *__call__;
    PyObject *mcp_api_key, *mcp_auth_mode, *mcp_user_id, *mcp_user_email, *mcp_allowed_tools, *mcp_permission_enabled;
    PyObject *internal, *remote, *fixed;
    PyObject *api_key, *auth_mode, *user_id, *email, *allowed_tools, *permission_enabled;
    PyObject *reason, *invalid_api_key, *auth_service_unavailable;
    PyObject *status, *body, *more_body, *http_request, *http_response_start, *http_response_body;
    PyObject *set, *reset, *mcp_request_ctx, *vexlo_mcp_context;
    PyObject *_logger, *debug, *info, *warning;
    PyObject *time, *monotonic, *time_fn;
    PyObject *_CLIENT_DISCONNECT_ERRORS, *ApiKeyVerificationUnavailable, *_trace_quillon, *_QUILLON_TRACE_FILE;
    PyObject *cors_headers_for_scope, *__version__;
    PyObject *_VERIFY_CACHE_TTL_SECONDS, *_VERIFY_STALE_GRACE_SECONDS, *_VERIFY_CONNECT_TIMEOUT_SECONDS,
        *_VERIFY_READ_TIMEOUT_SECONDS, *_VERIFY_MAX_CONNECTIONS, *_VERIFY_MAX_KEEPALIVE,
        *_VERIFY_KEEPALIVE_EXPIRY_SECONDS;
    PyObject *status_code, *json, *pop, *params, *X_MCP_API_Key, *X_Vexlo_Version;
    PyObject *urllib, *parse, *parse_qs, *keys, *decode, *lower, *strip, *latin_1, *utf_8, *replace, *errors;
    PyObject *empty_str, *empty_bytes, *empty_tuple, *zero_float;
    PyObject *Expected_ASGI_message;
    PyObject *kw_params_headers;  // ("params", "headers")
    PyObject *kw_errors;          // ("errors",)
    PyObject *token, *client_id, *scopes, *default_, *vexlo_mcp, *AccessToken, *__module__;
};
extern Names N;

extern PyObject* g_globals;      // the module's dict
extern PyObject* g_module_name;  // "vexlo.mcp.wardgate"

// A module global (or builtin) by name, as the name would be looked up in the module's code.
vx::Ref G(PyObject* name);
// `from vexlo.mcp.context import mcp_request_ctx`, as the import statement would find it.
vx::Ref request_ctx_var();
// Dict watching shared by the module's caches (one watcher id for the whole module).
int dict_watcher();
void parser_dict_event(PyObject* dict);  // the query search's own dicts

// Native functions, one definition each (defined beside their implementation).
extern vx::FuncSpec trace_quillon_spec;
extern vx::FuncSpec init_spec;
extern vx::FuncSpec header_spec;
extern vx::FuncSpec is_protected_path_spec;
extern vx::FuncSpec internal_identity_spec;
extern vx::FuncSpec extract_token_spec;
extern vx::FuncSpec call_spec;
vx::Ref call_impl(vx::FuncObject* self, PyObject* const* args);  // __call__'s core: the coroutine
extern vx::FuncSpec get_client_spec;
extern vx::FuncSpec verify_remote_spec;
// self._verify_remote(api_key) through our own definition `fn`: the answer when it needs no I/O
// (`settled`), else the coroutine that goes on from where this stopped.
vx::Ref verify_remote_begin(vx::FuncObject* fn, PyObject* self, PyObject* api_key, bool& settled);
extern vx::FuncSpec send_401_spec;
extern vx::FuncSpec send_503_spec;
extern vx::FuncSpec provider_init_spec;
extern vx::FuncSpec verify_token_spec;

// Access to a gate instance's attributes and methods as `self.name` in Python. Attributes are
// read through the attribute protocol each time; a method is called without a lookup only
// while the class is exactly ApiKeyWardgate holding its own definitions and the instance does
// not override it.
class Self {
public:
    explicit Self(PyObject* self) : self_(self) {}
    PyObject* get() const noexcept { return self_; }
    vx::Ref attr(PyObject* name) const;
    // self.<name>(*args); static methods (`_header`) get no self.
    vx::Ref call(PyObject* name, std::initializer_list<PyObject*> args) const;
    // Our own definition of method `name` when self.<name> would reach it, else null.
    vx::FuncObject* own(PyObject* name) const;
    // self.<name>(*args, reason=reason) for the reply methods.
    vx::Ref call_reply(PyObject* name, PyObject* scope, PyObject* send, PyObject* reason) const;

private:
    PyObject* original(PyObject* name) const;
    PyObject* self_;
};
void init_fast_path(PyObject* gate_class);

void init_names();
void init_replies();

// Writes one trace line (never fails for a str message); the module function's core.
void trace(PyObject* message);

// Helpers shared by the request path.
vx::Ref mapping_get(PyObject* mapping, PyObject* key, PyObject* dflt);  // m.get(key, dflt)
void unpack2(PyObject* item, vx::Ref& a, vx::Ref& b);                     // a, b = item
vx::Ref header_value(PyObject* scope, PyObject* name);                   // _header core
void remember_library_parser();  // at module execution, after `urllib` is set
bool same_key(PyObject* token, PyObject* key);                           // constant-time ==
void log(PyObject* level, std::initializer_list<PyObject*> args);        // _logger.<level>(*args)

}  // namespace wardgate
