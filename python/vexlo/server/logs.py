"""Logging set-up of the service, and the hygiene of every line it logs.

Log lines carry what clients chose (paths, query strings, Host headers, session ids) and what
they must never show (API keys, session ids, which let anyone who holds one post into that
session as its owner). ``install`` makes every record of the process safe to write, whichever
server and handlers write it: one line per record, control characters escaped, client values cut
as the trace file cuts them, and keys and session ids redacted.
"""
from __future__ import annotations

import copy
import logging
import re
import traceback
import urllib.parse
from collections.abc import Iterator, Mapping
from typing import Any

# As the trace file cuts: a value at 160 characters, a message at 2,000, with a marker saying how
# much was left out. A traceback keeps more: its last frames are what an operator needs.
VALUE_CHARS = 160
MESSAGE_CHARS = 2000
TRACEBACK_CHARS = 8000

_SECRET_PARAMS = frozenset({"api_key", "session_id"})
# A query parameter in any text (a path, a URL, a request line). The name is decoded before it
# is compared, as the gate and the SDK decode it: "api%5Fkey" is the key too.
_PARAM = re.compile(r"(?P<lead>^|[?&;\s\"'])(?P<name>[^=&?;\s\"'#]+)=(?P<value>[^&;\s\"'#]*)")
# Session ids in the SDK's own messages ("... session ID: <id>", "Could not find session for
# ID: <id>"), and in any form a UUID takes (session ids are UUIDs, written with or without dashes).
_SESSION_ID_WORDS = re.compile(r"(?i)(\bsession\b[^:\n]{0,24}?\bID:\s*)(\S+)")
_UUID = re.compile(r"\b[0-9a-fA-F]{8}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{4}-?[0-9a-fA-F]{12}\b")
# C0 and C1 controls, DEL, and the two Unicode line breaks that some viewers honour.
_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029]")
_ESCAPES = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
REDACTED = "[redacted]"


def _redact_param(match: re.Match[str]) -> str:
    if urllib.parse.unquote_plus(match["name"]).lower() not in _SECRET_PARAMS or not match["value"]:
        return match[0]
    return f"{match['lead']}{match['name']}={REDACTED}"


def redact(text: str) -> str:
    """``text`` with the values of API keys and session ids replaced."""
    # Each rule only where its text can occur: an access line is cleaned on every request, and
    # the INFO lines are full of harmless name=value pairs. Without a "%" a name decodes only
    # "+" to a space, and str.lower() maps character by character, so a secret name compares
    # equal only where the lowered text holds it literally.
    if "=" in text:
        low = text.lower()
        if "%" in text or "api_key" in low or "session_id" in low:
            text = _PARAM.sub(_redact_param, text)
    if "D:" in text or "d:" in text:
        text = _SESSION_ID_WORDS.sub(lambda m: m[1] + REDACTED, text)
    if len(text) >= 32:
        text = _UUID.sub(REDACTED, text)
    return text


def _escape_char(match: re.Match[str]) -> str:
    ch = match[0]
    return _ESCAPES.get(ch) or (f"\\x{ord(ch):02x}" if ord(ch) < 0x100 else f"\\u{ord(ch):04x}")


def escape(text: str) -> str:
    """``text`` on one line: control characters written as escapes."""
    # Every character the pattern matches is unprintable; the usual text needs no scan then.
    if text.isprintable():
        return text
    return _CONTROL.sub(_escape_char, text)


def cut(text: str, limit: int = VALUE_CHARS) -> str:
    if len(text) <= limit:
        return text
    return f"{text[:limit]}...[+{len(text) - limit} chars]"


def clean_value(text: str) -> str:
    # Most values (an address, a method, a short path) meet none of the rules: the same tests
    # redact, cut and escape make, in one expression, for every argument of every record.
    if len(text) < 32 and "=" not in text and "D:" not in text and "d:" not in text and text.isprintable():
        return text
    return escape(cut(redact(text)))


class _Shown:
    """An argument that is not a str or a number, formatted cleaned (``%s`` and ``%r`` alike)."""

    __slots__ = ("_value",)

    def __init__(self, value: object) -> None:
        self._value = value

    def __str__(self) -> str:
        return clean_value(str(self._value))

    def __repr__(self) -> str:
        return clean_value(repr(self._value))


def _clean_arg(value: Any) -> Any:
    if isinstance(value, str):
        return clean_value(value)
    if value is None or isinstance(value, (int, float, _Shown)):
        return value  # numbers keep %d and the like working
    return _Shown(value)


