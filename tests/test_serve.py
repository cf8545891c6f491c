"""The learner service: a real `kavro serve` process on a free loopback port, driven over HTTP."""

import json
import os
import re
import signal
import socket
import stat
import subprocess
import sys
import threading
import time

import pytest

import kavro
from kavro.datasets import Electricity
from kavro.serve import wal

httpx = pytest.importorskip("httpx2")
pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

START_TIMEOUT = 60.0


@pytest.fixture(scope="module")
def stream():
    return list(Electricity())[:3000]


class Server:
    """One `kavro serve` process; the port is the one it reports."""

    def __init__(self, state_dir, *args, model="HoeffdingTreeClassifier:grace_period=50"):
        self.state_dir = str(state_dir)
        cmd = [sys.executable, "-m", "kavro", "serve", "--model", model, "--state-dir", self.state_dir,
               "--port", "0", *args]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()  # ends when the process prints or exits
        if not line.startswith("kavro: serving"):
            self.proc.kill()
            raise AssertionError(f"server did not start: {line}{self.proc.stderr.read()}")
        self.url = "http://" + line.split("http://")[1].split()[0]
        self.client = httpx.Client(base_url=self.url, timeout=30.0)

    def post(self, path, doc=None, **kw):
        return self.client.post(path, json=doc, **kw) if doc is not None else self.client.post(path, **kw)

    def get(self, path, **kw):
        return self.client.get(path, **kw)

    def metric(self, name, **kw):
        for line in self.get("/metrics", **kw).text.splitlines():
            if line.startswith(name + " "):
                return float(line.split()[1])
        raise KeyError(name)

    def stop(self, sig=signal.SIGTERM):
        self.client.close()
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=START_TIMEOUT)
        finally:
            self.proc.stdout.close()
            self.proc.stderr.close()


@pytest.fixture
def servers():
    started = []

    def start(*args, **kw):
        server = Server(*args, **kw)
        started.append(server)
        return server

    yield start
    for server in started:
        if server.proc.poll() is None:
            server.stop(signal.SIGKILL)


def fails_to_start(capsys, state_dir, *args, model="NaiveBayes"):
    """The one-line error of a `kavro serve` refused before it serves (run in this process)."""
    from kavro import cli

    code = cli.main(["serve", "--model", model, "--state-dir", str(state_dir), *args])
    err = capsys.readouterr().err
    assert code == 2
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("kavro: error: "), err
    return lines[0]


def replay(model, events, keyed=False):
    """Offline: every event learnt in order (one model per key when keyed)."""
    if not keyed:
        for x, y in events:
            model.learn_one(x, y)
        return kavro.dumps(model)
    blank = kavro.dumps(model)
    models = {}
    for key, x, y in events:
        models.setdefault(key, kavro.loads(blank)).learn_one(x, y)
    return {key: kavro.dumps(m) for key, m in models.items()}


def tree():
    return kavro.HoeffdingTreeClassifier(grace_period=50)


