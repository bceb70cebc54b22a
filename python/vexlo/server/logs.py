"""Logging set-up of the service."""
from __future__ import annotations

import copy
import logging
import re
from typing import Any

# API keys travel in query strings (clients that cannot send headers, and the gate's own
# verification request to the key backend), and so do MCP session ids, which let anyone who
# holds one post into that session as its owner: access log lines must not carry either.
_KEY_IN_QUERY = re.compile(r"((?:^|[?&])(?:api_key|session_id)=)[^&\s\"]*", re.IGNORECASE)


def redact(text: str) -> str:
    return _KEY_IN_QUERY.sub(r"\1[redacted]", text)


class RedactApiKeys(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool:
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
