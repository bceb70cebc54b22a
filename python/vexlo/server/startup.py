"""Start-up work on the data folder, shared by ``python -m vexlo.server`` and the app factory.

Every worker of every server runs it; a lock file in the data folder makes workers that start
together take turns, so the folder is set up, and a random demo key created and shown, once.
"""
from __future__ import annotations

import contextlib
import dataclasses
import fcntl
import os
import shlex
import sqlite3
import stat
import sys
from collections.abc import Iterator
from pathlib import Path

from vexlo.mcp import counters
from vexlo.server.keystore import DB_NAME as KEYS_DB_NAME
from vexlo.server.keystore import KeyStore, KeyStoreError, check_data_dir
from vexlo.server.settings import ENV_DEMO_KEY, Settings, SettingsError

LOCK_NAME = ".startup.lock"
# Set by the command line for its workers once it has shown the counter store's warning.
ENV_STORE_WARNED = "_VEXLO_STORE_WARNING_SHOWN"


class StartupError(Exception):
    """Start-up cannot go on; its text is one line for the operator."""


# What stops a start: each carries a one-line text for the operator.
STARTUP_ERRORS = (SettingsError, KeyStoreError, StartupError, OSError, sqlite3.Error)


@dataclasses.dataclass
class Prepared:
    store: counters.CounterStore
    key_store: KeyStore | None
    created_key: str | None
    warning: str | None


@contextlib.contextmanager
def _data_dir_lock(data_dir: Path) -> Iterator[None]:
    try:
        fd = os.open(data_dir / LOCK_NAME, os.O_RDWR | os.O_CREAT, 0o600)
    except OSError as exc:
        raise StartupError(f"cannot write in the data folder {data_dir}: {exc.strerror or exc}") from None
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)  # releases the lock


def open_counter_store(settings: Settings) -> counters.CounterStore:
    if settings.redis_url:
        return counters.RedisCounters(settings.redis_url)
    return counters.SqliteCounters(settings.data_dir)


# The service's files in the data folder (SQLite adds -wal, -shm and -journal to a store's name).
_OWN_FILES = (KEYS_DB_NAME, counters.DB_NAME, LOCK_NAME)


def _loose(data_dir: Path) -> list[Path]:
    """The data folder and the service's files in it that others may read or write."""
    found = []
    try:
        entries = [data_dir, *(p for p in data_dir.iterdir() if p.name.startswith(_OWN_FILES))]
    except FileNotFoundError:
        return []
    for path in entries:
        try:
            st = path.lstat()
        except FileNotFoundError:
            continue
        # Links and what belongs to another user are left alone.
        if st.st_uid == os.geteuid() and (stat.S_ISDIR(st.st_mode) or stat.S_ISREG(st.st_mode)) \
                and st.st_mode & 0o077:
            found.append(path)
    return found


def _tighten(paths: list[Path]) -> None:
    for path in paths:
        os.chmod(path, 0o700 if path.is_dir() else 0o600)


def prepare(settings: Settings) -> Prepared:
    """Set up the data folder (key store, demo key, counter store) for ``settings``."""
    try:
        check_data_dir(settings.data_dir)
    except KeyStoreError as exc:
        first = settings.data_dir / (KEYS_DB_NAME if settings.uses_embedded_backend else counters.DB_NAME)
        kind = "key store" if settings.uses_embedded_backend else "counter store"
        raise StartupError(f"cannot create the {kind} {first}: {exc}") from None
    with _data_dir_lock(settings.data_dir):
        # Folders and stores made by earlier versions were readable by everyone; said once, by
        # the first of the workers that start together.
        loose_before = _loose(settings.data_dir)
        key_store = None
        created = None
        if settings.uses_embedded_backend:
            key_store = KeyStore(settings.data_dir)
            key_store.initialise()
            try:
                created = key_store.ensure_demo_key(settings.demo_key)
            except sqlite3.Error as exc:
                raise StartupError(f"cannot write the key store {key_store.path}: {exc}") from None
        store = open_counter_store(settings)
        warning = None
        try:
            store.initialise()
        except counters.CounterStoreUnavailable as exc:
            if isinstance(store, counters.SqliteCounters):
                raise StartupError(f"cannot create the counter store {store.path}: {exc.__cause__}") from None
            # A Redis that is down now may be up in a moment; runs are refused (502) until then.
            warning = f"vexlo: warning: {exc}; scenario runs are refused until it answers"
        # Files the stores just made included (the counter store's is made by SQLite).
        _tighten(_loose(settings.data_dir))
    if loose_before:
        files = len([p for p in loose_before if p != settings.data_dir])
        note = (f"vexlo: made the data folder {settings.data_dir} and {files} file(s) in it readable by "
                "their owner only (others could read them)")
        warning = note if warning is None else f"{note}\n{warning}"
    return Prepared(store, key_store, created, warning)


def keys_command(data_dir: Path) -> str:
    """The key command of this installation, as the operator would type it, with the data folder."""
    script = Path(sys.executable).parent / "vexlo-keys"
    argv = [str(script)] if script.exists() else [sys.executable, "-m", "vexlo.server.keys"]
    try:
        relative = os.path.relpath(argv[0])
        if not relative.startswith(".."):
            argv[0] = relative if os.sep in relative else "./" + relative
    except ValueError:
        pass
    return shlex.join([*argv, "add", "--data-dir", str(data_dir), "--email", "you@example.com"])


def key_lines(settings: Settings, prepared: Prepared, *, hints: bool) -> list[str]:
    """What to tell the operator about keys; without ``hints`` only a key that was just created."""
    base = settings.local_base_url
    if prepared.key_store is None:
        return []
    if prepared.created_key is not None:
        return ["vexlo: created a demo key; it is shown only this once:",
                f"    {prepared.created_key}",
                f"    curl -H \"Authorization: Bearer {prepared.created_key}\" {base}/api/v1/whoami"]
    if not hints:
        return []
    if settings.demo_key is not None:
        return [f"vexlo: {ENV_DEMO_KEY} is registered; try: "
                f"curl -H \"Authorization: Bearer ${ENV_DEMO_KEY}\" {base}/api/v1/whoami"]
    return [f"vexlo: add a key with: {keys_command(settings.data_dir)}"]


def store_line(settings: Settings) -> str:
    if settings.redis_url:
        return f"vexlo: quota and rate counters in {counters.redacted_url(settings.redis_url)}"
    return f"vexlo: quota and rate counters in {settings.data_dir / counters.DB_NAME}"
