"""Where the daily quota and the per-minute rate counters live.

- ``MemoryCounters``: this process only. The default, for a host that runs one process.
- ``SqliteCounters``: a file that every process on one host sees (the server's data folder).
  Each decision is one ``BEGIN IMMEDIATE`` transaction, so check-and-take is atomic across
  processes.
- ``RedisCounters``: a Redis server that every host sees. Each decision is one Lua script, which
  Redis runs atomically; keys expire with their UTC day or their window.

A run asks the store once (``decide``): its quota unit and its rate slot are taken together or
not at all. Every decision carries a ``Ticket`` with a unique id and a deadline, so that a
decision the caller gave up on (cancelled, timed out, store unreachable) holds nothing however
late the store applies it: ``abandon`` undoes it if it was applied and, where the store may still
apply it later (Redis), leaves a tombstone that makes the late write a no-op.

All three give the same answers for the same calls. ``now`` is the caller's wall clock (seconds
since the epoch), so hosts that share a store must keep their clocks in step (NTP). The server
installs its store with ``install`` when it builds the app; the wrappers read ``current()`` at
each use.
"""
from __future__ import annotations

import asyncio
import collections
import logging
import math
import os
import queue
import secrets
import sqlite3
import threading
import time
import urllib.parse
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from datetime import date, datetime, timedelta, timezone
from pathlib import Path
from typing import Any, NamedTuple, Protocol

DB_NAME = "governance.sqlite3"
REDIS_PREFIX = "vexlo:"

# Seconds a run waits for the store's decision before it is refused (502). Read at each decision.
DECISION_TIMEOUT = 5.0
# How long a process keeps trying to give a unit back to a store that does not answer.
RELEASE_PERSISTENCE = 600.0
# Give-backs a process keeps pending while its store does not answer; beyond, the unit is logged
# and left for the day rather than memory growing without bound.
MAX_PENDING_RELEASES = 10_000

_logger = logging.getLogger("vexlo.mcp")


class CounterStoreUnavailable(ConnectionError):
    """The shared counter store cannot answer; the run is refused rather than left ungoverned."""


class Decision(NamedTuple):
    # "taken": the unit and the slot are the run's; "quota" or "rate": refused, nothing taken.
    outcome: str
    used: int = 0
    retry_after: int = 0


TAKEN = "taken"
QUOTA_SPENT = "quota"
RATE_LIMITED = "rate"

# Ticket states, moved under the ticket's lock.
_PENDING, _COMMITTING, _APPLIED, _NOT_APPLIED = range(4)


@dataclass(eq=False)
class Ticket:
    """One run's request to the store: its quota unit (``quota_limit``) and rate slot (``rate_limit``);
    a limit of None leaves that counter alone."""

    user: str
    day: date
    quota_limit: int | None
    rate_limit: int | None = None
    now: float = 0.0
    window: float = 60.0
    id: str = field(default_factory=lambda: secrets.token_hex(8))
    # Monotonic instant after which the store must not apply the decision any more.
    deadline: float = 0.0
    state: int = _PENDING
    abandoned: bool = False
    lock: threading.Lock = field(default_factory=threading.Lock, repr=False)

    def start_clock(self) -> None:
        self.deadline = time.monotonic() + DECISION_TIMEOUT

    def remaining(self) -> float:
        return self.deadline - time.monotonic()


class CounterStore(Protocol):
    def initialise(self) -> None:
        """Create what the store needs; CounterStoreUnavailable when it cannot answer."""

    async def decide(self, ticket: Ticket) -> Decision:
        """Take ``ticket``'s unit and slot together, or neither; CounterStoreUnavailable when the store
        cannot answer within the ticket's deadline. However this ends (cancellation included), a
        decision that is not returned is abandoned."""

    def give_back(self, ticket: Ticket) -> Awaitable[None] | None:
        """Return the quota unit of an applied ticket (the run started: its rate slot stays). The work
        goes on whether or not the caller awaits what is returned; it never raises."""

    def abandon(self, ticket: Ticket) -> None:
        """Undo whatever the ticket took, now or when its decision lands; never awaits, never raises."""

    def usage(self, day: date) -> dict[str, int]:
        """Used units per user on ``day``, users with none left out."""

    async def settle(self) -> None:
        """Wait until the give-backs started so far are done (or given up)."""

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


# Decisions between two sweeps of idle callers' rate records.
_SWEEP_EVERY = 512


