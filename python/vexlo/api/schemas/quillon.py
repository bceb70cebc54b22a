"""Request models of the Quillon routes."""
from __future__ import annotations

from typing import Annotated, Literal

from pydantic import BaseModel, ConfigDict, Field, StrictBool

EXPORT_FORMATS = ("json", "csv")

ScenarioId = Annotated[str, Field(min_length=1, max_length=64, pattern=r"^[A-Za-z0-9][A-Za-z0-9_.-]*$")]
SiteId = Annotated[str, Field(min_length=1, max_length=128, pattern=r"^[A-Za-z0-9][A-Za-z0-9_.:-]*$")]


class QuillonRunRequest(BaseModel):
    """Body of POST /api/v1/quillon/run."""

    # Unknown fields are refused rather than dropped: a client that sends "jwt" or "session_id"
    # in the body should learn that they are not taken from there.
    model_config = ConfigDict(extra="forbid")

    scenario: ScenarioId
    site: SiteId | None = None
    export_format: Literal["json", "csv"] | None = None
    wait: StrictBool = True
