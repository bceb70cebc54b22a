"""SQLite helpers shared by the service's stores."""
from __future__ import annotations

import contextlib
import sqlite3
from collections.abc import Iterator


@contextlib.contextmanager
def immediate_transaction(conn: sqlite3.Connection) -> Iterator[sqlite3.Connection]:
    """One write transaction that takes the write lock up front, so a check and the write that
    depends on it are atomic across processes."""
    conn.execute("BEGIN IMMEDIATE")
    try:
        yield conn
    except BaseException:
        conn.execute("ROLLBACK")
        raise
    conn.execute("COMMIT")
