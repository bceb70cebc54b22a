"""Quillon scenario helpers shared by the MCP tools and the REST API."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from vexlo.quillon.services import QuillonApiManager

_EXPORT_FORMATS = frozenset({"json", "csv"})
_MAX_SITE_LEN = 64


def telemetry_dimensions(call_kwargs: Mapping[str, Any]) -> dict[str, str]:
    """Low-sensitivity telemetry dimensions of one scenario call.

    Only scenario, site and export format are kept; credentials (jwt) and session ids never
    become dimensions. Values are bounded so that arbitrary client input (the MCP path has no
    body model) cannot blow up the number of series: unknown scenarios count as "unknown".
    """
    scenario = call_kwargs.get("scenario")
    if not isinstance(scenario, str) or QuillonApiManager().scenario(scenario) is None:
        scenario = "unknown"
    site = call_kwargs.get("site")
    site = site.strip().lower()[:_MAX_SITE_LEN] if isinstance(site, str) and site.strip() else "default"
    fmt = call_kwargs.get("export_format")
    if fmt is None:
        fmt = "default"
    elif not isinstance(fmt, str) or fmt not in _EXPORT_FORMATS:
        fmt = "other"
    return {"scenario": scenario, "site": site, "export_format": fmt}
