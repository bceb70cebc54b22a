"""Where the daily quota and the per-minute rate counters live.

- ``MemoryCounters``: this process only. The default, for a host that runs one process.
- ``SqliteCounters``: a file that every process on one host sees (the server's data folder).
  Each decision is one ``BEGIN IMMEDIATE`` transaction, so check-and-take is atomic across
  processes.
- ``RedisCounters``: a Redis server that every host sees. Each decision is one Lua script, which
  Redis runs atomically; keys expire with their UTC day or their window.

All three give the same answers for the same calls. ``now`` is the caller's wall clock (seconds
since the epoch), so hosts that share a store must keep their clocks in step (NTP). The server
installs its store with ``install`` when it builds the app; the wrappers read ``current()`` at
each use.
"""
from __future__ import annotations

import collections
import contextlib
import math
import os
import secrets
import sqlite3
import threading
import urllib.parse
from collections.abc import Iterator
import time
from datetime import date, datetime, timedelta, timezone
from pathlib import Path
from typing import Any, Protocol

from vexlo._sqlite import immediate_transaction

DB_NAME = "governance.sqlite3"
REDIS_PREFIX = "vexlo:"


class CounterStoreUnavailable(ConnectionError):
    """The shared counter store cannot answer; the run is refused rather than left ungoverned."""


class CounterStore(Protocol):
    # True when calls may wait on I/O or locks: async callers run them on a worker thread.
    blocking: bool

    def initialise(self) -> None:
        """Create what the store needs; CounterStoreUnavailable when it cannot answer."""

    def reserve(self, user: str, day: date, limit: int) -> int | None:
        """Take one unit of ``user``'s quota for ``day``; the units used afterwards, or None when spent."""

    def give_back(self, user: str, day: date) -> None:
        """Return one unit to ``day`` (never below zero)."""

    def usage(self, day: date) -> dict[str, int]:
        """Used units per user on ``day``, users with none left out."""

    def take_rate_slot(self, user: str, now: float, limit: int, window: float) -> int | None:
        """Record a run start at ``now``; None, or the whole seconds to wait when ``window`` holds ``limit``."""

    def reset(self) -> None:
        """Forget every counter."""

    def reset_rates(self) -> None:
        """Forget the run starts only."""

    def close(self) -> None: ...


def _retry_after(now: float, oldest: float | None, window: float) -> int:
    return max(1, math.ceil(window - (now - (now if oldest is None else oldest))))


def _day_end(day: date) -> int:
    """Epoch seconds of the midnight (UTC) that ends ``day``."""
    return int(datetime.combine(day + timedelta(days=1), datetime.min.time(), tzinfo=timezone.utc).timestamp())


class MemoryCounters:
    blocking = False

    def __init__(self) -> None:
        # Touched from the event loop, and from test or admin threads through the inspection helpers.
        self._lock = threading.Lock()
        self._quota: dict[tuple[str, date], int] = {}
        self._runs: dict[str, collections.deque[float]] = {}

    def reserve(self, user: str, day: date, limit: int) -> int | None:
        with self._lock:
            for key in [k for k in self._quota if k[1] < day]:
                del self._quota[key]  # earlier days are never read again
            used = self._quota.get((user, day), 0)
            if used >= limit:
                return None
            self._quota[(user, day)] = used + 1
            return used + 1

    def give_back(self, user: str, day: date) -> None:
        with self._lock:
            used = self._quota.get((user, day), 0)
            if used > 0:
                self._quota[(user, day)] = used - 1

    def usage(self, day: date) -> dict[str, int]:
        with self._lock:
            return {user: used for (user, d), used in self._quota.items() if d == day and used}

    def take_rate_slot(self, user: str, now: float, limit: int, window: float) -> int | None:
        with self._lock:
            runs = self._runs.setdefault(user, collections.deque())
            while runs and now - runs[0] >= window:
                runs.popleft()
            if len(runs) >= limit:
                return _retry_after(now, runs[0] if runs else None, window)
            runs.append(now)
            # Drop idle callers so the map does not grow with every session ever seen.
            for key in [k for k, v in self._runs.items() if not v or now - v[-1] >= window]:
                del self._runs[key]
            return None

    def reset(self) -> None:
        with self._lock:
            self._quota.clear()
            self._runs.clear()

    def reset_rates(self) -> None:
        with self._lock:
            self._runs.clear()

    def initialise(self) -> None:
        pass

    def close(self) -> None:
        pass


_SQLITE_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS quota_used (principal TEXT NOT NULL, day TEXT NOT NULL, used INTEGER NOT NULL,"
    " PRIMARY KEY (principal, day)) WITHOUT ROWID",
    "CREATE INDEX IF NOT EXISTS quota_used_day ON quota_used (day)",
    "CREATE TABLE IF NOT EXISTS rate_starts (principal TEXT NOT NULL, at REAL NOT NULL)",
    "CREATE INDEX IF NOT EXISTS rate_starts_principal ON rate_starts (principal, at)",
    "CREATE INDEX IF NOT EXISTS rate_starts_at ON rate_starts (at)",
)


