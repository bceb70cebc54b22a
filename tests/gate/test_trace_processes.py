"""The trace file shared by several processes: rotation stays safe when writers race."""
import os
import subprocess
import sys
import textwrap
import time

import pytest

WRITERS = 4
LINES = 1500

_WRITER = textwrap.dedent("""
    import pathlib, sys
    import vexlo.mcp.wardgate as wg
    wg._QUILLON_TRACE_FILE = pathlib.Path(sys.argv[1])
    sys.stdin.readline()  # start together
    for i in range(int(sys.argv[2])):
        wg._trace_quillon(f"w{sys.argv[3]} line {i:05d} " + "x" * (40 + i % 50))
""")


# A small cap rotates every ~100 lines; a large one never, so every line must be there.
@pytest.mark.parametrize("cap", [8192, 1 << 30])
def test_racing_writers_never_exceed_the_cap_nor_shrink_the_backup(tmp_path, cap):
    path = tmp_path / ".tmp" / "quillon-trace.log"
    backup = path.with_name(path.name + ".1")
    env = dict(os.environ, VEXLO_TRACE_MAX_BYTES=str(cap))
    procs = [subprocess.Popen([sys.executable, "-c", _WRITER, str(path), str(LINES), str(w)], env=env,
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
             for w in range(WRITERS)]
    for p in procs:
        p.stdin.write("go\n")
        p.stdin.flush()
    longest = len("2026-12-09T21:00:00.000+00:00 pid=4194304 [QUILLON-TRACE] w0 line 00000 ") + 90
    bad = []
    deadline = time.monotonic() + 60
    while any(p.poll() is None for p in procs) and time.monotonic() < deadline:
        for f, low in ((path, 0), (backup, cap - longest)):
            try:
                size = f.stat().st_size
            except FileNotFoundError:
                continue
            if not low <= size <= cap:
                bad.append((f.name, size))
    for p in procs:
        p.stdin.close()
        assert p.wait(timeout=60) == 0
    assert bad == []
    text = (backup.read_text("utf-8") if backup.exists() else "") + path.read_text("utf-8")
    lines = text.splitlines()
    assert text.endswith("\n") and all(" [QUILLON-TRACE] w" in line for line in lines)  # none torn
    if cap > 1 << 20:
        assert not backup.exists() and len(lines) == WRITERS * LINES
    else:
        assert path.stat().st_size <= cap and cap - longest <= backup.stat().st_size <= cap


_FORKING = textwrap.dedent("""
    import os, pathlib, sys
    import vexlo.mcp.wardgate as wg
    wg._QUILLON_TRACE_FILE = pathlib.Path(sys.argv[1])
    wg._trace_quillon("parent")
    pid = os.fork()
    if pid == 0:
        wg._trace_quillon("child")
        os._exit(0)
    os.waitpid(pid, 0)
    print(os.getpid(), pid)
""")


@pytest.mark.parametrize("how", ["fork", "patched getpid"])
def test_each_line_names_the_process_that_wrote_it(wg, monkeypatch, capsys, how):
    path = wg._QUILLON_TRACE_FILE
    if how == "fork":  # in a fresh interpreter: a fork inside the test run would copy its threads
        out = subprocess.run([sys.executable, "-c", _FORKING, str(path)], capture_output=True, text=True,
                             check=True, timeout=60).stdout
        me, expected = (int(v) for v in out.split()[-2:])
    else:
        me, expected = os.getpid(), 424242
        wg._trace_quillon("parent")  # the real id may be remembered from here on
        monkeypatch.setattr(os, "getpid", lambda: 424242)
        wg._trace_quillon("child")
    lines = path.read_text("utf-8").splitlines()
    assert [line.rsplit(" ", 1)[1] for line in lines] == ["parent", "child"]
    assert f" pid={me} " in lines[0] and f" pid={expected} " in lines[1]


def test_a_file_locked_by_something_else_costs_the_line_not_the_caller(wg, capsys):
    import fcntl

    path = wg._QUILLON_TRACE_FILE
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "a") as holder:
        fcntl.flock(holder, fcntl.LOCK_EX)
        started = time.monotonic()
        wg._trace_quillon("while locked")
        assert time.monotonic() - started < 1.0
    wg._trace_quillon("after")
    assert capsys.readouterr().out.count("\n") == 2
    assert [line.rsplit(" ", 1)[1] for line in path.read_text("utf-8").splitlines()] == ["after"]
