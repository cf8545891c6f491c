"""The service's counters and latency histograms, rendered as Prometheus text (format 0.0.4)."""

from __future__ import annotations

import bisect
from collections.abc import Iterable
from typing import Any

# Seconds; a request slower than the last bound counts in +Inf only.
LATENCY_BUCKETS = (0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0)


class Histogram:
    def __init__(self, bounds: tuple[float, ...] = LATENCY_BUCKETS) -> None:
        self.bounds = bounds
        self.counts = [0] * (len(bounds) + 1)
        self.total = 0.0
        self.n = 0

    def observe(self, value: float) -> None:
        self.counts[bisect.bisect_left(self.bounds, value)] += 1
        self.total += value
        self.n += 1

    def lines(self, name: str, labels: str) -> Iterable[str]:
        sep = "," if labels else ""
        running = 0
        for bound, count in zip(self.bounds, self.counts):
            running += count
            yield f'{name}_bucket{{{labels}{sep}le="{bound:g}"}} {running}'
        yield f'{name}_bucket{{{labels}{sep}le="+Inf"}} {self.n}'
        yield f"{name}_sum{{{labels}}} {self.total:.9g}" if labels else f"{name}_sum {self.total:.9g}"
        yield f"{name}_count{{{labels}}} {self.n}" if labels else f"{name}_count {self.n}"


def _label(value: Any) -> str:
    return str(value).replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


class ServiceMetrics:
    """Request counts and latencies by endpoint, and the log's sync times."""

    def __init__(self) -> None:
        self.requests: dict[tuple[str, int], int] = {}
        self.latency: dict[str, Histogram] = {}
        self.predictions = 0
        self.fsync = Histogram()
        self.group_requests = 0
        self.checkpoints = 0
        self.failed_checkpoints = 0
        self.replayed = 0

    def request(self, endpoint: str, status: int, seconds: float) -> None:
        key = (endpoint, status)
        self.requests[key] = self.requests.get(key, 0) + 1
        hist = self.latency.get(endpoint)
        if hist is None:
            hist = self.latency[endpoint] = Histogram()
        hist.observe(seconds)

    def synced(self, seconds: float, requests: int) -> None:
        self.fsync.observe(seconds)
        self.group_requests += requests

    def render(self, state: dict[str, Any]) -> str:
        """The text of /metrics; ``state`` holds the model's figures at this moment."""
        out: list[str] = []

        def family(name: str, kind: str, help_text: str) -> None:
            out.append(f"# HELP {name} {help_text}")
            out.append(f"# TYPE {name} {kind}")

        def single(name: str, kind: str, help_text: str, value: Any) -> None:
            family(name, kind, help_text)
            out.append(f"{name} {value}")

        family("kavro_requests_total", "counter", "HTTP requests answered, by endpoint and status.")
        for (endpoint, status), n in sorted(self.requests.items()):
            out.append(f'kavro_requests_total{{endpoint="{_label(endpoint)}",status="{status}"}} {n}')
        family("kavro_request_seconds", "histogram", "Time to answer a request, by endpoint.")
        for endpoint, hist in sorted(self.latency.items()):
            out.extend(hist.lines("kavro_request_seconds", f'endpoint="{_label(endpoint)}"'))
        single("kavro_predictions_total", "counter", "Predictions served.", self.predictions)
        single("kavro_events_learnt_total", "counter", "Events learnt (learn and label), since the state began.",
               state["version"])
        single("kavro_model_version", "gauge", "Events learnt by the served model.", state["version"])
        single("kavro_log_seq", "gauge", "Seq of the last event applied.", state["seq"])
        single("kavro_labelled_events_total", "counter", "Labels joined to a served prediction and scored.",
               state["labelled"])
        family("kavro_prequential", "gauge", "Prequential measures over the labelled events.")
        for name, value in state["measures"].items():
            out.append(f'kavro_prequential{{measure="{_label(name)}"}} {value:.9g}')
        single("kavro_pending_predictions", "gauge", "Served predictions waiting for their label.", state["pending"])
        single("kavro_dropped_predictions_total", "counter", "Kept predictions expired or pushed out unlabelled.",
               state["dropped"])
        single("kavro_models", "gauge", "Models held (one per key when keyed).", state["models"])
        single("kavro_log_bytes", "gauge", "Size of the write-ahead log.", state["log_bytes"])
        family("kavro_log_sync_seconds", "histogram", "Time to write and sync one group of log records.")
        out.extend(self.fsync.lines("kavro_log_sync_seconds", ""))
        single("kavro_log_group_requests_total", "counter", "Requests made durable, summed over every sync.",
               self.group_requests)
        single("kavro_checkpoints_total", "counter", "Checkpoints written by this process.", self.checkpoints)
        single("kavro_checkpoint_failures_total", "counter", "Checkpoints that failed (the log kept every event).",
               self.failed_checkpoints)
        single("kavro_replayed_events", "gauge", "Logged events replayed when this process started.", self.replayed)
        return "\n".join(out) + "\n"