class _CleanMapping(Mapping[Any, Any]):
    """A record's one mapping argument (servers log their access atoms so), read cleaned.

    A view, not a copy: the caller's mapping stays as it is, and a mapping type with lookups of
    its own (header atoms looked up in lower case) keeps them.
    """

    __slots__ = ("_mapping",)

    def __init__(self, mapping: Mapping[Any, Any]) -> None:
        self._mapping = mapping

    def __getitem__(self, key: Any) -> Any:
        return _clean_arg(self._mapping[key])

    def __iter__(self) -> Iterator[Any]:
        return iter(self._mapping)

    def __len__(self) -> int:
        return len(self._mapping)

    def __str__(self) -> str:
        return clean_value(str(self._mapping))

    def __repr__(self) -> str:
        return clean_value(repr(self._mapping))


class OneLineRecord(logging.LogRecord):
    """A record whose message is redacted, cut and on one line, with its traceback folded in.

    The traceback is rendered when the record is made and carried in the message: a formatter
    would otherwise append it on lines of its own, with whatever the exception's text holds.
    """

    traceback_text = ""

    def getMessage(self) -> str:  # noqa: N802 (the logging API's name)
        text = cut(redact(super().getMessage()), MESSAGE_CHARS)
        return escape(text + self.traceback_text)


def _fold_traceback(record: logging.LogRecord) -> str:
    parts = []
    if record.exc_info and record.exc_info[0] is not None:
        parts.append("".join(traceback.format_exception(*record.exc_info)))
    elif record.exc_text:
        parts.append(record.exc_text)
    if record.stack_info:
        parts.append(record.stack_info)
    record.exc_info, record.exc_text, record.stack_info = None, None, None
    if not parts:
        return ""
    text = redact("\n".join(p.rstrip("\n") for p in parts))
    # The end of a traceback names the error and the innermost frames: keep it when cutting.
    if len(text) > TRACEBACK_CHARS:
        text = f"[{len(text) - TRACEBACK_CHARS} chars left out]..." + text[-TRACEBACK_CHARS:]
    return " | " + text


def clean_record(record: logging.LogRecord) -> logging.LogRecord:
    """Make ``record`` safe to write whatever formatter writes it (idempotent)."""
    if isinstance(record, OneLineRecord):
        return record
    args = record.args
    if isinstance(args, tuple):
        record.args = tuple(map(_clean_arg, args))
    elif isinstance(args, Mapping):
        record.args = _CleanMapping(args)
    if isinstance(record.msg, str):
        record.msg = escape(record.msg)
    folded = _fold_traceback(record)
    if type(record) is logging.LogRecord:
        record.__class__ = OneLineRecord
        record.traceback_text = folded
    elif folded:
        record.msg = f"{record.msg}{escape(folded)}"
    return record


class _Factory:
    """The record factory that cleans every record the process makes, wrapping the one before."""

    def __init__(self, previous: Any) -> None:
        self.previous = previous

    def __call__(self, *args: Any, **kwargs: Any) -> logging.LogRecord:
        return clean_record(self.previous(*args, **kwargs))


def install() -> None:
    """Clean every log record of this process from now on (idempotent).

    A record factory rather than a filter or formatter: servers add their handlers at different
    times (hypercorn after the app is built), and a logger's filter never sees the records of
    its children. Access loggers that format from the record's arguments see them cleaned too.
    """
    current = logging.getLogRecordFactory()
    if not isinstance(current, _Factory):
        logging.setLogRecordFactory(_Factory(current))


def uninstall() -> None:
    current = logging.getLogRecordFactory()
    if isinstance(current, _Factory):
        logging.setLogRecordFactory(current.previous)


class RedactApiKeys(logging.Filter):
    """Redacts the records of one logger; ``install`` covers every logger at once."""

    def filter(self, record: logging.LogRecord) -> bool:
        if isinstance(record, OneLineRecord):
            return True  # made by the installed factory: its message is redacted already
        args = record.args
        if isinstance(args, tuple):
            record.args = tuple(redact(a) if isinstance(a, str) else a for a in args)
        elif isinstance(args, dict):  # one mapping of values, as hypercorn logs its access atoms
            for name, value in list(args.items()):
                if isinstance(value, str):
                    args[name] = redact(value)
        # Only a message without arguments is the final text; a format string stays as it is.
        if not args and isinstance(record.msg, str):
            record.msg = redact(record.msg)
        return True


def log_config() -> dict[str, Any]:
    """uvicorn's logging set-up plus the vexlo loggers. Access lines are redacted by the filter
    that building the app puts on the servers' access loggers, whatever set-up the server has."""
    from uvicorn.config import LOGGING_CONFIG

    config = copy.deepcopy(LOGGING_CONFIG)
    # The gate and the router log on "vexlo.mcp" and "vexlo.api"; show them like uvicorn's own.
    config["loggers"]["vexlo"] = {"handlers": ["default"], "level": "INFO", "propagate": False}
    return config
