"""Learner service figures on the loopback: /batch learning, /predict latency, recovery time.

    python bench/serve.py [--bodies N] [--body-events N] [--predicts N] [--clients N] [--logged N]

Starts `kavro serve --model NaiveBayes` in a temporary state folder and measures, in this run:

- /batch learning: N bodies of 5,000 Electricity events (the stream repeated as needed), sent one
  after another and then from two clients at once; bodies are encoded before the clock starts.
- /predict: sequential single requests (median and p99 latency), then 8 client processes at once
  (throughput and p99 over every request), each over one keep-alive connection of a minimal client.
- Recovery: a checkpoint, then 100,000 events logged after it, then kill -9; the restart time to
  the first answered /health, beside the restart time of an empty state.
"""
from __future__ import annotations

import argparse
import json
import multiprocessing
import os
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import httpx2 as httpx

from kavro.datasets import Electricity


class Server:
    def __init__(self, state_dir: str, *args: str) -> None:
        self.started = time.perf_counter()
        cmd = [sys.executable, "-m", "kavro", "serve", "--model", "NaiveBayes", "--state-dir", state_dir,
               "--port", "0", *args]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline() if self.proc.stdout else ""
        if not line.startswith("kavro: serving"):
            raise SystemExit(f"the server did not start: {line}")
        self.url = "http://" + line.split("http://")[1].split()[0]
        with httpx.Client(base_url=self.url) as client:
            client.get("/health")
        self.ready = time.perf_counter() - self.started

    def stop(self, sig: int = signal.SIGTERM) -> None:
        self.proc.send_signal(sig)
        self.proc.wait(timeout=600)
        if self.proc.stdout:
            self.proc.stdout.close()


def bodies(n: int, size: int) -> list[bytes]:
    rows = list(Electricity())
    out = []
    for b in range(n):
        chunk = [rows[(b * size + i) % len(rows)] for i in range(size)]
        out.append(json.dumps({"learn": [{"x": x, "y": y} for x, y in chunk]}).encode())
    return out


def send(url: str, payloads: list[bytes]) -> None:
    with httpx.Client(base_url=url, timeout=600) as client:
        for body in payloads:
            answer = client.post("/batch", content=body, headers={"Content-Type": "application/json"})
            answer.raise_for_status()


def batch_learning(url: str, payloads: list[bytes], size: int, clients: int) -> float:
    parts = [payloads[k::clients] for k in range(clients)]
    threads = [threading.Thread(target=send, args=(url, part)) for part in parts]
    started = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return len(payloads) * size / (time.perf_counter() - started)


def predict_bodies(n: int) -> list[bytes]:
    return [json.dumps({"x": x}).encode() for x, _ in list(Electricity())[:n]]


class RawClient:
    """A minimal keep-alive HTTP/1.1 client: the request in one send, so that the figures are the
    server's and the loopback's rather than a client library's."""

    def __init__(self, url: str) -> None:
        host, port = url.split("://")[1].rsplit(":", 1)
        self.sock = socket.create_connection((host, int(port)))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.file = self.sock.makefile("rb")

    def post(self, path: str, body: bytes) -> bytes:
        head = (f"POST {path} HTTP/1.1\r\nHost: bench\r\nContent-Type: application/json\r\n"
                f"Content-Length: {len(body)}\r\n\r\n").encode()
        self.sock.sendall(head + body)
        status = self.file.readline()
        length = 0
        while (line := self.file.readline()) not in (b"\r\n", b""):
            if line.lower().startswith(b"content-length:"):
                length = int(line.split(b":")[1])
        answer = self.file.read(length)
        if b" 200 " not in status:
            raise RuntimeError(f"{path}: {status!r} {answer!r}")
        return answer

    def close(self) -> None:
        self.file.close()
        self.sock.close()


def predict_latencies(url: str, bodies: list[bytes]) -> tuple[list[float], float, float]:
    """(latencies, start, end) of one /predict after another, after a warm-up; the clock is
    system-wide, so the windows of several processes compare."""
    out = []
    client = RawClient(url)
    for _ in range(50):
        client.post("/predict", bodies[0])
    started = time.perf_counter()
    for body in bodies:
        t = time.perf_counter()
        client.post("/predict", body)
        out.append(time.perf_counter() - t)
    ended = time.perf_counter()
    client.close()
    return out, started, ended


def _predict_worker(args: tuple[str, list[bytes]]) -> tuple[list[float], float, float]:
    return predict_latencies(*args)


def pct(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))] * 1e3


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bodies", type=int, default=20, help="/batch bodies per measurement")
    parser.add_argument("--body-events", type=int, default=5000, help="events per /batch body")
    parser.add_argument("--predicts", type=int, default=2000, help="sequential /predict requests")
    parser.add_argument("--clients", type=int, default=8, help="concurrent /predict client processes")
    parser.add_argument("--logged", type=int, default=100_000, help="events in the log at the kill")
    args = parser.parse_args()
    size = args.body_events

    with tempfile.TemporaryDirectory() as tmp:
        payloads = bodies(args.bodies, size)
        print(f"bodies: {len(payloads)} x {size} events, {statistics.mean(map(len, payloads)) / 1e6:.2f} MB each")
        server = Server(os.path.join(tmp, "learn"), "--checkpoint-every", "1000000000")
        print(f"/batch learning, 1 client:  {batch_learning(server.url, payloads, size, 1):>10,.0f} events/s")
        print(f"/batch learning, 2 clients: {batch_learning(server.url, payloads, size, 2):>10,.0f} events/s")

        lat, _, _ = predict_latencies(server.url, predict_bodies(args.predicts))
        print(f"/predict sequential: {len(lat)} requests, median {pct(lat, 0.5):.2f} ms, "
              f"p99 {pct(lat, 0.99):.2f} ms, {len(lat) / sum(lat):,.0f} requests/s")
        each = predict_bodies(max(1, args.predicts // args.clients))
        with multiprocessing.get_context("spawn").Pool(args.clients) as pool:
            results = pool.map(_predict_worker, [(server.url, each)] * args.clients)
        every = [v for part, _, _ in results for v in part]
        window = max(end for _, _, end in results) - min(start for _, start, _ in results)
        print(f"/predict {args.clients} clients: {len(every)} requests, {len(every) / window:,.0f} requests/s, "
              f"median {pct(every, 0.5):.2f} ms, p99 {pct(every, 0.99):.2f} ms")
        server.stop()

        state = os.path.join(tmp, "recover")
        empty = Server(state, "--checkpoint-every", "1000000000")
        print(f"restart, empty state: {empty.ready:.2f} s to the first /health")
        send(empty.url, bodies(1, 1000))
        empty.stop()  # checkpoint of 1,000 events
        server = Server(state, "--checkpoint-every", "1000000000")
        n_bodies = -(-args.logged // size)
        send(server.url, bodies(n_bodies, size))
        log_mb = os.path.getsize(os.path.join(state, "log")) / 1e6
        server.stop(signal.SIGKILL)
        again = Server(state, "--checkpoint-every", "1000000000")
        print(f"restart, checkpoint + {n_bodies * size:,} logged events ({log_mb:.1f} MB of log): "
              f"{again.ready:.2f} s to the first /health")
        again.stop()


if __name__ == "__main__":
    main()