class MemoryCounters:
    def __init__(self) -> None:
        # Touched from the event loop, and from test or admin threads through the inspection helpers.
        self._lock = threading.Lock()
        self._quota: dict[tuple[str, date], int] = {}
        # Per caller, its run starts in the window: (time, ticket id), oldest first.
        self._runs: dict[str, collections.deque[tuple[float, str]]] = {}
        self._latest_day: date | None = None
        self._decisions = 0

    def decide_now(self, ticket: Ticket) -> Decision:
        with self._lock:
            if ticket.abandoned:
                raise CounterStoreUnavailable("the run gave its decision up")
            used = 0
            if ticket.quota_limit is not None:
                if self._latest_day is None or ticket.day > self._latest_day:
                    self._latest_day = ticket.day
                    # Yesterday stays: a run stamped just before midnight still counts against its own day.
                    for key in [k for k in self._quota if k[1] < ticket.day - timedelta(days=1)]:
                        del self._quota[key]
                used = self._quota.get((ticket.user, ticket.day), 0)
                if used >= ticket.quota_limit:
                    return Decision(QUOTA_SPENT)
            if ticket.rate_limit is not None:
                now, window = ticket.now, ticket.window
                runs = self._runs.get(ticket.user)
                if runs is None:
                    runs = self._runs[ticket.user] = collections.deque()
                # Starts leave in the order they came: the window is kept, never counted.
                while runs and now - runs[0][0] >= window:
                    runs.popleft()
                # Starts stamped by a clock that has since been set back would block for as long as it went back.
                while runs and runs[-1][0] > now + window:
                    runs.pop()
                if len(runs) >= ticket.rate_limit:
                    return Decision(RATE_LIMITED, retry_after=_retry_after(now, runs[0][0] if runs else None, window))
                runs.append((now, ticket.id))
                self._decisions += 1
                if self._decisions % _SWEEP_EVERY == 0:
                    # Drop idle callers so the map does not grow with every session ever seen.
                    for idle in [k for k, v in self._runs.items() if not v or now - v[-1][0] >= window]:
                        del self._runs[idle]
            if ticket.quota_limit is not None:
                used += 1
                self._quota[(ticket.user, ticket.day)] = used
            ticket.state = _APPLIED
            return Decision(TAKEN, used)

    async def decide(self, ticket: Ticket) -> Decision:
        # Nothing here suspends, so a decision is never left half-way by a cancellation.
        return self.decide_now(ticket)

    def _undo(self, ticket: Ticket, rate_too: bool) -> None:
        with self._lock:
            if ticket.state != _APPLIED:
                return
            ticket.state = _NOT_APPLIED
            if ticket.quota_limit is not None:
                used = self._quota.get((ticket.user, ticket.day), 0)
                if used > 0:
                    self._quota[(ticket.user, ticket.day)] = used - 1
            runs = self._runs.get(ticket.user)
            if rate_too and ticket.rate_limit is not None and runs and (ticket.now, ticket.id) in runs:
                runs.remove((ticket.now, ticket.id))

    def give_back(self, ticket: Ticket) -> None:
        self._undo(ticket, rate_too=False)

    def abandon(self, ticket: Ticket) -> None:
        ticket.abandoned = True
        self._undo(ticket, rate_too=True)

    def usage(self, day: date) -> dict[str, int]:
        with self._lock:
            return {user: used for (user, d), used in self._quota.items() if d == day and used}

    async def settle(self) -> None:
        pass

    def reset(self) -> None:
        with self._lock:
            self._quota.clear()
            self._runs.clear()
            self._latest_day = None

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
    # A caller's run starts in the window, and how many there are: a decision removes the starts that
    # left the window and compares the count, never counting history. ``last`` lets idle callers be swept.
    "CREATE TABLE IF NOT EXISTS rate_window (principal TEXT NOT NULL, at REAL NOT NULL, ticket TEXT NOT NULL,"
    " PRIMARY KEY (principal, at, ticket)) WITHOUT ROWID",
    "CREATE TABLE IF NOT EXISTS rate_count (principal TEXT PRIMARY KEY, n INTEGER NOT NULL, last REAL NOT NULL)"
    " WITHOUT ROWID",
)
# Commits on the event loop's connection between two checkpoints, which the store thread runs.
_CHECKPOINT_EVERY = 256


# Work for the store thread, and what to call with its result or error.
_Job = tuple[Callable[[sqlite3.Connection], Any], Callable[[Any, "BaseException | None"], None]]