class TestDurability:
    def test_kill_9_mid_stream_then_restart_equals_the_offline_replay(self, servers, stream, tmp_path):
        server = servers(tmp_path, "--checkpoint-every", "700")
        sent = []      # every event, in the order sent (one request at a time: seq order)
        acked = [0]    # events whose request was answered
        stop = threading.Event()

        def feed():
            i = 0
            with httpx.Client(base_url=server.url, timeout=30.0) as client:
                while not stop.is_set() and i + 50 < len(stream):
                    try:
                        if i % 3 == 0:  # a batch of 50
                            chunk = stream[i:i + 50]
                            sent.extend(chunk)
                            client.post("/batch", json={"learn": [{"x": x, "y": y} for x, y in chunk]})
                            i += 50
                        elif i % 3 == 1:  # predicted, then labelled
                            x, y = stream[i]
                            event = client.post("/predict", json={"x": x}).json()["event"]
                            sent.append((x, y))
                            client.post("/label", json={"event": event, "y": y})
                            i += 1
                        else:
                            sent.append(stream[i])
                            client.post("/learn", json={"x": stream[i][0], "y": stream[i][1]})
                            i += 1
                    except httpx.TransportError:
                        return
                    acked[0] = len(sent)

        thread = threading.Thread(target=feed)
        thread.start()
        deadline = time.monotonic() + START_TIMEOUT
        while acked[0] < 1500 and thread.is_alive() and time.monotonic() < deadline:
            time.sleep(0.01)
        server.proc.kill()
        stop.set()
        thread.join(timeout=START_TIMEOUT)
        assert server.stop() == -signal.SIGKILL
        assert acked[0] >= 1500

        again = servers(tmp_path, "--checkpoint-every", "700")
        state = again.get("/model")
        recovered = int(state.headers["X-Kavro-Seq"])
        # Every answered event is there; of the one request in flight, all or nothing.
        assert acked[0] <= recovered <= len(sent)
        assert state.content == replay(tree(), sent[:recovered])
        assert again.metric("kavro_model_version") == recovered

        # It goes on from there: the next event is numbered after the last one.
        x, y = stream[-1]
        assert again.post("/learn", {"x": x, "y": y}).json() == {"seq": recovered + 1, "version": recovered + 1}
        assert again.get("/model").content == replay(tree(), [*sent[:recovered], (x, y)])

    def test_concurrent_clients_are_learnt_in_seq_order_and_share_syncs(self, servers, stream, tmp_path):
        server = servers(tmp_path)
        answers = []
        lock = threading.Lock()

        def feed(part):
            with httpx.Client(base_url=server.url, timeout=30.0) as client:
                for x, y in part:
                    seq = client.post("/learn", json={"x": x, "y": y}).json()["seq"]
                    with lock:
                        answers.append((seq, x, y))

        threads = [threading.Thread(target=feed, args=(stream[k:400:8],)) for k in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=START_TIMEOUT)
        answers.sort(key=lambda a: a[0])
        assert [a[0] for a in answers] == list(range(1, 401))
        assert server.get("/model").content == replay(tree(), [(x, y) for _, x, y in answers])
        syncs = server.metric("kavro_log_sync_seconds_count")
        assert server.metric("kavro_log_group_requests_total") == 400 and syncs <= 400

    def test_sigterm_checkpoints_and_exits_0(self, servers, stream, tmp_path):
        server = servers(tmp_path)
        server.post("/batch", {"learn": [{"x": x, "y": y} for x, y in stream[:500]]})
        assert server.stop() == 0
        names = os.listdir(tmp_path)
        assert "checkpoint-00000000000000000500" in names and os.path.getsize(tmp_path / "log") == 0
        again = servers(tmp_path)
        assert again.get("/model").content == replay(tree(), stream[:500])
        assert again.metric("kavro_replayed_events") == 0

    def test_a_torn_last_record_is_dropped(self, servers, stream, tmp_path):
        server = servers(tmp_path)
        for x, y in stream[:20]:
            server.post("/learn", {"x": x, "y": y})
        server.stop(signal.SIGKILL)
        record = wal.encode(21, 1, json.dumps([[stream[20][0], stream[20][1], None, None]]).encode())
        with open(tmp_path / "log", "ab") as f:
            f.write(record[:-7])
        again = servers(tmp_path)
        assert again.get("/model").content == replay(tree(), stream[:20])
        assert again.post("/learn", {"x": stream[20][0], "y": stream[20][1]}).json()["seq"] == 21

    def test_damage_before_intact_records_refuses_to_start(self, servers, stream, tmp_path, capsys):
        server = servers(tmp_path, model="NaiveBayes")
        for x, y in stream[:3]:
            server.post("/learn", {"x": x, "y": y})
        server.stop(signal.SIGKILL)
        data = bytearray((tmp_path / "log").read_bytes())
        data[wal.HEADER_SIZE + 5] ^= 0xFF  # inside the first record's payload
        (tmp_path / "log").write_bytes(bytes(data))
        assert "followed by intact records" in fails_to_start(capsys, tmp_path, "--port", "0")