class SqliteCounters:
    """Counters in ``<data folder>/governance.sqlite3``, shared by every process of the host."""

    blocking = True
    # Seconds a decision waits for another writer before the run is refused.
    busy_timeout = 10.0

    def __init__(self, data_dir: Path) -> None:
        self.path = Path(data_dir) / DB_NAME
        self._lock = threading.Lock()
        self._idle: list[sqlite3.Connection] = []
        self._pid = os.getpid()
        # Connections inherited through fork must be neither used nor closed by the child.
        self._inherited: list[sqlite3.Connection] = []

    def _open(self) -> sqlite3.Connection:
        conn = sqlite3.connect(self.path, timeout=self.busy_timeout, isolation_level=None, check_same_thread=False)
        # Counters may lose their last moments on power loss, never their consistency.
        conn.execute("PRAGMA synchronous=NORMAL")
        return conn

    @contextlib.contextmanager
    def _connection(self) -> Iterator[sqlite3.Connection]:
        with self._lock:
            if self._pid != os.getpid():
                self._inherited += self._idle
                self._idle = []
                self._pid = os.getpid()
            conn = self._idle.pop() if self._idle else None
        reusable = False
        try:
            if conn is None:
                conn = self._open()
            yield conn
            reusable = True
        except sqlite3.Error as exc:
            raise CounterStoreUnavailable(f"the counter store {self.path} failed: {exc}") from exc
        finally:
            if conn is not None:
                with self._lock:
                    # A connection that failed may be left inside a transaction: never hand it out again.
                    if reusable and self._pid == os.getpid():
                        self._idle.append(conn)
                        conn = None
                if conn is not None:
                    conn.close()

    @contextlib.contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        # Nobody can take a unit between our check and our write.
        with self._connection() as conn, immediate_transaction(conn):
            yield conn

    def initialise(self) -> None:
        with self._connection() as conn:
            # WAL lets readers and the one writer proceed together; the mode is kept in the file.
            conn.execute("PRAGMA journal_mode=WAL")
            conn.execute("BEGIN IMMEDIATE")
            for statement in _SQLITE_SCHEMA:
                conn.execute(statement)
            conn.execute("COMMIT")

    def reserve(self, user: str, day: date, limit: int) -> int | None:
        if limit <= 0:
            return None
        with self._transaction() as conn:
            conn.execute("DELETE FROM quota_used WHERE day < ?", (day.isoformat(),))
            row = conn.execute(
                "INSERT INTO quota_used (principal, day, used) VALUES (?, ?, 1)"
                " ON CONFLICT (principal, day) DO UPDATE SET used = used + 1 WHERE used < ? RETURNING used",
                (user, day.isoformat(), limit)).fetchone()
        return None if row is None else int(row[0])

    def give_back(self, user: str, day: date) -> None:
        with self._connection() as conn:
            conn.execute("UPDATE quota_used SET used = used - 1 WHERE principal = ? AND day = ? AND used > 0",
                         (user, day.isoformat()))

    def usage(self, day: date) -> dict[str, int]:
        with self._connection() as conn:
            rows = conn.execute("SELECT principal, used FROM quota_used WHERE day = ? AND used > 0",
                                (day.isoformat(),)).fetchall()
        return {user: int(used) for user, used in rows}

    def take_rate_slot(self, user: str, now: float, limit: int, window: float) -> int | None:
        with self._transaction() as conn:
            conn.execute("DELETE FROM rate_starts WHERE at <= ?", (now - window,))
            # Starts stamped by a clock that has since been set back would block for as long as it went back.
            conn.execute("DELETE FROM rate_starts WHERE principal = ? AND at > ?", (user, now + window))
            # Counting stops at the limit, so a decision costs no more than the limit's worth of rows.
            count, = conn.execute("SELECT count(*) FROM (SELECT 1 FROM rate_starts WHERE principal = ? LIMIT ?)",
                                  (user, limit)).fetchone()
            if count >= limit:
                oldest, = conn.execute("SELECT min(at) FROM rate_starts WHERE principal = ?", (user,)).fetchone()
                return _retry_after(now, oldest, window)
            conn.execute("INSERT INTO rate_starts (principal, at) VALUES (?, ?)", (user, now))
        return None

    def reset(self) -> None:
        with self._transaction() as conn:
            conn.execute("DELETE FROM quota_used")
            conn.execute("DELETE FROM rate_starts")

    def reset_rates(self) -> None:
        with self._transaction() as conn:
            conn.execute("DELETE FROM rate_starts")

    def close(self) -> None:
        with self._lock:
            idle, self._idle = self._idle, []
        for conn in idle:
            conn.close()


