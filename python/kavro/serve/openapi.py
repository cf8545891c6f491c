"""The OpenAPI 3.1 description of the service, served at ``GET /openapi.json``."""

from __future__ import annotations

from typing import Any


def _ref(name: str) -> dict[str, str]:
    return {"$ref": f"#/components/schemas/{name}"}


def _json_body(schema: str) -> dict[str, Any]:
    return {"required": True, "content": {"application/json": {"schema": _ref(schema)}}}


def _answer(description: str, schema: str | None = None, media: str = "application/json") -> dict[str, Any]:
    out: dict[str, Any] = {"description": description}
    if schema is None:
        return out
    if media == "application/json":
        body: dict[str, Any] = _ref(schema)
    else:
        body = {"type": "string", "format": "binary"} if schema == "bytes" else {"type": "string"}
    out["content"] = {media: {"schema": body}}
    return out


_ERRORS = {
    "400": _answer("Malformed JSON, a field of the wrong type or a missing field; the message names it", "Error"),
    "401": _answer("Missing or wrong bearer token (when the service has a token)", "Error"),
    "413": _answer("The body is over the size limit", "Error"),
    "503": _answer("The write-ahead log failed or the service is stopping; nothing was learnt", "Error"),
}


def _post(summary: str, body: str, answer: str, extra: dict[str, Any] | None = None) -> dict[str, Any]:
    responses = {"200": _answer("Done", answer), **_ERRORS, **(extra or {})}
    return {"post": {"summary": summary, "requestBody": _json_body(body), "responses": responses}}


def document(version: str, kind: str, keyed: bool) -> dict[str, Any]:
    """The description of a service holding a ``kind`` (classifier or regressor)."""
    target: dict[str, Any] = ({"type": "integer", "description": "class label"} if kind == "classifier"
                              else {"type": "number"})
    key: dict[str, Any] = {"type": ["string", "integer"],
                           "description": "the model's key (required: this service holds one model per key)"
                           if keyed else "not accepted: this service holds one model"}
    features = {"type": "object", "additionalProperties": {"type": "number"},
                "description": "feature name to finite number"}
    not_found = {"404": _answer("No kept prediction has this event id (unknown, labelled or expired)", "Error")}
    schemas: dict[str, Any] = {
        "Error": {"type": "object", "properties": {"error": {"type": "string"}}, "required": ["error"]},
        "Health": {"type": "object", "properties": {"status": {"type": "string"}, "error": {"type": "string"}}},
        "Learn": {"type": "object", "properties": {"x": features, "y": target, "key": key},
                  "required": ["x", "y"], "additionalProperties": False},
        "Predict": {"type": "object", "properties": {"x": features, "key": key},
                    "required": ["x"], "additionalProperties": False},
        "Label": {"type": "object", "properties": {"event": {"type": "string"}, "y": target},
                  "required": ["event", "y"], "additionalProperties": False},
        "Batch": {"type": "object", "additionalProperties": False, "properties": {
            "learn": {"type": "array", "items": _ref("Learn")},
            "predict": {"type": "array", "items": _ref("Predict")},
            "label": {"type": "array", "items": _ref("Label")}}},
        "Learnt": {"type": "object", "properties": {
            "seq": {"type": "integer", "description": "the event's number in the log"},
            "version": {"type": "integer", "description": "events learnt by the model after this one"}}},
        "Prediction": {"type": "object", "properties": {
            "y": target,
            "proba": {"type": "object", "additionalProperties": {"type": "number"},
                      "description": "class label to probability (classifiers)"},
            "event": {"type": ["string", "null"], "description": "id for POST /label (null: none kept)"},
            "version": {"type": "integer", "description": "events learnt by the model that answered"}}},
        "BatchResult": {"type": "object", "properties": {
            "seqs": {"type": "array", "items": {"type": "integer"}, "description": "seq of each learn item"},
            "label_seqs": {"type": "array", "items": {"type": "integer"}, "description": "seq of each label item"},
            "predictions": {"type": "array", "items": _ref("Prediction")},
            "version": {"type": "integer"}}},
    }
    paths = {
        "/predict": _post("Predict one example; keep it until its label arrives", "Predict", "Prediction"),
        "/label": _post("Learn a kept example with its label and score the served prediction", "Label",
                        "Learnt", not_found),
        "/learn": _post("Learn one example (durable before the answer)", "Learn", "Learnt"),
        "/batch": _post("Predict, learn and label many events in one request: predictions first, then the "
                        "learn items, then the labels, learnt as one durable record", "Batch", "BatchResult",
                        not_found),
        "/model": {"get": {
            "summary": "The model's saved state (kavro.loads-able bytes)",
            "parameters": [{"name": "key", "in": "query", "required": keyed, "schema": {"type": "string"},
                            "description": "the key whose model is wanted (keyed services)"}],
            "responses": {"200": _answer("The saved state", "bytes", "application/octet-stream"),
                          "400": _ERRORS["400"], "401": _ERRORS["401"],
                          "404": _answer("No model for this key", "Error")}}},
        "/metrics": {"get": {"summary": "Counts, prequential measures, latency histograms (Prometheus text)",
                             "responses": {"200": _answer("Prometheus text format 0.0.4", "text", "text/plain"),
                                           "401": _ERRORS["401"]}}},
        "/health": {"get": {"summary": "Liveness (never needs the token)", "security": [],
                            "responses": {"200": _answer("Serving", "Health"),
                                          "503": _answer("Writing the log failed: restart the service",
                                                         "Health")}}},
        "/openapi.json": {"get": {"summary": "This description",
                                  "responses": {"200": {"description": "OpenAPI 3.1 document"}}}},
    }
    return {
        "openapi": "3.1.0",
        "info": {"title": "kavro learner service", "version": version,
                 "description": "Online learning and prediction over HTTP. Every answered /learn, /label and "
                                "/batch is in the write-ahead log on disk before the answer."},
        "paths": paths,
        "components": {"schemas": schemas,
                       "securitySchemes": {"bearer": {"type": "http", "scheme": "bearer"}}},
        "security": [{"bearer": []}],
    }