class TestLog:
    def records(self, n):
        return [wal.encode(i + 1, 1, json.dumps([[{"a": i}, 1, None, None]]).encode()) for i in range(n)]

    def test_scan_drops_only_a_torn_tail(self):
        recs = self.records(3)
        whole = b"".join(recs)
        assert [r.seq for r in wal.scan(whole)[0]] == [1, 2, 3]
        for cut in (1, wal.HEADER_SIZE - 1, wal.HEADER_SIZE + 1, len(recs[2]) - 1):
            records, end = wal.scan(whole[:-cut])
            assert [r.seq for r in records] == [1, 2] and end == len(recs[0]) + len(recs[1])
        # A zero-filled tail (a file extended, its data never written) is torn too.
        assert len(wal.scan(whole + bytes(64))[0]) == 3
        flipped = bytearray(whole)
        flipped[-3] ^= 1
        assert len(wal.scan(bytes(flipped))[0]) == 2

    def test_damage_followed_by_a_whole_record_is_corruption(self):
        recs = self.records(3)
        flipped = bytearray(b"".join(recs))
        flipped[len(recs[0]) + wal.HEADER_SIZE + 2] ^= 1
        with pytest.raises(wal.LogCorruptError, match="followed by intact records"):
            wal.scan(bytes(flipped))

    def test_a_gap_in_the_numbering_is_corruption(self):
        recs = self.records(3)
        records, _ = wal.scan(recs[0] + recs[2])
        with pytest.raises(wal.LogCorruptError, match="jumps from seq 1 to seq 3"):
            list(wal.iter_events(records, 0))
        assert [seq for seq, _ in wal.iter_events(wal.scan(b"".join(recs))[0], 2)] == [3]


class TestJoins:
    def test_predict_then_label(self, servers, stream, tmp_path):
        server = servers(tmp_path)
        for x, y in stream[:300]:
            server.post("/learn", {"x": x, "y": y})
        x, y = stream[300]
        answer = server.post("/predict", {"x": x}).json()
        model = kavro.loads(server.get("/model").content)
        assert answer["y"] == model.predict_one(x) and answer["version"] == 300
        assert {int(k): v for k, v in answer["proba"].items()} == model.predict_proba_one(x)
        assert server.post("/label", {"event": answer["event"], "y": y}).json() == {"seq": 301, "version": 301}
        again = server.post("/label", {"event": answer["event"], "y": y})
        assert again.status_code == 404 and "waiting for a label" in again.json()["error"]
        assert server.post("/label", {"event": "nope", "y": 1}).status_code == 404
        assert server.metric("kavro_labelled_events_total") == 1
        assert server.metric('kavro_prequential{measure="Accuracy"}') == float(answer["y"] == y)
        assert server.get("/model").content == replay(tree(), stream[:301])

    def test_batch_predicts_first_then_learns_then_labels(self, servers, stream, tmp_path):
        server = servers(tmp_path)
        first = server.post("/batch", {"predict": [{"x": x} for x, _ in stream[:40]]}).json()
        assert first["seqs"] == [] and len(first["predictions"]) == 40 and first["version"] == 0
        body = {"learn": [{"x": x, "y": y} for x, y in stream[40:100]],
                "predict": [{"x": stream[0][0]}],
                "label": [{"event": p["event"], "y": stream[i][1]} for i, p in enumerate(first["predictions"])]}
        out = server.post("/batch", body).json()
        assert out["predictions"][0]["version"] == 0  # before this request's learning
        assert out["seqs"] == list(range(1, 61)) and out["label_seqs"] == list(range(61, 101))
        assert server.get("/model").content == replay(tree(), [*stream[40:100], *stream[:40]])
        # One unknown label refuses the whole batch: nothing learnt, no prediction kept.
        pending = server.metric("kavro_pending_predictions")
        refused = server.post("/batch", {"learn": [{"x": stream[0][0], "y": 1}], "predict": [{"x": {}}],
                                         "label": [{"event": "gone", "y": 0}]})
        assert refused.status_code == 404 and "label[0].event" in refused.json()["error"]
        assert server.metric("kavro_pending_predictions") == pending
        assert server.metric("kavro_model_version") == 100

    def test_labels_expire(self, servers, stream, tmp_path):
        server = servers(tmp_path, "--label-ttl", "0.2", "--max-pending", "2")
        events = [server.post("/predict", {"x": x}).json()["event"] for x, _ in stream[:3]]
        # At most two kept: the oldest went first.
        assert server.post("/label", {"event": events[0], "y": 0}).status_code == 404
        time.sleep(0.3)
        assert server.post("/label", {"event": events[2], "y": 0}).status_code == 404
        assert server.metric("kavro_dropped_predictions_total") == 3