def _is_busy(exc: sqlite3.Error) -> bool:
    return getattr(exc, "sqlite_errorcode", None) in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)


class SqliteCounters:
    """Counters in ``<data folder>/governance.sqlite3``, shared by every process of the host.

    A decision is first tried on the event loop's own connection without waiting for the write lock
    (WAL, synchronous=NORMAL: a commit is a write to the page cache, tens of microseconds). Only when
    another process holds the lock does it go to the store's one thread, which waits for the lock at
    most until the ticket's deadline: one hop, one wait, never a queue of waits.
    """

    def __init__(self, data_dir: Path) -> None:
        self.path = Path(data_dir) / DB_NAME
        self._lock = threading.Lock()
        self._local = threading.local()
        self._pid = os.getpid()
        self._jobs: queue.SimpleQueue[_Job | None] = queue.SimpleQueue()
        self._thread: threading.Thread | None = None
        self._loop_commits = 0
        self._decisions = 0
        self._releases = 0
        # Connections of this process; the ones inherited through fork are neither used nor closed.
        self._conns: list[sqlite3.Connection] = []

    # -- connections -------------------------------------------------------------------------

    def _open(self, busy_ms: int) -> sqlite3.Connection:
        conn = sqlite3.connect(self.path, timeout=busy_ms / 1000, isolation_level=None, check_same_thread=False)
        # Counters may lose their last moments on power loss, never their consistency.
        conn.execute("PRAGMA synchronous=NORMAL")
        with self._lock:
            self._conns.append(conn)
        return conn

    def _check_pid(self) -> None:
        if self._pid != os.getpid():
            with self._lock:
                if self._pid != os.getpid():
                    self._pid = os.getpid()
                    self._conns = []
                    self._local = threading.local()
                    self._jobs = queue.SimpleQueue()
                    self._thread = None
                    self._releases = 0

    def _loop_conn(self) -> sqlite3.Connection:
        self._check_pid()
        conn = getattr(self._local, "conn", None)
        if conn is None:
            conn = self._open(0)
            # A checkpoint may wait on the disk: the store thread runs them, never the event loop.
            conn.execute("PRAGMA wal_autocheckpoint=0")
            self._local.conn = conn
        return conn

    def _drop_loop_conn(self) -> None:
        conn = getattr(self._local, "conn", None)
        self._local.conn = None
        if conn is not None:
            self._forget(conn)

    def _forget(self, conn: sqlite3.Connection) -> None:
        with self._lock:
            if conn in self._conns:
                self._conns.remove(conn)
        conn.close()

    def _failure(self, exc: BaseException) -> CounterStoreUnavailable:
        return CounterStoreUnavailable(f"the counter store {self.path} failed: {exc}")

    # -- the store thread ----------------------------------------------------------------------

    def _submit(self, work: Callable[[sqlite3.Connection], Any],
                done: Callable[[Any, BaseException | None], None]) -> None:
        self._check_pid()
        with self._lock:
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._serve, args=(self._jobs,), name="vexlo-counters",
                                                daemon=True)
                self._thread.start()
        self._jobs.put((work, done))

    def _serve(self, jobs: queue.SimpleQueue[Any]) -> None:
        conn: sqlite3.Connection | None = None
        while True:
            job = jobs.get()
            if job is None:
                break
            work, done = job
            try:
                if conn is None:
                    conn = self._open(0)
                result, error = work(conn), None
            except BaseException as exc:  # handed to the waiter, never lost in the thread
                result, error = None, exc
                if isinstance(exc, sqlite3.Error) and conn is not None and conn.in_transaction:
                    # A connection left inside a failed transaction is not used again.
                    self._forget(conn)
                    conn = None
            try:
                done(result, error)
            except Exception:
                _logger.exception("counter store callback failed")
        if conn is not None:
            self._forget(conn)

    def _in_thread(self, work: Callable[[sqlite3.Connection], Any]) -> asyncio.Future[Any]:
        loop = asyncio.get_running_loop()
        future: asyncio.Future[Any] = loop.create_future()

        def deliver(result: Any, error: BaseException | None) -> None:
            def settle() -> None:
                if future.done():
                    return
                if error is not None:
                    future.set_exception(error)
                else:
                    future.set_result(result)
            try:
                loop.call_soon_threadsafe(settle)
            except RuntimeError:
                pass  # the loop is gone; nobody waits any more

        self._submit(work, deliver)
        return future

    # -- transactions --------------------------------------------------------------------------

    def _apply(self, conn: sqlite3.Connection, ticket: Ticket) -> Decision:
        """Inside a write transaction: the decision's reads and writes."""
        day = ticket.day.isoformat()
        used = 0
        if ticket.quota_limit is not None:
            row = conn.execute("SELECT used FROM quota_used WHERE principal = ? AND day = ?",
                               (ticket.user, day)).fetchone()
            used = int(row[0]) if row else 0
            if used >= ticket.quota_limit:
                return Decision(QUOTA_SPENT)
        if ticket.rate_limit is not None:
            user, now, window = ticket.user, ticket.now, ticket.window
            row = conn.execute("SELECT n FROM rate_count WHERE principal = ?", (user,)).fetchone()
            count = counted = int(row[0]) if row else 0
            if count:
                count -= conn.execute("DELETE FROM rate_window WHERE principal = ? AND at <= ?",
                                      (user, now - window)).rowcount
                # Starts stamped by a clock that has since been set back would block for as long as it went back.
                count -= conn.execute("DELETE FROM rate_window WHERE principal = ? AND at > ?",
                                      (user, now + window)).rowcount
            if count >= ticket.rate_limit:
                if count != counted:
                    conn.execute("UPDATE rate_count SET n = ? WHERE principal = ?", (count, user))
                oldest = conn.execute("SELECT min(at) FROM rate_window WHERE principal = ?", (user,)).fetchone()[0]
                return Decision(RATE_LIMITED, retry_after=_retry_after(now, oldest, window))
            conn.execute("INSERT INTO rate_window (principal, at, ticket) VALUES (?, ?, ?)", (user, now, ticket.id))
            conn.execute("INSERT INTO rate_count (principal, n, last) VALUES (?, ?, ?) ON CONFLICT (principal)"
                         " DO UPDATE SET n = excluded.n, last = max(last, excluded.last)", (user, count + 1, now))
            self._decisions += 1
            if self._decisions % _SWEEP_EVERY == 0:
                # Callers whose every start has left the window.
                conn.execute("DELETE FROM rate_window WHERE principal IN"
                             " (SELECT principal FROM rate_count WHERE last <= ?)", (now - window,))
                conn.execute("DELETE FROM rate_count WHERE last <= ?", (now - window,))
        if ticket.quota_limit is not None:
            used += 1
            conn.execute("INSERT INTO quota_used (principal, day, used) VALUES (?, ?, 1)"
                         " ON CONFLICT (principal, day) DO UPDATE SET used = used + 1", (ticket.user, day))
            # Yesterday stays: a run stamped just before midnight may still commit, or give back.
            conn.execute("DELETE FROM quota_used WHERE day < ?", ((ticket.day - timedelta(days=1)).isoformat(),))
        return Decision(TAKEN, used)

    def _transaction(self, conn: sqlite3.Connection, ticket: Ticket) -> Decision | None:
        """The decision as one transaction; None when the ticket was abandoned or is past its deadline
        (nothing written)."""
        conn.execute("BEGIN IMMEDIATE")
        try:
            if ticket.remaining() <= 0:
                conn.execute("ROLLBACK")
                return None
            decision = self._apply(conn, ticket)
            with ticket.lock:
                if ticket.abandoned:
                    conn.execute("ROLLBACK")
                    ticket.state = _NOT_APPLIED
                    return None
                ticket.state = _COMMITTING if decision.outcome == TAKEN else _NOT_APPLIED
            conn.execute("COMMIT")
        except BaseException:
            with ticket.lock:
                if ticket.state == _COMMITTING:
                    ticket.state = _NOT_APPLIED
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            raise
        with ticket.lock:
            if ticket.state == _COMMITTING:
                ticket.state = _APPLIED
            late = ticket.abandoned and ticket.state == _APPLIED
        if late:
            # Abandoned while the commit ran: undone right after it, from here.
            self._release(ticket, rate_too=True)
        return decision

    def _undo_in(self, conn: sqlite3.Connection, ticket: Ticket, rate_too: bool) -> None:
        conn.execute("BEGIN IMMEDIATE")
        try:
            if ticket.quota_limit is not None:
                conn.execute("UPDATE quota_used SET used = used - 1 WHERE principal = ? AND day = ? AND used > 0",
                             (ticket.user, ticket.day.isoformat()))
            if rate_too and ticket.rate_limit is not None:
                if conn.execute("DELETE FROM rate_window WHERE principal = ? AND at = ? AND ticket = ?",
                                (ticket.user, ticket.now, ticket.id)).rowcount:
                    conn.execute("UPDATE rate_count SET n = n - 1 WHERE principal = ? AND n > 0", (ticket.user,))
        except BaseException:
            conn.execute("ROLLBACK")
            raise
        conn.execute("COMMIT")

    # -- the interface -------------------------------------------------------------------------

    def initialise(self) -> None:
        try:
            conn = sqlite3.connect(self.path, timeout=DECISION_TIMEOUT, isolation_level=None)
            try:
                # WAL lets readers and the one writer proceed together; the mode is kept in the file.
                conn.execute("PRAGMA journal_mode=WAL")
                conn.execute("BEGIN IMMEDIATE")
                for statement in _SQLITE_SCHEMA:
                    conn.execute(statement)
                conn.execute("COMMIT")
            finally:
                conn.close()
        except sqlite3.Error as exc:
            raise self._failure(exc) from exc

    async def decide(self, ticket: Ticket) -> Decision:
        if not ticket.deadline:
            ticket.start_clock()
        try:
            conn = self._loop_conn()
            try:
                decision = self._transaction(conn, ticket)
            except sqlite3.Error as exc:
                if not _is_busy(exc):
                    self._drop_loop_conn()
                    raise
                decision = await self._decide_in_thread(ticket)
            if decision is None:
                raise CounterStoreUnavailable(f"the counter store {self.path} did not answer within "
                                              f"{DECISION_TIMEOUT:g} s")
            if decision.outcome == TAKEN:
                self._maybe_checkpoint()
            return decision
        except sqlite3.Error as exc:
            self.abandon(ticket)
            raise self._failure(exc) from exc
        except BaseException:
            self.abandon(ticket)
            raise

    async def _decide_in_thread(self, ticket: Ticket) -> Decision | None:
        def work(conn: sqlite3.Connection) -> Decision | None:
            remaining = ticket.remaining()
            if remaining <= 0 or ticket.abandoned:
                return None
            # One wait for the lock, bounded by what is left of the run's own deadline.
            conn.execute(f"PRAGMA busy_timeout={max(1, int(remaining * 1000))}")
            return self._transaction(conn, ticket)

        future = self._in_thread(work)
        try:
            # The thread stops waiting for the lock at the deadline; the margin covers a slow commit.
            async with asyncio.timeout(max(0.0, ticket.remaining()) + 0.25):
                decision: Decision | None = await future
                return decision
        except TimeoutError:
            return None

    def _maybe_checkpoint(self) -> None:
        self._loop_commits += 1
        if self._loop_commits % _CHECKPOINT_EVERY == 0:
            def work(conn: sqlite3.Connection) -> None:
                conn.execute("PRAGMA wal_checkpoint(PASSIVE)")
            def report(result: Any, error: BaseException | None) -> None:
                if error is not None:
                    _logger.warning("counter store checkpoint failed: %s", error)
            self._submit(work, report)

    def _release(self, ticket: Ticket, rate_too: bool, on_done: Callable[[], None] | None = None) -> None:
        """Undo an applied ticket on the store thread (after anything queued before it). While the file
        cannot be written it is tried again later, never by holding the thread."""
        give_up = time.monotonic() + RELEASE_PERSISTENCE
        with self._lock:
            self._releases += 1

        def work(conn: sqlite3.Connection) -> None:
            with ticket.lock:
                if ticket.state != _APPLIED:
                    return
            conn.execute(f"PRAGMA busy_timeout={int(DECISION_TIMEOUT * 1000)}")
            self._undo_in(conn, ticket, rate_too)
            with ticket.lock:
                ticket.state = _NOT_APPLIED  # the thread runs one job at a time: undone once

        def done(result: Any, error: BaseException | None) -> None:
            if isinstance(error, sqlite3.Error) and time.monotonic() < give_up:
                retry = threading.Timer(0.5, self._submit, (work, done))
                retry.daemon = True
                retry.start()
                return
            if error is not None:
                _logger.warning("could not give a quota unit back to %s: %s", ticket.user, error)
            with self._lock:
                self._releases -= 1
            if on_done is not None:
                on_done()

        self._submit(work, done)

    def give_back(self, ticket: Ticket) -> Awaitable[None] | None:
        loop = asyncio.get_running_loop()
        future: asyncio.Future[None] = loop.create_future()

        def finished() -> None:
            try:
                loop.call_soon_threadsafe(_resolve, future)
            except RuntimeError:
                pass  # the loop is gone; nobody waits any more

        self._release(ticket, rate_too=False, on_done=finished)
        return future

    def abandon(self, ticket: Ticket) -> None:
        with ticket.lock:
            ticket.abandoned = True
            applied = ticket.state == _APPLIED
        if applied:
            self._release(ticket, rate_too=True)

    async def settle(self) -> None:
        while True:
            with self._lock:
                if not self._releases:
                    return
            await asyncio.sleep(0.01)

    def _admin(self, work: Callable[[sqlite3.Connection], Any]) -> Any:
        try:
            conn = sqlite3.connect(self.path, timeout=DECISION_TIMEOUT, isolation_level=None)
            try:
                return work(conn)
            finally:
                conn.close()
        except sqlite3.Error as exc:
            raise self._failure(exc) from exc

    def usage(self, day: date) -> dict[str, int]:
        rows = self._admin(lambda conn: conn.execute(
            "SELECT principal, used FROM quota_used WHERE day = ? AND used > 0", (day.isoformat(),)).fetchall())
        return {user: int(used) for user, used in rows}

    def _clear(self, tables: tuple[str, ...]) -> None:
        def work(conn: sqlite3.Connection) -> None:
            conn.execute("BEGIN IMMEDIATE")
            for table in tables:
                conn.execute(f"DELETE FROM {table}")
            conn.execute("COMMIT")
        self._admin(work)

    def reset(self) -> None:
        self._clear(("quota_used", "rate_window", "rate_count"))

    def reset_rates(self) -> None:
        self._clear(("rate_window", "rate_count"))

    def close(self) -> None:
        if self._pid != os.getpid():
            return
        with self._lock:
            thread, self._thread = self._thread, None
            conns, self._conns = self._conns, []
        if thread is not None and thread.is_alive():
            self._jobs.put(None)
            thread.join(DECISION_TIMEOUT)
        self._local = threading.local()
        for conn in conns:
            try:
                conn.close()
            except sqlite3.Error:
                pass


