"""A wall clock that only the test moves, installed as the gate module's `time`."""
from __future__ import annotations

import time as _time

import pytest


class WallClock:
    """Stands in for the `time` module: `time()` returns `now`; every other attribute
    (monotonic, perf_counter, sleep...) is the real module's, so timeouts and trace
    durations keep working while cache ages are exact."""

    def __init__(self, now=1_700_000_000.0):
        self.now = float(now)

    def time(self):
        return self.now

    def advance(self, seconds):
        self.now += seconds

    def __getattr__(self, name):
        return getattr(_time, name)


@pytest.fixture
def wall_clock(wg, monkeypatch):
    # The gate reads `time` as a module global at each call, so replacing the global is
    # enough, and leaves the process's own `time` module alone.
    clock = WallClock()
    monkeypatch.setattr(wg, "time", clock)
    return clock