class TestRefusals:
    def test_every_refusal_leaves_the_state_and_the_log_as_they_were(self, servers, stream, tmp_path):
        server = servers(tmp_path, "--max-body", "2000")
        x, y = stream[0]
        server.post("/learn", {"x": x, "y": y})
        before = (server.get("/model").content, server.metric("kavro_log_bytes"))
        cases = [
            ("/learn", b'{"x": {"a": 1}, "y": ', 400, "malformed JSON"),
            ("/learn", b'[1, 2]', 400, "must be a JSON object"),
            ("/learn", {"x": {"a": 1, "b": "high"}, "y": 1}, 400, "x['b'] is not a number"),
            ("/learn", {"x": {"a": True}, "y": 1}, 400, "x['a'] is not a number"),
            ("/learn", b'{"x": {"a": NaN}, "y": 1}', 400, "malformed JSON"),
            ("/learn", {"x": {"a": 1}}, 400, "y is missing"),
            ("/learn", {"x": {"a": 1}, "y": 0.5}, 400, "y must be an integer class label"),
            ("/learn", {"x": [1, 2], "y": 1}, 400, "x must be an object"),
            ("/learn", {"x": {"a": 1}, "y": 1, "z": 2}, 400, "unknown field 'z'"),
            ("/learn", {"x": {"a": 1}, "y": 1, "key": "k"}, 400, "holds one model"),
            ("/predict", {}, 400, "x is missing"),
            ("/batch", {"learn": [{"x": x, "y": y}, {"x": {"a": "?"}, "y": 1}]}, 400, "learn[1].x['a']"),
            ("/batch", {"learn": [{"x": x}]}, 400, "learn[0].y is missing"),
            ("/batch", {"learn": {"x": x}}, 400, "learn must be an array"),
            ("/learn", {"x": {f"f{i}": 1.0 for i in range(200)}, "y": 1}, 413, "limit is 2000"),
        ]
        for path, body, status, message in cases:
            kw = {"content": body} if isinstance(body, bytes) else {"json": body}
            answer = server.client.post(path, **kw)
            assert answer.status_code == status, (body, answer.text)
            assert message in answer.json()["error"], (message, answer.json())
        # A body of undeclared length is cut off at the limit as it streams in.
        chunked = server.client.post("/learn", content=iter([b'{"x": {"a": ' + b" " * 1500, b" " * 1500 + b"1}}"]))
        assert chunked.status_code == 413 and "over the limit of 2000 bytes" in chunked.json()["error"]
        assert (server.get("/model").content, server.metric("kavro_log_bytes")) == before
        assert server.metric("kavro_model_version") == 1

    def test_token_guards_everything_but_health(self, servers, stream, tmp_path):
        token_file = tmp_path / "token"
        token_file.write_text("s3cret\n")
        server = servers(tmp_path / "state", "--token-file", str(token_file))
        assert server.get("/health").status_code == 200
        for method, path in [("post", "/learn"), ("post", "/predict"), ("post", "/label"), ("post", "/batch"),
                             ("get", "/model"), ("get", "/metrics"), ("get", "/openapi.json")]:
            for headers in [{}, {"Authorization": "Bearer wrong"}, {"Authorization": "Basic s3cret"}]:
                answer = getattr(server.client, method)(path, headers=headers)
                assert answer.status_code == 401 and answer.headers["www-authenticate"] == "Bearer"
        good = {"Authorization": "Bearer s3cret"}
        x, y = stream[0]
        assert server.client.post("/learn", json={"x": x, "y": y}, headers=good).json()["seq"] == 1
        assert server.metric("kavro_model_version", headers=good) == 1

    def test_state_folder_mode_owner_and_port(self, servers, tmp_path, capsys):
        state = tmp_path / "deep" / "state"
        server = servers(state, model="NaiveBayes")
        assert stat.S_IMODE(os.stat(state).st_mode) == 0o700
        assert "in use by another process" in fails_to_start(capsys, state, "--port", "0")
        port = server.url.rsplit(":", 1)[1]
        taken = fails_to_start(capsys, tmp_path / "other", "--port", port)
        assert f"cannot listen on 127.0.0.1:{port}" in taken
        assert not (tmp_path / "other").exists()
        server.stop()
        message = fails_to_start(capsys, state, "--port", "0", model="HoeffdingTreeClassifier")
        assert "belongs to another model (NaiveBayes), not HoeffdingTreeClassifier" in message
        refused = fails_to_start(capsys, tmp_path / "r", "--ray", "auto")
        assert "--ray holds keyed models: it needs --keyed" in refused

    def test_openapi_describes_every_route(self, servers, tmp_path):
        server = servers(tmp_path, model="NaiveBayes")
        doc = server.get("/openapi.json").json()
        assert doc["openapi"].startswith("3.")
        assert set(doc["paths"]) == {"/predict", "/label", "/learn", "/batch", "/model", "/metrics",
                                     "/health", "/openapi.json"}
        assert doc["components"]["schemas"]["Learn"]["properties"]["y"]["type"] == "integer"
        refs = set(re.findall(r'"\$ref": "#/components/schemas/(\w+)"', json.dumps(doc)))
        assert refs and refs <= set(doc["components"]["schemas"])
        assert doc["paths"]["/health"]["get"]["security"] == []


