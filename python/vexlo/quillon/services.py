"""Quillon scenario catalogue and a deterministic local executor.

The executor computes its figures from a hash of (scenario, site, row, column), so a scenario run
always gives the same data for the same arguments: handy for demos and tests, and no network
access is needed. Restricted scenarios exist in the catalogue but are not listed publicly.
"""
from __future__ import annotations

import csv
import hashlib
import io
from typing import Any

_COMMON_PARAMS: list[dict[str, Any]] = [
    {"name": "site", "type": "string", "required": False,
     "description": "Site identifier; the default site when omitted"},
    {"name": "export_format", "type": "string", "required": False, "enum": ["json", "csv"],
     "description": "Result format; json when omitted"},
    {"name": "wait", "type": "boolean", "required": False,
     "description": "Wait for the result (this service always answers synchronously)"},
]

# columns: (name, low, high) of the generated integer figures; the first column is the row label.
_SCENARIOS: dict[str, dict[str, Any]] = {
    "traffic_overview": {
        "title": "Traffic overview",
        "description": "Visits and unique visitors per day over the last seven days",
        "labels": [f"day-{i}" for i in range(1, 8)],
        "columns": [("visits", 800, 5000), ("unique_visitors", 300, 2500)],
        "restricted": False,
    },
    "keyword_ranking": {
        "title": "Keyword ranking",
        "description": "Search position and monthly volume of the tracked keywords",
        "labels": ["analytics", "dashboard", "export", "pricing", "integration"],
        "columns": [("position", 1, 50), ("monthly_volume", 100, 20000)],
        "restricted": False,
    },
    "conversion_funnel": {
        "title": "Conversion funnel",
        "description": "Sessions reaching each stage of the sign-up funnel",
        "labels": ["landing", "signup_form", "email_confirmed", "first_project"],
        "columns": [("sessions", 100, 10000)],
        "restricted": False,
    },
    "account_audit": {
        "title": "Account audit",
        "description": "Per-account activity figures; restricted to operators",
        "labels": ["logins", "key_rotations", "exports"],
        "columns": [("count", 0, 500)],
        "restricted": True,
    },
}


def _public_definition(scenario_id: str, entry: dict[str, Any]) -> dict[str, Any]:
    return {
        "id": scenario_id,
        "title": entry["title"],
        "description": entry["description"],
        "columns": ["label"] + [name for name, _, _ in entry["columns"]],
        "params": _fresh_params(),
    }


def _fresh_params() -> list[dict[str, Any]]:
    # A copy the caller may change freely, made by hand: every run asks for its scenario's
    # definition, and copy.deepcopy cost more than the rest of that lookup. The params hold only
    # strings, booleans and lists of strings.
    return [{k: list(v) if isinstance(v, list) else v for k, v in p.items()} for p in _COMMON_PARAMS]


def _figure(*parts: str, low: int, high: int) -> int:
    digest = hashlib.sha256("|".join(parts).encode("utf-8")).digest()
    return low + int.from_bytes(digest[:8], "big") % (high - low + 1)


class QuillonApiManager:
    """Entry point of the Quillon service layer."""

    def scenarios(self) -> list[dict[str, Any]]:
        """Public scenario definitions (JSON-encodable; a fresh copy per call)."""
        return [_public_definition(sid, entry) for sid, entry in _SCENARIOS.items() if not entry["restricted"]]

    def scenario(self, scenario_id: str) -> dict[str, Any] | None:
        """Definition of one scenario, restricted ones included, with its "restricted" flag."""
        entry = _SCENARIOS.get(scenario_id)
        if entry is None:
            return None
        return {**_public_definition(scenario_id, entry), "restricted": entry["restricted"]}

    def run(self, scenario_id: str, *, site: str | None = None, export_format: str | None = None) -> dict[str, Any]:
        """Formatted data of one scenario. Raises KeyError for an unknown scenario and ValueError
        for an unknown export format."""
        entry = _SCENARIOS[scenario_id]
        fmt = export_format or "json"
        if fmt not in ("json", "csv"):
            raise ValueError("unsupported export format")
        site_key = site or "default"
        columns = ["label"] + [name for name, _, _ in entry["columns"]]
        rows = [
            [label] + [_figure(scenario_id, site_key, label, name, low=low, high=high)
                       for name, low, high in entry["columns"]]
            for label in entry["labels"]
        ]
        data: dict[str, Any] = {
            "scenario": scenario_id,
            "title": entry["title"],
            "site": site,
            "export_format": fmt,
            "row_count": len(rows),
        }
        if fmt == "csv":
            buf = io.StringIO()
            writer = csv.writer(buf, lineterminator="\n")
            writer.writerow(columns)
            writer.writerows(rows)
            data["content"] = buf.getvalue()
        else:
            data["columns"] = columns
            data["rows"] = [dict(zip(columns, row)) for row in rows]
        return data
