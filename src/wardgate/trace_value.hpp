// Bounding what a traced value puts into a trace line. Paths, header names and query keys come
// from unauthenticated clients, so a value is cut, with a marker saying how much was left out.
// Header-only: the router module, a separate library, traces its values the same way.
#pragma once
#include "vx/vx.hpp"

namespace wardgate {

// Characters of a value kept in a line: enough for any real path, while one request's lines
// (a value appears in up to three of them) stay under a kilobyte.
inline constexpr Py_ssize_t kTraceValueChars = 160;

// str(value) as %S formats it, cut to kTraceValueChars characters plus "...[+N chars]".
inline vx::Ref trace_value(PyObject* value) {
    vx::Ref text = PyUnicode_CheckExact(value) ? vx::Ref::borrow(value) : vx::str(value);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text.get());
    if (n <= kTraceValueChars) return text;
    vx::Ref head = vx::check(PyUnicode_Substring(text.get(), 0, kTraceValueChars));
    return vx::check(PyUnicode_FromFormat("%U...[+%zd chars]", head.get(), n - kTraceValueChars));
}

}  // namespace wardgate
