"""SQLite store of the API keys that the embedded account backend verifies.

Only the SHA-256 of a key is stored, with an 8-character prefix for operators to tell keys
apart; a key is shown once, when it is created. Every operation opens its own connection, so
the store can be used from worker threads and from several server processes at once.
"""
from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import json
import os
import re
import secrets
import sqlite3
import urllib.parse
from collections.abc import Iterator
from datetime import datetime, timezone
from pathlib import Path
from typing import Any

from vexlo._sqlite import immediate_transaction
from vexlo.server.settings import key_problem

DB_NAME = "keys.sqlite3"
KEY_PREFIX_LEN = 8
DEMO_EMAIL = "demo@vexlo.local"
DEMO_USER_ID = "demo"
_EMAIL_RE = re.compile(r"^[^@\s]+@[^@\s]+\.[^@\s]+$")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS api_keys (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    key_hash TEXT NOT NULL UNIQUE,
    prefix TEXT NOT NULL,
    user_id TEXT NOT NULL,
    email TEXT NOT NULL,
    allowed_tools TEXT,
    permission_enabled INTEGER NOT NULL DEFAULT 0,
    created_at TEXT NOT NULL,
    revoked INTEGER NOT NULL DEFAULT 0,
    revoked_at TEXT
)
"""


class KeyStoreError(Exception):
    """A key store operation that cannot be done; its text is meant for the operator."""


class DataDirError(KeyStoreError):
    """The data folder cannot hold the service's files; its text is one line for the operator."""


def check_data_dir(folder: Path) -> None:
    """Create ``folder`` if needed; DataDirError, in words, when it cannot hold files."""
    for part in (folder, *folder.parents):
        if part.exists() and not part.is_dir():
            raise DataDirError(f"{part} is a file, not a folder")
        if part.exists():
            break
    try:
        # Key hashes, e-mails and counters are nobody else's business.
        folder.mkdir(parents=True, exist_ok=True, mode=0o700)
    except PermissionError:
        raise DataDirError(f"no permission to create the data folder {folder}") from None
    except OSError as exc:
        raise DataDirError(f"cannot create the data folder {folder}: {exc.strerror or exc}") from None
    if not os.access(folder, os.W_OK | os.X_OK):
        raise DataDirError(f"the data folder {folder} is read-only")


def create_private(path: Path) -> bool:
    """Create ``path`` empty and readable by its owner only; False when it already exists."""
    try:
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    except FileExistsError:
        return False
    os.close(fd)
    return True


@dataclasses.dataclass(frozen=True)
class KeyRecord:
    id: int
    prefix: str
    user_id: str
    email: str
    allowed_tools: list[str] | None
    permission_enabled: bool
    created_at: str
    revoked: bool

    def identity(self) -> dict[str, Any]:
        """The account fields that the verification endpoint returns for an active key."""
        return {
            "user_id": self.user_id,
            "email": self.email,
            "allowed_tools": self.allowed_tools,
            "permission_enabled": self.permission_enabled,
        }


def hash_key(key: str) -> str:
    return hashlib.sha256(key.encode("utf-8")).hexdigest()


def new_key() -> str:
    return "vx_" + secrets.token_urlsafe(32)


def default_user_id(email: str) -> str:
    # Stable per e-mail, so that several keys of one person count as one user.
    return "user-" + hashlib.sha256(email.encode("utf-8")).hexdigest()[:12]


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


def _record(row: sqlite3.Row) -> KeyRecord:
    tools = row["allowed_tools"]
    return KeyRecord(
        id=row["id"],
        prefix=row["prefix"],
        user_id=row["user_id"],
        email=row["email"],
        allowed_tools=json.loads(tools) if tools is not None else None,
        permission_enabled=bool(row["permission_enabled"]),
        created_at=row["created_at"],
        revoked=bool(row["revoked"]),
    )


