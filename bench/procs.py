"""Server processes of the benchmarks: each runs in a session of its own, so a stop reaches its
workers too."""
from __future__ import annotations

import os
import signal
import subprocess


def stop_group(proc: subprocess.Popen, grace: float) -> None:
    """SIGTERM to the process group, SIGKILL when it has not ended within ``grace`` seconds."""
    if proc.poll() is not None:
        return
    os.killpg(proc.pid, signal.SIGTERM)
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