# KEYS: the user's counter of the day, the user's run starts, the day's tickets of the user.
# ARGV: ticket id, quota limit (-1: none), rate limit (-1: none), now (ms), window (ms),
# wall-clock deadline (ms), seconds the day's keys live.
# Returns {used, 0} when taken, {-1, 0} quota spent, {-2, ms to wait} rate full, {-3, 0} abandoned
# before it got here, {-4, 0} past its deadline. A ticket seen before answers as it did then.
_DECIDE_LUA = """
local id = ARGV[1]
local qlimit = tonumber(ARGV[2])
local state = redis.call('HGET', KEYS[3], id)
if state == '0' then return {-3, 0} end
if state then return {tonumber(redis.call('GET', KEYS[1]) or '0'), 0} end
local t = redis.call('TIME')
if tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) > tonumber(ARGV[6]) then return {-4, 0} end
local used = 0
if qlimit >= 0 then
  used = tonumber(redis.call('GET', KEYS[1]) or '0')
  if used >= qlimit then return {-1, 0} end
end
local rlimit = tonumber(ARGV[3])
if rlimit >= 0 then
  local now = tonumber(ARGV[4])
  local window = tonumber(ARGV[5])
  redis.call('ZREMRANGEBYSCORE', KEYS[2], '-inf', now - window)
  redis.call('ZREMRANGEBYSCORE', KEYS[2], '(' .. (now + window), '+inf')
  local count = redis.call('ZCARD', KEYS[2])
  if count >= rlimit then
    if count == 0 then return {-2, window} end
    local oldest = redis.call('ZRANGE', KEYS[2], 0, 0, 'WITHSCORES')
    return {-2, window - (now - tonumber(oldest[2]))}
  end
  redis.call('ZADD', KEYS[2], now, id)
  redis.call('PEXPIRE', KEYS[2], window)
end
if qlimit >= 0 then
  used = redis.call('INCR', KEYS[1])
  redis.call('EXPIRE', KEYS[1], ARGV[7])
  redis.call('HSET', KEYS[3], id, 'q')
else
  redis.call('HSET', KEYS[3], id, 'r')
end
redis.call('EXPIRE', KEYS[3], ARGV[7])
return {used, 0}
"""
# KEYS as above; ARGV: ticket id, 1 to free the rate slot too, seconds the day's keys live.
# Undoes an applied ticket once; an unknown ticket is marked so that it is never applied later.
_RELEASE_LUA = """
local state = redis.call('HGET', KEYS[3], ARGV[1])
if state == '0' then return 0 end
if state == 'q' and tonumber(redis.call('GET', KEYS[1]) or '0') > 0 then redis.call('DECR', KEYS[1]) end
if state and ARGV[2] == '1' then redis.call('ZREM', KEYS[2], ARGV[1]) end
redis.call('HSET', KEYS[3], ARGV[1], '0')
redis.call('EXPIRE', KEYS[3], ARGV[3])
return 1
"""

