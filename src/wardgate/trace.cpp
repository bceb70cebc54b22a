// The diagnostic trace writer: one line to standard output and one to the trace file,
// whatever the logging configuration, and never failing its caller for an I/O problem.
#include "gate.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace wardgate {
namespace {

// Drops an exception of the Exception family; anything else (KeyboardInterrupt) goes on.
void discard_exception(vx::Error& e) {
    if (!e.matches(PyExc_Exception)) throw;
}

// A CR or LF would split the entry and let a client-chosen path forge trace lines.
vx::Ref escape_line_breaks(PyObject* message) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(message);
    const int kind = PyUnicode_KIND(message);
    const void* data = PyUnicode_DATA(message);
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        extra += (c == '\r' || c == '\n');
    }
    if (!extra) return vx::Ref::borrow(message);
    vx::Ref out = vx::check(PyUnicode_New(n + extra, PyUnicode_MAX_CHAR_VALUE(message)));
    const int okind = PyUnicode_KIND(out.get());
    void* odata = PyUnicode_DATA(out.get());
    Py_ssize_t j = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c == '\r' || c == '\n') {
            PyUnicode_WRITE(okind, odata, j++, '\\');
            PyUnicode_WRITE(okind, odata, j++, c == '\r' ? 'r' : 'n');
        } else {
            PyUnicode_WRITE(okind, odata, j++, c);
        }
    }
    return out;
}

// Longest message written; our own callers cut each value far below this, so only a foreign
// caller's message is ever cut here.
constexpr Py_ssize_t kMessageChars = 2000;

vx::Ref cut_message(PyObject* message) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(message);
    if (n <= kMessageChars) return vx::Ref::borrow(message);
    vx::Ref head = vx::check(PyUnicode_Substring(message, 0, kMessageChars));
    return vx::check(PyUnicode_FromFormat("%U...[+%zd chars]", head.get(), n - kMessageChars));
}

// The trace file's size cap in bytes: VEXLO_TRACE_MAX_BYTES, read at each write (os.environ
// updates reach getenv), 32 MiB when unset or not a positive integer.
long long trace_cap() {
    constexpr long long kDefault = 32LL * 1024 * 1024;
    const char* v = ::getenv("VEXLO_TRACE_MAX_BYTES");
    if (!v || !*v) return kDefault;
    char* end = nullptr;
    errno = 0;
    long long cap = ::strtoll(v, &end, 10);
    if (errno || *end || cap <= 0) return kDefault;
    return cap;
}

// mkdir -p of `dir`; existing directories are fine.
bool make_dirs(const std::string& dir) {
    if (dir.empty()) return true;
    if (::mkdir(dir.c_str(), 0777) == 0) return true;
    if (errno == EEXIST) {
        struct stat st;
        return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    if (errno != ENOENT) return false;
    auto slash = dir.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return false;
    if (!make_dirs(dir.substr(0, slash))) return false;
    if (::mkdir(dir.c_str(), 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void print_line(PyObject* line) {
    try {
        PyObject* out = PySys_GetObject("stdout");  // borrowed
        if (!out || out == Py_None) return;          // as print() does without a stdout
        vx::Ref keep = vx::Ref::borrow(out);
        vx::check(PyFile_WriteObject(line, out, Py_PRINT_RAW));
        vx::check(PyFile_WriteString("\n", out));
        vx::call_method(out, VX_STR("flush"));
    } catch (vx::Error& e) {
        discard_exception(e);
    }
}

void append_to_file(PyObject* line) {
    try {
        vx::Ref path_obj = G(N._QUILLON_TRACE_FILE);
        vx::Ref fspath = vx::check(PyOS_FSPath(path_obj.get()));
        vx::Ref encoded;
        if (PyBytes_Check(fspath.get())) {
            encoded = fspath;
        } else {
            encoded = vx::check(PyUnicode_EncodeFSDefault(fspath.get()));
        }
        std::string path(PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
        if (path.find('\0') != std::string::npos) return;
        // A line that cannot be encoded is lost at the write, after the file was opened (and so
        // created), as with a text-mode file.
        std::string data;
        if (vx::Ref text = vx::Ref::steal(PyUnicode_AsUTF8String(line))) {
            data.assign(PyBytes_AS_STRING(text.get()), PyBytes_GET_SIZE(text.get()));
            data.push_back('\n');
        } else if (PyErr_ExceptionMatches(PyExc_Exception)) {
            PyErr_Clear();
        } else {
            vx::throw_error();
        }
        auto slash = path.find_last_of('/');
        std::string parent = slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
        const long long cap = trace_cap();
        bool ok = false;
        Py_BEGIN_ALLOW_THREADS
        // A line that would take the file past the cap first moves it to the one backup
        // (replacing the previous backup). Should that fail, the line is lost rather than the
        // cap: the file must not grow without bound.
        bool room = true;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 &&
            static_cast<long long>(st.st_size) + static_cast<long long>(data.size()) > cap) {
            const std::string backup = path + ".1";
            room = ::rename(path.c_str(), backup.c_str()) == 0 || errno == ENOENT;
        }
        // The directory almost always exists: try the file first and create the directory
        // (with its missing ancestors) only when it is not there.
        int fd = room ? ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666) : -1;
        if (room && fd < 0 && errno == ENOENT && make_dirs(parent))
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        if (fd >= 0) {
            const char* p = data.data();
            size_t left = data.size();
            while (left) {
                ssize_t w = ::write(fd, p, left);
                if (w < 0) {
                    if (errno == EINTR) continue;
                    break;
                }
                p += w;
                left -= static_cast<size_t>(w);
            }
            ok = left == 0;
            ::close(fd);
        }
        Py_END_ALLOW_THREADS
        (void)ok;  // a lost line is never reported
    } catch (vx::Error& e) {
        discard_exception(e);
    }
}

vx::Ref trace_impl(vx::FuncObject*, PyObject* const* a) {
    trace(a[0]);
    return vx::none();
}

vx::Param trace_params[] = {{"message", "str", vx::Check::Str}};

}  // namespace

void trace(PyObject* message) {
    vx::Ref msg = escape_line_breaks(cut_message(message).get());
    // datetime.now(timezone.utc).isoformat(timespec="milliseconds"), through the module globals.
    vx::Ref datetime = G(VX_STR("datetime"));
    vx::Ref timezone = G(VX_STR("timezone"));
    vx::Ref utc = vx::getattr(timezone.get(), VX_STR("utc"));
    vx::Ref now = vx::call_method(datetime.get(), VX_STR("now"), utc.get());
    vx::Ref iso = vx::getattr(now.get(), VX_STR("isoformat"));
    PyObject* kwnames = VX_STR("timespec");
    static PyObject* kw = nullptr;
    if (!kw) kw = vx::check(PyTuple_Pack(1, kwnames)).release();
    PyObject* argv[2] = {nullptr, VX_STR("milliseconds")};
    vx::Ref stamp = vx::check(PyObject_Vectorcall(iso.get(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
    vx::Ref os = G(VX_STR("os"));
    vx::Ref pid = vx::call_method(os.get(), VX_STR("getpid"));
    vx::Ref line = vx::check(PyUnicode_FromFormat("%S pid=%S [QUILLON-TRACE] %U", stamp.get(), pid.get(), msg.get()));
    print_line(line.get());
    append_to_file(line.get());
}

vx::FuncSpec trace_quillon_spec{"_trace_quillon", "_trace_quillon", "写入不依赖 logging 配置的 Quillon 请求诊断信息。",
                                trace_params, 1, "None", vx::Ret::Any, false, trace_impl};

}  // namespace wardgate
