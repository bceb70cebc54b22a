"""A run's result envelope becomes the response body unchanged; only the status (and Retry-After
for 429) follows its stable error code."""
import json

import pytest
from starlette.responses import JSONResponse

RATE = "QUILLON_RATE_LIMITED"
QUOTA = "QUILLON_QUOTA_INSUFFICIENT"


def failed(error):
    return {"success": False, "data": None, "error": error}


class Code:
    """An error code that is not a str: its text is what counts."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text

    def __bool__(self):
        return True


# result, status, Retry-After (None: no header)
ROWS = [
    pytest.param({"success": True, "data": {"rows": [1, 2]}}, 200, None, id="success"),
    pytest.param({"success": True, "error": {"code": RATE, "retry_after_seconds": 5}}, 200, None,
                 id="success-wins-over-error-part"),
    pytest.param({"success": 1}, 200, None, id="success-1-no-error"),
    pytest.param({"success": 1, "error": {"code": "QUILLON_FORBIDDEN"}}, 403, None, id="success-1-is-not-true"),
    pytest.param({"success": "true", "error": {"code": "QUILLON_AUTH_ERROR"}}, 401, None, id="success-text"),
    pytest.param({}, 200, None, id="empty"),
    pytest.param(failed({"code": RATE, "retry_after_seconds": 30}), 429, "30", id="rate-limited"),
    pytest.param(failed({"code": RATE, "retry_after_seconds": 0}), 429, "0", id="retry-0"),
    pytest.param(failed({"code": RATE, "retry_after_seconds": 12.5}), 429, "12.5", id="retry-float"),
    pytest.param(failed({"code": RATE, "retry_after_seconds": "30"}), 429, "30", id="retry-text"),
    pytest.param(failed({"code": RATE, "retry_after_seconds": False}), 429, "False", id="retry-false-is-not-none"),
    pytest.param(failed({"code": RATE, "retry_after_seconds": None}), 429, None, id="retry-none"),
    pytest.param(failed({"code": RATE}), 429, None, id="rate-no-retry"),
    pytest.param(failed({"code": QUOTA}), 429, None, id="quota"),
    pytest.param(failed({"code": QUOTA, "retry_after_seconds": 3600}), 429, "3600", id="quota-retry"),
    pytest.param(failed({"code": "QUILLON_AUTH_ERROR", "retry_after_seconds": 30}), 401, None, id="auth"),
    pytest.param(failed({"code": "QUILLON_FORBIDDEN", "retry_after_seconds": 30}), 403, None, id="forbidden"),
    pytest.param(failed({"code": "QUILLON_SCENARIO_NOT_FOUND", "retry_after_seconds": 9}), 200, None,
                 id="other-code"),
    pytest.param(failed({"code": RATE.lower(), "retry_after_seconds": 30}), 200, None, id="lower-case"),
    pytest.param(failed({"code": " " + RATE, "retry_after_seconds": 30}), 200, None, id="padded"),
    pytest.param(failed({"code": "", "retry_after_seconds": 30}), 200, None, id="empty-code"),
    pytest.param(failed({"code": 0}), 200, None, id="zero-code"),
    pytest.param(failed({"code": None}), 200, None, id="none-code"),
    pytest.param(failed({"retry_after_seconds": 30}), 200, None, id="no-code"),
    pytest.param(failed("QUILLON_RATE_LIMITED"), 200, None, id="error-text"),
    pytest.param(failed(["QUILLON_RATE_LIMITED"]), 200, None, id="error-list"),
    pytest.param(failed(None), 200, None, id="error-none"),
    pytest.param({"success": False}, 200, None, id="no-error-part"),
]


def header_names(response):
    return sorted(name for name, _ in response.raw_headers)


@pytest.mark.parametrize("result, status, retry_after", ROWS)
def test_status_and_retry_after(quillon, result, status, retry_after):
    before = json.dumps(result)

    response = quillon._quillon_result_response(result)

    assert type(response) is JSONResponse
    assert response.status_code == status
    assert response.headers.get("retry-after") == retry_after
    expected = [b"content-length", b"content-type"] + ([b"retry-after"] if retry_after is not None else [])
    assert header_names(response) == expected
    # The envelope is the body, byte for byte what JSONResponse makes of it, and is not touched.
    assert response.body == JSONResponse(result).body
    assert json.dumps(result) == before


class ErrorPart(dict):
    """An error part that holds nothing but answers through its own `get`."""

    def __init__(self, answers):
        super().__init__()
        self.answers = answers
        self.asked = []

    def get(self, key, default=None):
        self.asked.append(key)
        return self.answers.get(key, default)


@pytest.mark.parametrize("code, retry, status, header", [
    (RATE, 7, 429, "7"),
    (Code(RATE), Code("12"), 429, "12"),  # neither is a str: their text counts
    (Code("QUILLON_FORBIDDEN"), 7, 403, None),
])
def test_error_part_of_a_dict_subclass_is_asked_through_its_own_get(quillon, code, retry, status, header):
    error = ErrorPart({"code": code, "retry_after_seconds": retry})
    result = {"success": False, "error": error}

    response = quillon._quillon_result_response(result)

    assert (response.status_code, response.headers.get("retry-after")) == (status, header)
    assert error.asked == ["code", "retry_after_seconds"]
    assert json.loads(response.body) == {"success": False, "error": {}}


def test_str_of_the_code_failing_propagates(quillon):
    class Broken:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        quillon._quillon_result_response(failed({"code": Broken()}))
    with pytest.raises(ValueError, match="no text"):
        quillon._quillon_result_response(failed({"code": RATE, "retry_after_seconds": Broken()}))


def test_unencodable_envelope_fails_in_the_encoder(quillon):
    with pytest.raises(TypeError):
        quillon._quillon_result_response({"success": True, "data": object()})


@pytest.mark.parametrize("result, status, retry_after", [
    row for row in ROWS if row.id in ("success", "rate-limited", "retry-float", "quota", "auth", "forbidden",
                                      "lower-case", "error-text")
])
def test_run_route_sends_the_envelope_with_that_status(quillon, call, monkeypatch, result, status, retry_after):
    async def run(payload):
        return result
    monkeypatch.setattr(quillon, "_run_quillon_scenario", run)

    response = call("POST", "/api/v1/quillon/run", json={"scenario": "traffic_overview"})

    assert response.status_code == status
    assert response.headers.get("retry-after") == retry_after
    assert response.json() == result
    assert response.headers["content-type"] == "application/json"
