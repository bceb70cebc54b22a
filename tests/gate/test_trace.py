"""The trace writer: one line to standard output and to the trace file."""
import io
import os
import re
import time
from datetime import datetime, timezone

import pytest

pytestmark = pytest.mark.baseline_too

LINE = re.compile(r"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+00:00) pid=(\d+) \[QUILLON-TRACE\] (.*)$",
                  re.DOTALL)


def file_text(wg):
    return wg._QUILLON_TRACE_FILE.read_bytes().decode("utf-8")


def test_one_line_to_stdout_and_file(wg, capsys):
    assert wg._trace_quillon("app_dispatch_start path=/api/v1/quillon/run") is None
    out = capsys.readouterr().out
    assert file_text(wg) == out
    assert out.endswith("\n") and out.count("\n") == 1
    _, pid, message = LINE.match(out[:-1]).groups()
    assert int(pid) == os.getpid()
    assert message == "app_dispatch_start path=/api/v1/quillon/run"


def test_timestamp_is_utc_whatever_the_local_zone(wg, capsys, monkeypatch):
    monkeypatch.setenv("TZ", "Asia/Kathmandu")
    time.tzset()
    try:
        wg._trace_quillon(message="x")
    finally:
        monkeypatch.undo()
        time.tzset()
    stamp = LINE.match(capsys.readouterr().out).group(1)
    assert abs((datetime.now(timezone.utc) - datetime.fromisoformat(stamp)).total_seconds()) < 30


def test_lines_are_appended_in_order(wg, capsys):
    wg._QUILLON_TRACE_FILE.parent.mkdir()
    wg._QUILLON_TRACE_FILE.write_text("earlier entry\n", "utf-8")
    wg._trace_quillon("first")
    wg._trace_quillon("route_enter 场景=中文")
    text = file_text(wg)
    assert text.startswith("earlier entry\n") and text.count("\n") == 3
    assert [line.split(" [QUILLON-TRACE] ", 1)[-1] for line in text.splitlines()] == [
        "earlier entry", "first", "route_enter 场景=中文"]
    assert "route_enter 场景=中文".encode() in wg._QUILLON_TRACE_FILE.read_bytes()


@pytest.mark.parametrize("message, written", [
    ("a\nb", "a\\nb"),
    ("a\r\nb\r", "a\\r\\nb\\r"),
    ("\n\n", "\\n\\n"),
    ("tab\there \\n stays", "tab\there \\n stays"),
    ("sep\u2028\x0b\x85kept", "sep\u2028\x0b\x85kept"),
    ("x" * 2000, "x" * 2000),
    ("y" * 2001 + "\n", "y" * 2000 + "...[+2 chars]"),
])
def test_line_breaks_cannot_split_an_entry(wg, capsys, message, written):
    wg._trace_quillon(message)
    out = capsys.readouterr().out
    assert file_text(wg) == out
    assert out.count("\n") == 1 and "\r" not in out
    assert LINE.match(out[:-1]).group(3) == written


def test_unwritable_location_still_prints(wg, capsys):
    wg._QUILLON_TRACE_FILE.parent.write_text("not a directory")
    assert wg._trace_quillon("lost on disk") is None
    assert capsys.readouterr().out.endswith(" [QUILLON-TRACE] lost on disk\n")
    assert wg._QUILLON_TRACE_FILE.parent.read_text() == "not a directory"


def test_broken_stdout_still_writes_file(wg, monkeypatch):
    closed = io.StringIO()
    closed.close()
    monkeypatch.setattr("sys.stdout", closed)
    assert wg._trace_quillon("kept on disk") is None
    assert file_text(wg).endswith(" [QUILLON-TRACE] kept on disk\n")


@pytest.mark.parametrize("message", [None, b"x", 1, type("S", (str,), {})("x")],
                         ids=["None", "bytes", "int", "str-subclass"])
def test_message_must_be_str(wg, capsys, message):
    with pytest.raises(TypeError) as info:
        wg._trace_quillon(message)
    assert str(info.value) == (
        f"Argument 'message' has incorrect type (expected str, got {type(message).__name__})")
    assert capsys.readouterr().out == ""
    assert not wg._QUILLON_TRACE_FILE.parent.exists()


LONG = "/api/v1/quillon/run/" + "a" * 15_000


@pytest.mark.parametrize("path, headers, query, cut", [
    (LONG, [], b"", len(LONG) - 160),
    ("/api/v1/quillon/run", [(b"x-" + b"h" * 20_000, b"1")], b"", len("authorization,x-") + 20_000 - 160),
    ("/api/v1/quillon/run", [], b"k" * 30_000 + b"=1", 30_000 - 160),
    ("/api/v1/quillon/run", [(b"x-%d" % i, b"1") for i in range(3_000)], b"", None),
], ids=["path", "header-name", "query-key", "many-headers"])
def test_unauthenticated_requests_write_bounded_lines(wg, make_gate, asgi, capsys, path, headers, query, cut):
    # Client-chosen values are cut with a marker, so a request without a valid key adds under a
    # kilobyte to the trace file however long its path, header names or query keys.
    gate = make_gate(api_key="tok")
    ex = asgi.Exchange(asgi.scope(path, headers=[(b"authorization", b"Bearer wrong"), *headers], query=query))
    asgi.run(gate, ex)
    assert ex.status == 401
    written = wg._QUILLON_TRACE_FILE.read_bytes()
    assert len(written) <= 1024, len(written)
    marker = f"...[+{cut} chars]" if cut is not None else "...[+"
    assert marker in written.decode("utf-8").splitlines()[0]


@pytest.mark.parametrize("cap", ["600", "1"])
def test_file_rotates_to_one_backup_under_the_cap(wg, capsys, monkeypatch, cap):
    monkeypatch.setenv("VEXLO_TRACE_MAX_BYTES", cap)
    backup = wg._QUILLON_TRACE_FILE.with_name(wg._QUILLON_TRACE_FILE.name + ".1")
    for i in range(40):
        wg._trace_quillon(f"line {i:02d} " + "z" * 80)
        # A line longer than the cap stands alone in the file.
        size = wg._QUILLON_TRACE_FILE.stat().st_size
        assert size <= int(cap) or file_text(wg).count("\n") == 1
    assert file_text(wg).endswith("line 39 " + "z" * 80 + "\n")
    assert backup.exists() and sorted(p.name for p in backup.parent.iterdir()) == [
        "quillon-trace.log", "quillon-trace.log.1"]
    assert "line 38 " in (file_text(wg) + backup.read_text("utf-8"))
    assert capsys.readouterr().out.count("\n") == 40


@pytest.mark.parametrize("value", ["", "0", "-5", "lots", "12abc"])
def test_unusable_cap_setting_keeps_the_default(wg, capsys, monkeypatch, value):
    monkeypatch.setenv("VEXLO_TRACE_MAX_BYTES", value)
    for i in range(20):
        wg._trace_quillon("kept " + "q" * 200)
    assert file_text(wg).count("\n") == 20