class TestKeyed:
    def test_one_model_per_key_survives_a_kill(self, servers, stream, tmp_path):
        server = servers(tmp_path, "--keyed", "--checkpoint-every", "150")
        events = [(("north", 7)[i % 2], x, y) for i, (x, y) in enumerate(stream[:400])]
        for i in range(0, 400, 100):
            server.post("/batch", {"learn": [{"x": x, "y": y, "key": k} for k, x, y in events[i:i + 100]]})
        blank = server.post("/predict", {"x": stream[0][0], "key": "never"}).json()
        assert blank["y"] == tree().predict_one(stream[0][0])
        assert server.post("/learn", {"x": stream[0][0], "y": 1}).status_code == 400
        server.stop(signal.SIGKILL)
        again = servers(tmp_path, "--keyed", "--checkpoint-every", "150")
        expected = replay(tree(), events, keyed=True)
        assert again.get("/model", params={"key": "north"}).content == expected["north"]
        assert again.get("/model", params={"key": "7"}).content == expected[7]
        assert again.get("/model", params={"key": "south"}).status_code == 404
        assert again.get("/model").status_code == 400


class TestInProcess:
    """Crash windows and failures that a real process cannot be steered into, on `App` itself."""

    @pytest.fixture
    def client(self):
        from starlette.testclient import TestClient

        return TestClient

    def test_a_crash_between_checkpoint_and_emptying_the_log_replays_nothing_twice(
            self, client, stream, tmp_path, monkeypatch):
        from kavro.serve import App

        monkeypatch.setattr(wal.WriteAheadLog, "truncate", lambda self: None)
        app = App(tree(), tmp_path, checkpoint_every=6)
        with client(app) as c:
            for x, y in stream[:8]:
                c.post("/learn", json={"x": x, "y": y})
            assert "checkpoint-00000000000000000006" in os.listdir(tmp_path)
            app.service._release()  # gone without a last checkpoint: the log holds seqs 1 to 8
        monkeypatch.undo()
        again = App(tree(), tmp_path)
        assert again.service.metrics.replayed == 2
        with client(again) as c:
            assert c.get("/model").content == replay(tree(), stream[:8])

    def test_a_failed_checkpoint_keeps_serving_from_the_log(self, client, stream, tmp_path, monkeypatch):
        from kavro.serve import App
        from kavro.serve.state import StateFolder

        def full(self, seq, data):
            raise OSError(28, "No space left on device")

        monkeypatch.setattr(StateFolder, "write_checkpoint", full)
        app = App(tree(), tmp_path, checkpoint_every=5)
        with client(app) as c:
            for x, y in stream[:12]:
                assert c.post("/learn", json={"x": x, "y": y}).status_code == 200
            assert "kavro_checkpoint_failures_total 2" in c.get("/metrics").text
            app.service._release()
        monkeypatch.undo()
        with client(App(tree(), tmp_path)) as c:
            assert c.get("/model").content == replay(tree(), stream[:12])

    def test_refused_arguments_leave_no_state_folder(self, tmp_path):
        from kavro.serve import App

        state = tmp_path / "state"
        with pytest.raises(TypeError, match="classifier or regressor"):
            App(kavro.StandardScaler(), state)
        for kw in ({"max_body": 0}, {"checkpoint_every": 0}, {"token": ""}, {"label_ttl": 0}):
            with pytest.raises(ValueError):
                App(tree(), state, **kw)
        assert not state.exists()

    def test_a_failed_sync_refuses_learning_until_restart(self, client, stream, tmp_path, monkeypatch):
        from kavro.serve import App

        def broken(self, data):
            raise OSError(5, "Input/output error")

        with client(App(tree(), tmp_path)) as c:
            x, y = stream[0]
            assert c.post("/learn", json={"x": x, "y": y}).status_code == 200
            monkeypatch.setattr(wal.WriteAheadLog, "append", broken)
            failed = c.post("/learn", json={"x": x, "y": y})
            assert failed.status_code == 503 and "Input/output error" in failed.json()["error"]
            assert c.post("/batch", json={"learn": [{"x": x, "y": y}]}).status_code == 503
            assert c.get("/health").status_code == 503
            assert c.get("/model").content == replay(tree(), stream[:1])