class KeyStore:
    def __init__(self, data_dir: Path) -> None:
        self.path = Path(data_dir) / DB_NAME

    @contextlib.contextmanager
    def _connect(self, *, read_only: bool = False) -> Iterator[sqlite3.Connection]:
        # Read-only opens neither create a missing store nor need a writable folder.
        target = f"file:{urllib.parse.quote(str(self.path))}?mode=ro" if read_only else str(self.path)
        try:
            conn = sqlite3.connect(target, timeout=10.0, isolation_level=None, uri=read_only)
        except sqlite3.Error as exc:
            raise KeyStoreError(f"cannot open the key store {self.path}: {exc}") from None
        conn.row_factory = sqlite3.Row
        try:
            yield conn
        finally:
            conn.close()

    @contextlib.contextmanager
    def _transaction(self) -> Iterator[sqlite3.Connection]:
        with self._connect() as conn, immediate_transaction(conn):
            yield conn

    def initialise(self) -> None:
        """Create the data folder and the table; KeyStoreError when the folder is not writable, or
        when the store exists without its table."""
        created = False
        try:
            check_data_dir(self.path.parent)
            found = created = create_private(self.path)  # SQLite would create it readable by everyone
            if not found:
                # Read only: a transaction would write a header into an empty file.
                with self._connect() as conn:
                    found = conn.execute("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'api_keys'"
                                         ).fetchone() is not None
            if found:
                with self._transaction() as conn:
                    conn.execute(_SCHEMA)
        except (OSError, sqlite3.Error, KeyStoreError) as exc:
            if created:
                # Left empty, it would stop the next start as a store that lost its table.
                with contextlib.suppress(OSError):
                    self.path.unlink()
            raise KeyStoreError(f"cannot create the key store {self.path}: {exc}") from None
        if not found:
            # A store that lost its keys (truncated, replaced) must not pass for a new one: every
            # key would be refused and a new demo key made without a word.
            raise KeyStoreError(f"the key store {self.path} exists but holds no key table "
                                f"({self.path.stat().st_size} bytes); restore it from a backup, "
                                "or move it away to start with an empty store")

    def _insert(self, conn: sqlite3.Connection, key: str, email: str, user_id: str,
                allowed_tools: list[str] | None, permission_enabled: bool) -> KeyRecord:
        cur = conn.execute(
            "INSERT INTO api_keys (key_hash, prefix, user_id, email, allowed_tools, permission_enabled, created_at)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            (hash_key(key), key[:KEY_PREFIX_LEN], user_id, email,
             json.dumps(allowed_tools) if allowed_tools is not None else None,
             int(permission_enabled), _now()),
        )
        row = conn.execute("SELECT * FROM api_keys WHERE id = ?", (cur.lastrowid,)).fetchone()
        return _record(row)

    def add(self, email: str, *, user_id: str | None = None, allowed_tools: list[str] | None = None,
            permission_enabled: bool = False, key: str | None = None) -> tuple[KeyRecord, str]:
        """Store a new key for an account; returns its record and the key itself."""
        email = email.strip().lower()
        if len(email) > 254 or not _EMAIL_RE.match(email):
            raise KeyStoreError(f"{email!r} is not an e-mail address")
        user_id = (user_id or "").strip() or default_user_id(email)
        if allowed_tools is not None and not all(isinstance(t, str) and t.strip() for t in allowed_tools):
            raise KeyStoreError("allowed tools must be non-empty names")
        key = key if key is not None else new_key()
        if problem := key_problem(key):
            raise KeyStoreError(f"the key {problem}")
        try:
            with self._transaction() as conn:
                record = self._insert(conn, key, email, user_id, allowed_tools, permission_enabled)
        except sqlite3.IntegrityError:
            raise KeyStoreError("this key is already registered") from None
        except sqlite3.Error as exc:
            raise KeyStoreError(f"cannot write the key store {self.path}: {exc}") from None
        return record, key

    def find(self, key: str) -> KeyRecord | None:
        """The record of ``key``, revoked or not; None when unknown."""
        with self._connect() as conn:
            row = conn.execute("SELECT * FROM api_keys WHERE key_hash = ?", (hash_key(key),)).fetchone()
        return _record(row) if row is not None else None

    def list_keys(self) -> list[KeyRecord]:
        with self._connect(read_only=True) as conn:
            return [_record(row) for row in conn.execute("SELECT * FROM api_keys ORDER BY id")]

    def revoke(self, ident: str) -> KeyRecord:
        """Revoke the key with this id or key prefix; KeyStoreError when none or several match."""
        ident = ident.strip()
        with self._transaction() as conn:
            if ident.isdigit():
                rows = conn.execute("SELECT * FROM api_keys WHERE id = ?", (int(ident),)).fetchall()
            elif ident:
                rows = conn.execute("SELECT * FROM api_keys WHERE prefix = ?", (ident[:KEY_PREFIX_LEN],)).fetchall()
            else:
                rows = []
            if not rows:
                raise KeyStoreError(f"no key matches {ident!r}")
            if len(rows) > 1:
                raise KeyStoreError(f"{len(rows)} keys match {ident!r}; revoke by id instead")
            if rows[0]["revoked"]:
                raise KeyStoreError(f"key {rows[0]['id']} ({rows[0]['prefix']}, {rows[0]['email']}) "
                                    f"was already revoked at {rows[0]['revoked_at']}")
            conn.execute("UPDATE api_keys SET revoked = 1, revoked_at = COALESCE(revoked_at, ?) WHERE id = ?",
                         (_now(), rows[0]["id"]))
            row = conn.execute("SELECT * FROM api_keys WHERE id = ?", (rows[0]["id"],)).fetchone()
        return _record(row)

    def ensure_demo_key(self, demo_key: str | None = None) -> str | None:
        """Make sure a first key exists.

        With ``demo_key`` (from VEXLO_DEMO_KEY) that key is registered for the demo account
        unless already present (a revoked one stays revoked). Without it a random key is created,
        only when the store holds no key at all. Returns a key that was just created at random,
        which the caller must show once; None otherwise.
        """
        with self._transaction() as conn:
            if demo_key is not None:
                if conn.execute("SELECT 1 FROM api_keys WHERE key_hash = ?", (hash_key(demo_key),)).fetchone() is None:
                    self._insert(conn, demo_key, DEMO_EMAIL, DEMO_USER_ID, None, False)
                return None
            if conn.execute("SELECT 1 FROM api_keys LIMIT 1").fetchone() is not None:
                return None
            key = new_key()
            self._insert(conn, key, DEMO_EMAIL, DEMO_USER_ID, None, False)
            return key