# A day's counter outlives its day by this much, so that a run started just before midnight can
# still give its unit back; nothing reads it after that.
_DAY_GRACE_SECONDS = 3600
# Tolerated difference between a host's clock and Redis's when Redis checks a ticket's deadline;
# tombstones cover a late write inside this margin.
_CLOCK_MARGIN_MS = 30_000


def redacted_url(url: str) -> str:
    """``url`` without its password, for messages."""
    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    netloc = parts.netloc.rsplit("@", 1)[1]
    user = f"{parts.username}:" if parts.username else ":"
    return urllib.parse.urlunsplit(parts._replace(netloc=f"{user}***@{netloc}"))


class RedisCounters:
    """Counters in Redis, shared by every process of every host that uses the same server.

    Decisions and give-backs are scripts sent from the event loop through ``redis.asyncio``: no thread.
    Inspection and resets (admin, tests) use a plain client.
    """

    def __init__(self, url: str, *, prefix: str = REDIS_PREFIX) -> None:
        import redis

        self.url = url
        self._prefix = prefix
        self._errors: tuple[type[BaseException], ...] = (redis.RedisError, OSError)
        self._sync: Any = None
        # One asyncio client per event loop: its connections belong to the loop that opened them.
        self._loop: asyncio.AbstractEventLoop | None = None
        self._client: Any = None
        self._decide_script: Any = None
        self._release_script: Any = None
        self._pending: set[asyncio.Task[None]] = set()

    def _sync_client(self) -> Any:
        if self._sync is None:
            import redis

            self._sync = redis.Redis.from_url(self.url, socket_timeout=DECISION_TIMEOUT,
                                              socket_connect_timeout=DECISION_TIMEOUT)
        return self._sync

    def _async_client(self) -> Any:
        loop = asyncio.get_running_loop()
        if self._loop is not loop:
            import redis.asyncio

            # Short timeouts: the run's deadline bounds the wait anyway. Scripts go by SHA and are
            # loaded again by the client after a Redis restart.
            self._client = redis.asyncio.Redis.from_url(self.url, socket_timeout=DECISION_TIMEOUT,
                                                        socket_connect_timeout=DECISION_TIMEOUT,
                                                        health_check_interval=30)
            self._decide_script = self._client.register_script(_DECIDE_LUA)
            self._release_script = self._client.register_script(_RELEASE_LUA)
            self._loop = loop
        return self._client

    def _failure(self, exc: BaseException) -> CounterStoreUnavailable:
        return CounterStoreUnavailable(f"the counter store {redacted_url(self.url)} failed: {exc}")

    def _keys(self, ticket: Ticket) -> list[str]:
        day = ticket.day.isoformat()
        return [f"{self._prefix}quota:{day}:{ticket.user}", f"{self._prefix}rate:{ticket.user}",
                f"{self._prefix}tickets:{day}:{ticket.user}"]

    def _ttl(self, day: date) -> int:
        # Relative, and at least the grace: a day that a caller's clock names may already be over here.
        return max(_DAY_GRACE_SECONDS, _day_end(day) + _DAY_GRACE_SECONDS - int(time.time()))

    def initialise(self) -> None:
        try:
            self._sync_client().ping()
        except self._errors as exc:
            raise self._failure(exc) from exc

    async def decide(self, ticket: Ticket) -> Decision:
        if not ticket.deadline:
            ticket.start_clock()
        try:
            self._async_client()
            remaining = ticket.remaining()
            wall_deadline_ms = int((time.time() + remaining) * 1000) + _CLOCK_MARGIN_MS
            args = [ticket.id, -1 if ticket.quota_limit is None else ticket.quota_limit,
                    -1 if ticket.rate_limit is None else ticket.rate_limit, int(ticket.now * 1000),
                    int(ticket.window * 1000), wall_deadline_ms, self._ttl(ticket.day)]
            async with asyncio.timeout(max(0.0, remaining)):
                used, wait_ms = await self._decide_script(keys=self._keys(ticket), args=args)
        except TimeoutError as exc:
            self.abandon(ticket)
            raise CounterStoreUnavailable(f"the counter store {redacted_url(self.url)} did not answer within "
                                          f"{DECISION_TIMEOUT:g} s") from exc
        except self._errors as exc:
            self.abandon(ticket)
            raise self._failure(exc) from exc
        except BaseException:
            self.abandon(ticket)
            raise
        used = int(used)
        if used >= 0:
            ticket.state = _APPLIED
            return Decision(TAKEN, used)
        if used == -1:
            return Decision(QUOTA_SPENT)
        if used == -2:
            return Decision(RATE_LIMITED, retry_after=max(1, math.ceil(int(wait_ms) / 1000)))
        raise CounterStoreUnavailable(f"the counter store {redacted_url(self.url)} applied a decision too late")

    def _release(self, ticket: Ticket, rate_too: bool) -> asyncio.Task[None] | None:
        if len(self._pending) >= MAX_PENDING_RELEASES:
            _logger.warning("too many quota units waiting to go back; %s keeps one for the day", ticket.user)
            return None
        self._async_client()
        task = asyncio.get_running_loop().create_task(self._releasing(ticket, rate_too))
        self._pending.add(task)
        task.add_done_callback(self._pending.discard)
        return task

    async def _releasing(self, ticket: Ticket, rate_too: bool) -> None:
        args = [ticket.id, 1 if rate_too else 0, self._ttl(ticket.day)]
        give_up = time.monotonic() + RELEASE_PERSISTENCE
        pause = 0.05
        retryable: tuple[type[BaseException], ...] = (TimeoutError, *self._errors)
        while True:
            try:
                async with asyncio.timeout(DECISION_TIMEOUT):
                    await self._release_script(keys=self._keys(ticket), args=args)
                return
            except retryable as exc:
                # Idempotent by ticket id, so trying again until Redis answers is safe.
                if time.monotonic() + pause > give_up:
                    _logger.warning("could not give a quota unit back to %s: %s", ticket.user, exc)
                    return
                await asyncio.sleep(pause)
                pause = min(2.0, pause * 2)

    def give_back(self, ticket: Ticket) -> Awaitable[None] | None:
        task = self._release(ticket, rate_too=False)
        # Awaited through a shield: cancelling the waiter must not stop the unit from going back.
        return None if task is None else asyncio.shield(task)

    def abandon(self, ticket: Ticket) -> None:
        # Whether the script ran is unknown: the release undoes it, or marks the ticket so that a
        # late arrival does nothing.
        try:
            self._release(ticket, rate_too=True)
        except RuntimeError:
            _logger.warning("no event loop to give a quota unit back to %s", ticket.user)

    async def settle(self) -> None:
        while self._pending:
            await asyncio.gather(*self._pending, return_exceptions=True)

    async def aclose(self) -> None:
        """Close this loop's connections (for callers that run several event loops in turn)."""
        client, self._client, self._loop = self._client, None, None
        if client is not None:
            await client.aclose()

    def usage(self, day: date) -> dict[str, int]:
        head = f"{self._prefix}quota:{day.isoformat()}:"
        client = self._sync_client()
        try:
            keys = list(client.scan_iter(match=head + "*", count=500))
            values = client.mget(keys) if keys else []
        except self._errors as exc:
            raise self._failure(exc) from exc
        return {k.decode()[len(head):]: int(v) for k, v in zip(keys, values) if v is not None and int(v) > 0}

    def _delete(self, pattern: str) -> None:
        client = self._sync_client()
        try:
            keys = list(client.scan_iter(match=self._prefix + pattern, count=500))
            if keys:
                client.delete(*keys)
        except self._errors as exc:
            raise self._failure(exc) from exc

    def reset(self) -> None:
        self._delete("quota:*")
        self._delete("tickets:*")
        self._delete("rate:*")

    def reset_rates(self) -> None:
        self._delete("rate:*")

    def close(self) -> None:
        if self._sync is not None:
            self._sync.close()


_current: CounterStore = MemoryCounters()


def current() -> CounterStore:
    return _current


def install(store: CounterStore) -> CounterStore:
    """Make ``store`` the one every wrapper uses from now on; returns the one it replaces."""
    global _current
    previous, _current = _current, store
    return previous


def _resolve(future: asyncio.Future[None]) -> None:
    """Settle ``future`` unless it already is (its waiter may have given up)."""
    if not future.done():
        future.set_result(None)
