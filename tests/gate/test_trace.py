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