# KEYS[1] the user's counter of the day; ARGV limit, seconds to live.
_RESERVE_LUA = """
local used = tonumber(redis.call('GET', KEYS[1]) or '0')
if used >= tonumber(ARGV[1]) then return -1 end
used = redis.call('INCR', KEYS[1])
redis.call('EXPIRE', KEYS[1], ARGV[2])
return used
"""
_GIVE_BACK_LUA = """
if tonumber(redis.call('GET', KEYS[1]) or '0') > 0 then redis.call('DECR', KEYS[1]) end
return 0
"""
# KEYS[1] the user's sorted set of run starts; ARGV now (ms), limit, window (ms), a unique member.
# Returns -1 when the start is recorded, else the milliseconds until the oldest start leaves the window.
_RATE_LUA = """
local now = tonumber(ARGV[1])
local window = tonumber(ARGV[3])
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now - window)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '(' .. (now + window), '+inf')
local count = redis.call('ZCARD', KEYS[1])
if count >= tonumber(ARGV[2]) then
  if count == 0 then return window end
  local oldest = redis.call('ZRANGE', KEYS[1], 0, 0, 'WITHSCORES')
  return window - (now - tonumber(oldest[2]))
end
redis.call('ZADD', KEYS[1], now, ARGV[4])
redis.call('PEXPIRE', KEYS[1], window)
return -1
"""

# A day's counter outlives its day by this much, so that a run started just before midnight can
# still give its unit back; nothing reads it after that.
_DAY_GRACE_SECONDS = 3600


def redacted_url(url: str) -> str:
    """``url`` without its password, for messages."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    netloc = parts.netloc.rsplit("@", 1)[1]
    user = f"{parts.username}:" if parts.username else ":"
    return urllib.parse.urlunsplit(parts._replace(netloc=f"{user}***@{netloc}"))


class RedisCounters:
    """Counters in Redis, shared by every process of every host that uses the same server."""

    blocking = True

    def __init__(self, url: str, *, prefix: str = REDIS_PREFIX) -> None:
        import redis

        self.url = url
        self._prefix = prefix
        self._errors: tuple[type[BaseException], ...] = (redis.RedisError,)
        # Short timeouts: a run waits on Redis at most this long before it is refused with 502.
        self._client: Any = redis.Redis.from_url(url, socket_timeout=2.0, socket_connect_timeout=2.0,
                                                 health_check_interval=30)
        # Scripts go by SHA and are loaded again by the client after a Redis restart.
        self._reserve = self._client.register_script(_RESERVE_LUA)
        self._give_back = self._client.register_script(_GIVE_BACK_LUA)
        self._rate = self._client.register_script(_RATE_LUA)

    @contextlib.contextmanager
    def _guard(self) -> Iterator[None]:
        try:
            yield
        except self._errors as exc:
            raise CounterStoreUnavailable(f"the counter store {redacted_url(self.url)} failed: {exc}") from exc

    def _quota_key(self, user: str, day: date) -> str:
        return f"{self._prefix}quota:{day.isoformat()}:{user}"

    def initialise(self) -> None:
        with self._guard():
            self._client.ping()

    def reserve(self, user: str, day: date, limit: int) -> int | None:
        if limit <= 0:
            return None
        with self._guard():
            # Relative, and at least the grace: a day that a caller's clock names may already be over here.
            ttl = max(_DAY_GRACE_SECONDS, _day_end(day) + _DAY_GRACE_SECONDS - int(time.time()))
            used = int(self._reserve(keys=[self._quota_key(user, day)], args=[limit, ttl]))
        return None if used < 0 else used

    def give_back(self, user: str, day: date) -> None:
        with self._guard():
            self._give_back(keys=[self._quota_key(user, day)])

    def usage(self, day: date) -> dict[str, int]:
        head = self._quota_key("", day)
        with self._guard():
            keys = list(self._client.scan_iter(match=head + "*", count=500))
            values = self._client.mget(keys) if keys else []
        return {k.decode()[len(head):]: int(v) for k, v in zip(keys, values) if v is not None and int(v) > 0}

    def take_rate_slot(self, user: str, now: float, limit: int, window: float) -> int | None:
        with self._guard():
            wait_ms = int(self._rate(keys=[f"{self._prefix}rate:{user}"],
                                     args=[int(now * 1000), limit, int(window * 1000), secrets.token_hex(8)]))
        return None if wait_ms < 0 else max(1, math.ceil(wait_ms / 1000))

    def _delete(self, pattern: str) -> None:
        with self._guard():
            keys = list(self._client.scan_iter(match=self._prefix + pattern, count=500))
            if keys:
                self._client.delete(*keys)

    def reset(self) -> None:
        self._delete("quota:*")
        self._delete("rate:*")

    def reset_rates(self) -> None:
        self._delete("rate:*")

    def close(self) -> None:
        self._client.close()


_current: CounterStore = MemoryCounters()


def current() -> CounterStore:
    return _current


def install(store: CounterStore) -> CounterStore:
    """Make ``store`` the one every wrapper uses from now on; returns the one it replaces."""
    global _current
    previous, _current = _current, store
    return previous
