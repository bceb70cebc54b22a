"""Instructions per request under callgrind: a repeatable cross-check of the timed runs.

One valgrind process runs every workload. For each workload and implementation the child runs
SMALL requests, then LARGE requests, with a marker call (os.getppid, which nothing else here
calls) before, between and after; callgrind dumps its counters at every marker
(--dump-before=os_getppid), so each dump holds exactly one phase. Per request =
(Ir[LARGE] - Ir[SMALL]) / (LARGE - SMALL): fixed costs of a phase (the event loop's start and
stop, the run's own set-up) drop out. PYTHONHASHSEED=0 fixes string hashing; what is left to
vary is little (time-dependent values in trace lines and the cache check).

System calls are counted only up to the kernel boundary, so the traced path's file work shows
as much cheaper here than in wall-clock time.
"""
import gc
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

SMALL = 100
LARGE = 600
MARKER = "os_getppid"


def child(manifest_path):
    import cases

    gates = cases.load_gates()
    trace_dir = pathlib.Path(tempfile.mkdtemp(prefix="vexlo-bench-cg-"))
    cases.redirect_trace(gates, trace_dir)
    workloads = cases.gate_workloads(gates) + cases.mapping_workloads()
    markers = 0
    entries = []

    def mark():
        nonlocal markers
        os.getppid()
        markers += 1
        return markers

    try:
        for workload in workloads:
            for impl, run in workload.runs.items():
                run(50)  # warm: caches, interned strings, first-call allocations
                gc.collect()
                gc.disable()
                try:
                    mark()
                    run(SMALL)
                    small = mark()
                    run(LARGE)
                    large = mark()
                finally:
                    gc.enable()
                entries.append({"group": workload.group, "name": workload.name, "driver": workload.driver,
                                "impl": impl, "small_dump": small, "large_dump": large})
    finally:
        cases.close_runner()
        shutil.rmtree(trace_dir, ignore_errors=True)
    pathlib.Path(manifest_path).write_text(json.dumps({"markers": markers, "entries": entries}))


def _totals(path):
    text = path.read_text(errors="replace")
    found = re.search(r"^(?:totals|summary):\s*(\d+)", text, re.M)
    if not found:
        raise RuntimeError(f"no totals in {path}")
    return int(found.group(1))


def run(log=print):
    if not shutil.which("valgrind"):
        raise SystemExit("valgrind is not installed; --instructions needs it")
    with tempfile.TemporaryDirectory(prefix="vexlo-bench-cg-") as tmp:
        tmp = pathlib.Path(tmp)
        manifest = tmp / "manifest.json"
        cmd = ["valgrind", "--tool=callgrind", f"--dump-before={MARKER}",
               f"--callgrind-out-file={tmp}/cg.out", sys.executable, str(HERE / "instructions.py"),
               "--child", str(manifest)]
        env = dict(os.environ, PYTHONHASHSEED="0")
        log("instruction counts under callgrind (a few minutes)")
        done = subprocess.run(cmd, env=env, cwd=tmp, capture_output=True, text=True, timeout=3600)
        if done.returncode != 0 or not manifest.exists():
            raise SystemExit("callgrind run failed:\n" + done.stderr[-4000:])
        data = json.loads(manifest.read_text())
        dumps = {int(p.name.rsplit(".", 1)[1]): p for p in tmp.glob("cg.out.*")}
        if len(dumps) != data["markers"]:
            raise SystemExit(f"expected {data['markers']} callgrind dumps, found {len(dumps)}: "
                             "something else called the marker function")
        per_request = {}
        for e in data["entries"]:
            ir = (_totals(dumps[e["large_dump"]]) - _totals(dumps[e["small_dump"]])) / (LARGE - SMALL)
            per_request.setdefault((e["group"], e["name"], e["driver"]), {})[e["impl"]] = ir
    return report(per_request)


def report(per_request):
    lines = [
        "## Instructions per request (callgrind)",
        "",
        f"Ir per request = (Ir of {LARGE} requests - Ir of {SMALL} requests) / {LARGE - SMALL}, "
        "PYTHONHASHSEED=0. `+Ir` is gate minus bare app; lower ratio is better. For the result "
        "mapping, \"bare\" is the JSONResponse alone and \"baseline\" the plain-Python mapping.",
        "",
        "| workload | driver | native/baseline | native +Ir | baseline +Ir | bare Ir | native Ir | baseline Ir |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for (group, name, driver), ir in per_request.items():
        nat, base = ir["native"] - ir["bare"], ir["baseline"] - ir["bare"]
        ratio = f"{nat / base:.2f}" if base > 0 else "n/a"
        label = name if group == "gate" else f"result mapping: {name}"
        lines.append(f"| {label} | {driver} | {ratio} | {nat:,.0f} | {base:,.0f} | {ir['bare']:,.0f} "
                     f"| {ir['native']:,.0f} | {ir['baseline']:,.0f} |")
    return lines


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--child":
        child(sys.argv[2])
    else:
        raise SystemExit("run it through: python bench/run.py --instructions")