class TestRegression:
    def test_measures_of_a_regressor_are_scored_and_survive_a_restart(self, tmp_path):
        from starlette.testclient import TestClient

        from kavro.pipeline import RegressionPipeline
        from kavro.preprocessing import StandardScaler
        from kavro.serve import App

        def model():
            return RegressionPipeline([StandardScaler()], kavro.HoeffdingTreeRegressor(grace_period=50))

        rows = list(kavro.datasets.DATASETS["fried"]())[:700]
        rows[10] = (rows[10][0], 12)  # an integer target takes the item-by-item path
        offline, mae, passed = model(), kavro.metrics.MAE(), model()
        with TestClient(App(passed, tmp_path)) as c:
            c.post("/batch", json={"learn": [{"x": x, "y": y} for x, y in rows[:600]]})
            for x, y in rows[:600]:
                offline.learn_one(x, y)
            for x, y in rows[600:]:
                answer = c.post("/predict", json={"x": x}).json()
                assert "proba" not in answer and answer["y"] == offline.predict_one(x)
                mae.update(y, offline.predict_one(x))
                c.post("/label", json={"event": answer["event"], "y": y})
                offline.learn_one(x, y)
            assert c.post("/learn", json={"x": x, "y": "12"}).status_code == 400
        with TestClient(App(model(), tmp_path)) as c:
            assert c.get("/model").content == kavro.dumps(offline)
            lines = c.get("/metrics").text.splitlines()
        assert f'kavro_prequential{{measure="MAE"}} {mae.get():.9g}' in lines
        assert "kavro_labelled_events_total 100" in lines
        assert kavro.dumps(passed) == kavro.dumps(model())  # the app learnt into its own copy


def test_metrics_histograms_are_cumulative():
    from kavro.serve.metrics import ServiceMetrics

    metrics = ServiceMetrics()
    for seconds in (0.0001, 0.003, 0.003, 7.0):
        metrics.request('odd"name', 200, seconds)
    text = metrics.render({"version": 0, "seq": 0, "labelled": 0, "measures": {}, "pending": 0,
                           "dropped": 0, "models": 1, "log_bytes": 0})
    buckets = [line for line in text.splitlines() if line.startswith("kavro_request_seconds_bucket")]
    assert 'endpoint="odd\\"name",le="0.0005"} 1' in buckets[0]
    assert buckets[3].endswith('le="0.005"} 3') and buckets[-1].endswith('le="+Inf"} 4')
    assert 'kavro_requests_total{endpoint="odd\\"name",status="200"} 4' in text


class TestRay:
    def test_keyed_models_on_ray_recover_from_their_checkpoint_and_the_log(self, ray_session, stream, tmp_path):
        from starlette.testclient import TestClient

        from kavro.serve import App

        events = [(("north", 7)[i % 2], x, y) for i, (x, y) in enumerate(stream[:300])]
        app = App(tree(), tmp_path, keyed=True, ray="local", checkpoint_every=150)
        with TestClient(app) as c:
            c.post("/batch", json={"learn": [{"x": x, "y": y, "key": k} for k, x, y in events[:200]]})
            assert any(name.startswith("keyed-") for name in os.listdir(tmp_path))
            for i in (200, 250):
                part = events[i:i + 50]
                body = {"learn": [{"x": x, "y": y, "key": k} for k, x, y in part]}
                assert c.post("/batch", json=body).is_success
            assert c.get("/model", params={"key": "north"}).content == replay(tree(), events, keyed=True)["north"]
            app.service._release()  # gone without a last checkpoint: the shards' actors with it
        again = App(tree(), tmp_path, keyed=True, ray="local")
        assert again.service.metrics.replayed == 100
        with TestClient(again) as c:
            expected = replay(tree(), events, keyed=True)
            assert c.get("/model", params={"key": "north"}).content == expected["north"]
            assert c.get("/model", params={"key": "7"}).content == expected[7]
            fresh = c.post("/predict", json={"x": stream[0][0], "key": "never"}).json()
            assert fresh["y"] == tree().predict_one(stream[0][0])
