// The diagnostic trace writer: one line to standard output and one to the trace file,
// whatever the logging configuration, and never failing its caller for an I/O problem.
#include "gate.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <ctime>
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

// `entry` is the line with its newline: one write() call on the stream, so an unbuffered stdout
// (python -u, PYTHONUNBUFFERED) costs one system call per line, not two.
void print_line(PyObject* entry) {
    try {
        PyObject* out = PySys_GetObject("stdout");  // borrowed
        if (!out || out == Py_None) return;          // as print() does without a stdout
        vx::Ref keep = vx::Ref::borrow(out);
        vx::check(PyFile_WriteObject(entry, out, Py_PRINT_RAW));
        vx::call_method(out, VX_STR("flush"));
    } catch (vx::Error& e) {
        discard_exception(e);
    }
}

int open_append(const std::string& path, const std::string& parent) {
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    // The directory almost always exists: create it (with its missing ancestors) only when the
    // open says it is not there.
    if (fd < 0 && errno == ENOENT && make_dirs(parent))
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    return fd;
}

// Exclusive lock on the open file, released by close(). Every writer holds it from its size check
// to the end of its write and any rotation, so writers in other processes cannot both see room
// for their line, or both rotate. Our writers hold it for microseconds, longer only when the
// scheduler preempts one inside; a lock still taken after kLockWaitNs belongs to something stuck,
// and the line is lost rather than the event loop stalled further.
enum class Lock { Held, Unsupported, Busy };
Lock lock_file(int fd) {
    constexpr long long kLockWaitNs = 100'000'000;
    auto now_ns = [] {
        struct timespec t;
        ::clock_gettime(CLOCK_MONOTONIC, &t);
        return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    };
    long long deadline = 0;
    long pause_ns = 20'000;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return Lock::Held;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return Lock::Unsupported;  // a file system without locks
        const long long t = now_ns();
        if (!deadline) deadline = t + kLockWaitNs;
        if (t >= deadline) return Lock::Busy;
        struct timespec pause{0, pause_ns};
        ::nanosleep(&pause, nullptr);
        pause_ns = std::min(pause_ns * 2, 2'000'000L);  // back off to 2 ms
    }
}

// A file a writer has rotated away loses its write permission bits before the rename, so a
// writer that opened it just before and waited for the lock sees from its fstat that its line
// belongs in the new file. Files that never had those bits are confirmed through the path.
constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;

bool is_at_path(const std::string& path, const struct stat& st) {
    struct stat cur;
    return ::stat(path.c_str(), &cur) == 0 && cur.st_dev == st.st_dev && cur.st_ino == st.st_ino;
}

bool write_all(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left) {
        ssize_t w = ::write(fd, p, left);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        left -= static_cast<size_t>(w);
    }
    return true;
}

// Appends `data` (one whole entry) to the trace file; false when the line is lost. Usual cost:
// open, flock, fstat, write, close. A rotation adds a stat, an fchmod and a rename, and the
// reopen of the new file.
bool append_entry(const std::string& path, const std::string& parent, const std::string& data, long long cap) {
    const std::string backup = path + ".1";
    // Each retry follows a rotation by this or another process; a few are plenty.
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int fd = open_append(path, parent);
        if (fd < 0) return false;
        const Lock lock = lock_file(fd);
        struct stat st;
        if (lock == Lock::Busy || ::fstat(fd, &st) != 0) {
            ::close(fd);
            return false;
        }
        // Not a regular file (a FIFO, /dev/null): no size to cap, nothing to rotate.
        if (!S_ISREG(st.st_mode)) {
            const bool ok = write_all(fd, data);
            ::close(fd);
            return ok;
        }
        if ((st.st_mode & kWriteBits) == 0 && !is_at_path(path, st)) {
            ::close(fd);  // rotated away while we waited: the line goes to the new file
            continue;
        }
        // A line that would take the file past the cap first moves the file to the one backup,
        // replacing the previous one. Only the file still at the path is moved: a stale handle
        // would otherwise rename a younger, smaller file over the full backup. A line longer
        // than the cap is written alone into an empty file.
        if (st.st_size > 0 && static_cast<long long>(st.st_size) + static_cast<long long>(data.size()) > cap) {
            if (!is_at_path(path, st)) {
                ::close(fd);
                continue;
            }
            (void)::fchmod(fd, st.st_mode & ~kWriteBits & 07777);
            const bool moved = ::rename(path.c_str(), backup.c_str()) == 0;
            if (!moved) (void)::fchmod(fd, st.st_mode & 07777);
            ::close(fd);
            if (!moved) return false;  // the line is lost rather than the cap
            continue;
        }
        const bool ok = write_all(fd, data);
        ::close(fd);
        return ok;
    }
    return false;
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
        if (data.empty()) {
            // Unencodable: the file is still opened (and so created), nothing is written.
            int fd = open_append(path, parent);
            if (fd >= 0) ::close(fd);
        } else {
            ok = append_entry(path, parent, data, cap);
        }
        Py_END_ALLOW_THREADS
        (void)ok;  // a lost line is never reported
    } catch (vx::Error& e) {
        discard_exception(e);
    }
}

// os.getpid() without its system call on every line. The cached value is used only while the
// module global `os` still resolves `getpid` to the posix module's own function (so a replaced
// os or getpid is called as before), and a child handler registered with pthread_atfork clears
// it in every forked child before any Python runs there.
pid_t g_cached_pid = 0;
bool g_atfork_registered = false;

void forget_pid() { g_cached_pid = 0; }

vx::Ref process_id() {
    vx::Ref os = G(VX_STR("os"));
    vx::Ref getpid = vx::getattr(os.get(), VX_STR("getpid"));
    PyObject* posix = PyImport_GetModule(VX_STR("posix"));  // new reference or NULL
    if (!posix && PyErr_Occurred()) vx::throw_error();
    vx::Ref posix_ref = vx::Ref::steal(posix);
    bool native = false;
    if (posix) {
        PyObject* own = nullptr;
        if (PyObject_GetOptionalAttr(posix, VX_STR("getpid"), &own) < 0) vx::throw_error();
        native = own == getpid.get();
        Py_XDECREF(own);
    }
    if (!native) return vx::check(PyObject_CallNoArgs(getpid.get()));
    if (!g_atfork_registered) {
        if (::pthread_atfork(nullptr, nullptr, forget_pid) != 0) return vx::check(PyObject_CallNoArgs(getpid.get()));
        g_atfork_registered = true;
    }
    if (!g_cached_pid) g_cached_pid = ::getpid();
    return vx::check(PyLong_FromLong(static_cast<long>(g_cached_pid)));
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
    vx::Ref pid = process_id();
    // The line with its newline, built once for both the print and the file.
    vx::Ref entry = vx::check(PyUnicode_FromFormat("%S pid=%S [QUILLON-TRACE] %U\n", stamp.get(), pid.get(), msg.get()));
    print_line(entry.get());
    append_to_file(entry.get());
}

vx::FuncSpec trace_quillon_spec{"_trace_quillon", "_trace_quillon", "写入不依赖 logging 配置的 Quillon 请求诊断信息。",
                                trace_params, 1, "None", vx::Ret::Any, false, trace_impl};

}  // namespace wardgate
