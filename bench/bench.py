"""Per-example cost of every class of _kavro_core against the cost of crossing the Python boundary.

The floor is _kavro_testing.Floor: no-op methods that take their arguments exactly as the learners,
metrics and detectors do. Records are timed in blocks; in each block the floor and the measured method
run back to back on the same records, and a figure's ratio is the median over blocks of the paired
ratio; blocks are timed by the thread's CPU time. Both keep the ratios steady on a loaded machine.
Usage: bash bench/run.sh [options below].
"""
import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import catalog  # noqa: E402
from catalog import ENSEMBLE, KNN, METRIC, DETECTOR, PIPELINE, SINGLE, TRANSFORMER  # noqa: E402
from streams import Stream, make_blocks  # noqa: E402

BLOCK = 50          # records per timed block
SCALAR_BLOCK = 1000  # updates per timed block (metrics, detectors)
TIME_GUARD_S = 40.0  # a stream stops early (at a block boundary) once a class has used this much


# ---------------------------------------------------------------------------------------------------
# timing loops: the floor and the measured method go through the same loop

# Thread CPU time: a block preempted by another process on a loaded machine is not charged for the
# time it waited. Reading this clock is a system call; its own cost is measured once and subtracted.
clock = time.thread_time_ns
CLOCK_COST_NS = 0


def _calibrate_clock():
    global CLOCK_COST_NS
    c = clock
    samples = []
    for _ in range(2000):
        t = c()
        samples.append(c() - t)
    CLOCK_COST_NS = statistics.median(samples)


def _elapsed(t0, t1):
    return max(t1 - t0 - CLOCK_COST_NS, 1)


def loop0(f, n):
    r = range(n)
    t = clock()
    for _ in r:
        f()
    return _elapsed(t, clock())


def loop1(f, xs):
    t = clock()
    for x in xs:
        f(x)
    return _elapsed(t, clock())


def loop2(f, xs, ys):
    t = clock()
    for x, y in zip(xs, ys):
        f(x, y)
    return _elapsed(t, clock())


def loop_learn_transform(learn, transform, xs):
    t = clock()
    for x in xs:
        learn(x)
        transform(x)
    return _elapsed(t, clock())


def loop_learn_transform_y(learn, transform, xs, ys):
    t = clock()
    for x, y in zip(xs, ys):
        learn(x, y)
        transform(x)
    return _elapsed(t, clock())


# The floor of a block is the faster of two back-to-back runs on its records: the first run after
# a large model may start with that model's data in the caches, which is the model's cost, not the
# boundary's.
def floor1(f, xs):
    return min(loop1(f, xs), loop1(f, xs))


def floor2(f, xs, ys):
    return min(loop2(f, xs, ys), loop2(f, xs, ys))


class Series:
    """Per-block samples of one method: its cost per call, the floor's, and their paired ratio."""

    def __init__(self):
        self.us, self.floor_us, self.ratio, self.diff_us = [], [], [], []
        self.total_ns, self.total_floor_ns = 0, 0

    def add(self, t_ns, floor_ns, n):
        self.total_ns += t_ns
        self.total_floor_ns += floor_ns
        self.us.append(t_ns / n / 1000.0)
        self.floor_us.append(floor_ns / n / 1000.0)
        self.ratio.append(t_ns / floor_ns if floor_ns > 0 else float("inf"))
        self.diff_us.append((t_ns - floor_ns) / n / 1000.0)

    def summary(self):
        if not self.us:
            return None
        med = statistics.median
        out = {"us": med(self.us), "floor_us": med(self.floor_us), "ratio": med(self.ratio),
               "over_floor_us": med(self.diff_us), "blocks": len(self.us),
               # total time over total floor time: counts the rare costly calls a median skips
               "total_ratio": (self.total_ns / self.total_floor_ns if self.total_floor_ns > 0
                               else float("inf"))}
        q = len(self.us) // 4
        if q >= 2:
            # cost in the last quarter of the stream against the second quarter
            out["late_growth"] = med(self.ratio[3 * q:]) / med(self.ratio[q:2 * q])
        return out


# ---------------------------------------------------------------------------------------------------
# one class on one stream

def time_learner(kc, floor, entry, stream, n, guard_s=TIME_GUARD_S):
    model = entry.make(kc)
    blocks = make_blocks(stream, n, BLOCK)
    series = {}
    role = entry.role

    def s(name):
        return series.setdefault(name, Series())

    learn, noop = model.learn_one, floor.noop
    if role == "classifier":
        plan_pred = [("predict_one", model.predict_one), ("predict_proba_one", model.predict_proba_one)]
        learn_floor = floor.noop_label
    elif role == "regressor":
        plan_pred = [("predict_one", model.predict_one)]
        learn_floor = floor.noop_target
    else:  # transformer
        plan_pred = [("transform_one", model.transform_one)]
        learn_floor = floor.noop_target if entry.needs_target else floor.noop

    done = 0
    t_start = time.monotonic()
    gc.collect()
    gc.disable()
    try:
        for xs, ys in blocks:
            b = len(xs)
            for name, f in plan_pred:
                fl = floor1(noop, xs)
                s(name).add(loop1(f, xs), fl, b)
            if role == "transformer" and not entry.needs_target:
                fl = floor1(learn_floor, xs)
                s("learn_one").add(loop1(learn, xs), fl, b)
                # as inside a pipeline: each record learnt, then transformed
                fl = min(loop_learn_transform(noop, noop, xs), loop_learn_transform(noop, noop, xs))
                s("learn+transform").add(loop_learn_transform(learn, model.transform_one, xs), fl, b)
            elif role == "transformer":
                fl = floor2(learn_floor, xs, ys)
                s("learn_one").add(loop2(learn, xs, ys), fl, b)
                fl = min(loop_learn_transform_y(learn_floor, noop, xs, ys),
                         loop_learn_transform_y(learn_floor, noop, xs, ys))
                s("learn+transform").add(
                    loop_learn_transform_y(learn, model.transform_one, xs, ys), fl, b)
            else:
                fl = floor2(learn_floor, xs, ys)
                s("learn_one").add(loop2(learn, xs, ys), fl, b)
            done += b
            if time.monotonic() - t_start > guard_s:
                break
    finally:
        gc.enable()
    return {"n": done, "seconds": round(time.monotonic() - t_start, 3),
            "methods": {k: v.summary() for k, v in series.items()}}


def time_scalar(kc, floor, entry, stream, n):
    """Metrics and detectors: each method against the no-op of the same signature."""
    obj = entry.make(kc)
    blocks = make_blocks(stream, n, SCALAR_BLOCK)
    update = obj.update
    fl_update = getattr(floor, entry.floors["update"])
    fl_get = getattr(floor, entry.floors["get"]) if "get" in entry.floors else None
    up, get = Series(), Series()
    two_args = entry.role == "metric"
    t_start = time.monotonic()
    gc.collect()
    gc.disable()
    try:
        for a, b in blocks:
            k = len(a)
            if two_args:
                fl = floor2(fl_update, a, b)
                up.add(loop2(update, a, b), fl, k)
            else:
                fl = floor1(fl_update, a)
                up.add(loop1(update, a), fl, k)
            if fl_get is not None:
                fl = min(loop0(fl_get, k), loop0(fl_get, k))
                get.add(loop0(obj.get, k), fl, k)
    finally:
        gc.enable()
    methods = {"update": up.summary()}
    if fl_get is not None:
        methods["get"] = get.summary()
    return {"n": n, "seconds": round(time.monotonic() - t_start, 3), "methods": methods}


def run_entry(kc, floor, entry, stream, n):
    try:
        if entry.role in ("metric", "detector"):
            return time_scalar(kc, floor, entry, stream, n)
        return time_learner(kc, floor, entry, stream, n)
    except Exception as exc:  # a broken class must not stop the run
        return {"error": f"{type(exc).__name__}: {exc}"}


# ---------------------------------------------------------------------------------------------------
# like-for-like floors: what the boundary costs for each result shape

def calibrate(floor, n=5_000):
    out = {}
    for kind, labels in (("clf2", 2), ("clf5", 5), ("reg", 0)):
        blocks = make_blocks(kind, n, BLOCK)
        floor.set_proba(labels or 1)
        shapes = {"noop": floor.noop, "noop_predict": floor.noop_predict,
                  "noop_predict_value": floor.noop_predict_value, "noop_proba": floor.noop_proba,
                  "noop_transform": floor.noop_transform, "noop_keyed": floor.noop_keyed,
                  "noop_keyed_transform": floor.noop_keyed_transform}
        series = {k: Series() for k in shapes}
        lab = Series()
        gc.disable()
        try:
            for xs, ys in blocks:
                for k, f in shapes.items():
                    fl = floor1(floor.noop, xs)
                    series[k].add(loop1(f, xs), fl, len(xs))
                fl = floor1(floor.noop, xs)
                g = floor.noop_label if kind != "reg" else floor.noop_target
                lab.add(loop2(g, xs, ys), fl, len(xs))
        finally:
            gc.enable()
        res = {k: v.summary() for k, v in series.items()}
        res["noop_label" if kind != "reg" else "noop_target"] = lab.summary()
        out[kind] = res
    # scalar floors
    scal = {}
    a, b = make_blocks("labels", 20_000, SCALAR_BLOCK)[0]
    for name, args in (("noop_labels", 2), ("noop_pair", 2), ("noop_value", 1), ("noop_int", 1),
                       ("noop_get", 0), ("noop_none", 0)):
        f = getattr(floor, name)
        ts = []
        for _ in range(20):
            if args == 2:
                ts.append(loop2(f, a, b) / len(a) / 1000.0)
            elif args == 1:
                ts.append(loop1(f, a) / len(a) / 1000.0)
            else:
                ts.append(loop0(f, len(a)) / len(a) / 1000.0)
        scal[name] = statistics.median(ts)
    out["scalar_us"] = scal
    floor.set_proba(2)
    return out


# ---------------------------------------------------------------------------------------------------
# memory: one child process per class, peak RSS over the run minus RSS before learning

def _status_kib(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def memory_child(name, stream, n, budget_s):
    import _kavro_core as kc
    import _kavro_testing as kt
    if name == "Floor":
        obj = kt.Floor()
        role, needs_target = "floor", False
    else:
        entry = {e.name: e for e in catalog.entries(kc)[0]}[name]
        obj = entry.make(kc)
        role, needs_target = entry.role, entry.needs_target
    src = Stream(stream)
    size = 1000
    first = src.block(size)
    gc.collect()
    base = _status_kib("VmRSS")
    t0 = time.monotonic()
    done = 0
    pending = first
    marks = []  # (examples, RSS) after each block, for the growth rate
    while done < n:
        xs, ys = pending
        m = min(len(xs), n - done)
        xs, ys = xs[:m], ys[:m]
        if role == "floor":
            for x, y in zip(xs, ys):
                obj.noop_label(x, y)
        elif role in ("classifier", "regressor", "metric") or needs_target:
            f = obj.learn_one if role != "metric" else obj.update
            for x, y in zip(xs, ys):
                f(x, y)
        elif role == "transformer":
            for x in xs:
                obj.learn_one(x)
        else:  # detector
            for x in xs:
                obj.update(x)
        done += m
        marks.append((done, _status_kib("VmRSS")))
        if time.monotonic() - t0 > budget_s:
            break
        pending = src.block(size)
    res = {"n": done, "seconds": round(time.monotonic() - t0, 2),
           "peak_kib": _status_kib("VmHWM") - base, "rss_kib": _status_kib("VmRSS") - base}
    half = [m for m in marks if m[0] * 2 >= done]
    if len(half) >= 2 and half[-1][0] > half[0][0]:
        # growth over the second half of the run, per 1,000 examples
        res["kib_per_1000"] = (half[-1][1] - half[0][1]) * 1000.0 / (half[-1][0] - half[0][0])
    print(json.dumps(res))


def measure_memory(name, stream, n, budget_s):
    cmd = [sys.executable, str(Path(__file__).resolve()), "--memory-child", name,
           "--stream", stream, "--memory-examples", str(n), "--memory-budget", str(budget_s)]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=budget_s + 120)
    except subprocess.TimeoutExpired:
        return {"error": "timeout"}
    if p.returncode != 0:
        return {"error": (p.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(p.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------------------------------
# scaling with the number of features

SCALING = [
    ("NaiveBayes", lambda kc: kc.NaiveBayes(), {10: 4000, 100: 2000, 1000: 600}),
    ("HoeffdingTreeClassifier", lambda kc: kc.HoeffdingTreeClassifier(),
     {10: 4000, 100: 2000, 1000: 600}),
    ("ARFClassifier", lambda kc: kc.ARFClassifier(), {10: 1000, 100: 400, 1000: 150}),
]
SCALING_BLOCK = {10: 50, 100: 25, 1000: 10}


def run_scaling(kc, floor, examples_override=None):
    """Each class at every width, round-robin one block per width (each block after an untimed
    prediction pass over it), so that a change of machine load reaches all widths alike. A width's cost per feature is its median us per call divided by
    its number of features; flatness is max/min over the widths, both of that raw figure and of
    the learner's cost relative to the floor's (the floor's own cost per feature, the record
    conversion, is printed beside it)."""
    out = {}
    methods = ("learn_one", "predict_one", "predict_proba_one")
    for name, make, sizes in SCALING:
        if not hasattr(kc, name):
            continue
        runs = {}
        for nf, n in sizes.items():
            if examples_override:
                n = min(n, examples_override)
            runs[nf] = {"model": make(kc), "stream": Stream("clf2", nf), "n": n, "done": 0,
                        "series": {k: Series() for k in methods}}
        t0 = time.monotonic()
        gc.collect()
        gc.disable()
        try:
            while any(r["done"] < r["n"] for r in runs.values()):
                for nf, r in runs.items():
                    if r["done"] >= r["n"]:
                        continue
                    xs, ys = r["stream"].block(min(SCALING_BLOCK[nf], r["n"] - r["done"]))
                    b, model, ser = len(xs), r["model"], r["series"]
                    # The other widths have just run through the caches; an untimed pass brings
                    # this model back to the state it has when it runs in a loop of its own.
                    for x in xs:
                        model.predict_proba_one(x)
                    fl = floor1(floor.noop, xs)
                    ser["predict_one"].add(loop1(model.predict_one, xs), fl, b)
                    fl = floor1(floor.noop, xs)
                    ser["predict_proba_one"].add(loop1(model.predict_proba_one, xs), fl, b)
                    fl = floor2(floor.noop_label, xs, ys)
                    ser["learn_one"].add(loop2(model.learn_one, xs, ys), fl, b)
                    r["done"] += b
                if time.monotonic() - t0 > 2 * TIME_GUARD_S:
                    break
        finally:
            gc.enable()
        per = {}
        for nf, r in runs.items():
            m = {k: v.summary() for k, v in r["series"].items()}
            for v in m.values():
                v["us_per_feature"] = v["us"] / nf
                v["floor_us_per_feature"] = v["floor_us"] / nf
            per[nf] = {"n": r["done"], "methods": m}
        flat, flat_raw, floor_flat = {}, {}, {}
        for meth in methods:
            raw = [per[nf]["methods"][meth]["us_per_feature"] for nf in per]
            rel = [per[nf]["methods"][meth]["ratio"] for nf in per]
            fl = [per[nf]["methods"][meth]["floor_us_per_feature"] for nf in per]
            flat_raw[meth] = max(raw) / min(raw)
            flat[meth] = max(rel) / min(rel)
            floor_flat[meth] = max(fl) / min(fl)
        out[name] = {"sizes": per, "flatness": flat, "flatness_raw": flat_raw,
                     "floor_flatness": floor_flat}
    return out


# ---------------------------------------------------------------------------------------------------
# targets

def judge(results, members):
    verdicts = []

    def add(name, stream, what, value, limit, unit, ok, note=""):
        verdicts.append({"class": name, "stream": stream, "what": what, "value": value,
                         "limit": limit, "unit": unit, "pass": bool(ok), "note": note})

    for name, r in results.items():
        entry = r["entry"]
        for stream, fig in r["streams"].items():
            if "error" in fig:
                add(name, stream, "run", None, None, "", False, fig["error"])
                continue
            if stream not in catalog.TARGET_STREAMS and entry.group not in (METRIC, DETECTOR):
                continue
            meths = fig["methods"]
            if entry.group in catalog.RATIO_TARGET:
                lim = catalog.RATIO_TARGET[entry.group]
                for meth in ("learn_one", "predict_one", "predict_proba_one", "transform_one"):
                    if meth in meths and meths[meth]:
                        v = meths[meth]["ratio"]
                        add(name, stream, meth, v, lim, "x floor", v <= lim,
                            f"total-time ratio {meths[meth]['total_ratio']:.2f}")
            elif entry.group == ENSEMBLE:
                mem = members.get((entry.member, stream))
                reps = entry.reps(stream)
                v = meths["learn_one"]["ratio"] / reps
                if mem and "error" not in mem:
                    mref = mem["methods"]["learn_one"]["ratio"]
                    lim = catalog.ENSEMBLE_FACTOR * mref
                    add(name, stream, f"learn_one / {reps:g} reps", v, lim, "x floor", v <= lim,
                        f"member ratio {mref:.2f}")
                else:
                    add(name, stream, f"learn_one / {reps:g} reps", v, None, "x floor", False,
                        "member tree not measured")
            elif entry.group in (METRIC, DETECTOR):
                v = meths["update"]["over_floor_us"]
                add(name, stream, "update - no-op", v, catalog.ABSOLUTE_TARGET_US, "us",
                    v <= catalog.ABSOLUTE_TARGET_US)
    return verdicts


# ---------------------------------------------------------------------------------------------------
# report

def _fmt_cell(m):
    if not m:
        return ""
    return f"{m['us']:8.2f} {m['ratio']:6.2f}x"


def print_report(meta, results, members, verdicts, scaling, memory, comparison, out):
    p = print
    cal = meta["floors"]
    p(f"\nKAVRO per-example cost ({meta['python']}, {meta['machine']}, load {meta['loadavg']})")
    p("floor = _kavro_testing.Floor no-op on the same records; cells are 'median us  ratio to floor'")
    for kind in ("clf2", "clf5", "reg"):
        c = cal[kind]
        p(f"  floor {kind}: noop(x) {c['noop']['us']:.3f} us; "
          f"returning int {c['noop_predict']['ratio']:.2f}x, float "
          f"{c['noop_predict_value']['ratio']:.2f}x, proba dict {c['noop_proba']['ratio']:.2f}x, "
          f"record dict {c['noop_transform']['ratio']:.2f}x; transform_one's record conversion "
          f"{c['noop_keyed']['ratio']:.2f}x, with its record result "
          f"{c['noop_keyed_transform']['ratio']:.2f}x")
    sc = cal["scalar_us"]
    p("  scalar no-ops (us): " + ", ".join(f"{k} {v:.3f}" for k, v in sc.items()))

    hdr = (f"\n{'class':<44} {'stream':<6} {'n':>6} {'learn_one':>16} {'predict_one':>16} "
           f"{'proba/transform':>16} {'late':>5} {'peak MiB':>9}")
    p(hdr)
    p("-" * (len(hdr) - 1))
    for name, r in results.items():
        entry = r["entry"]
        if entry.group in (METRIC, DETECTOR):
            continue
        label = entry.label or name
        for stream, fig in r["streams"].items():
            if "error" in fig:
                p(f"{label[:44]:<44} {stream:<6} ERROR {fig['error']}")
                continue
            m = fig["methods"]
            third = m.get("predict_proba_one") or m.get("transform_one")
            mem = memory.get(name) if stream == entry.streams[0] else None
            memtxt = ""
            if mem:
                memtxt = "err" if "error" in mem else f"{mem['peak_kib'] / 1024:9.2f}"
                if "error" not in mem and mem["n"] < 100_000:
                    memtxt += f" @{mem['n']}"
                    if mem.get("kib_per_1000", 0) > 64:
                        memtxt += f", +{mem['kib_per_1000'] / 1024:.1f} MiB per 1k"
            late = m.get("learn_one", {}).get("late_growth")
            late = f"{late:5.2f}" if late else ""
            p(f"{label[:44]:<44} {stream:<6} {fig['n']:>6} {_fmt_cell(m.get('learn_one')):>16} "
              f"{_fmt_cell(m.get('predict_one')):>16} {_fmt_cell(third):>16} {late:>5} {memtxt:>9}")
            if "learn+transform" in m:
                p(f"{'  (learn_one then transform_one per record)':<44} {stream:<6} {fig['n']:>6} "
                  f"{_fmt_cell(m['learn+transform']):>16}")
    if members:
        p("\nmember trees, built as the ensembles build them, standalone on the same records:")
        for (key, stream), fig in members.items():
            lab = catalog.member_entry(key, stream).label
            if "error" in fig:
                p(f"  {lab} [{stream}] ERROR {fig['error']}")
                continue
            m = fig["methods"]
            p(f"  {lab[:70]:<70} {stream:<5} n={fig['n']:<6} learn {_fmt_cell(m['learn_one'])}")

    p(f"\n{'metric / detector':<24} {'n':>7} {'update us':>10} {'no-op us':>9} {'over':>7} "
      f"{'get us':>8} {'over':>7} {'peak MiB':>9}")
    for name, r in results.items():
        entry = r["entry"]
        if entry.group not in (METRIC, DETECTOR):
            continue
        for stream, fig in r["streams"].items():
            if "error" in fig:
                p(f"{name:<24} ERROR {fig['error']}")
                continue
            u = fig["methods"]["update"]
            g = fig["methods"].get("get")
            mem = memory.get(name)
            memtxt = "" if not mem else ("err" if "error" in mem else f"{mem['peak_kib'] / 1024:9.2f}")
            gtxt = f"{g['us']:8.3f} {g['over_floor_us']:+7.3f}" if g else f"{'':8} {'':7}"
            p(f"{name:<24} {fig['n']:>7} {u['us']:10.3f} {u['floor_us']:9.3f} "
              f"{u['over_floor_us']:+7.3f} {gtxt} {memtxt:>9}")
    if "Floor" in memory and "error" not in memory["Floor"]:
        p(f"\npeak MiB = peak RSS of a child process learning the stream minus its RSS before; the "
          f"harness alone (floor no-op) shows {memory['Floor']['peak_kib'] / 1024:.2f} MiB. "
          "'late' = learn_one ratio over the last quarter of the timed stream divided by that over "
          "the second quarter; '@n' = stopped early by the time budget after n examples; '+x MiB per 1k' = its RSS "
          "growth per 1,000 examples over the second half of its run.")

    if scaling:
        p("\nscaling with the number of features (2-label stream, widths interleaved): "
          "us per call / us per feature / ratio to floor")
        for name, s in scaling.items():
            for nf, fig in s["sizes"].items():
                m = fig["methods"]
                cells = "  ".join(f"{k} {m[k]['us']:8.2f} / {m[k]['us_per_feature']:.4f} / "
                                  f"{m[k]['ratio']:5.2f}x" for k in m)
                p(f"  {name:<24} {nf:>5} features n={fig['n']:<5} {cells}   floor "
                  f"{m['learn_one']['floor_us_per_feature']:.4f} us/feature")
            p(f"  {name:<24} flatness max/min of the cost per feature relative to the floor's: " +
              ", ".join(f"{k} {v:.2f}" for k, v in s["flatness"].items()))
            p(f"  {name:<24} (raw us per feature: " +
              ", ".join(f"{k} {v:.2f}" for k, v in s["flatness_raw"].items()) +
              "; the floor's own: " +
              ", ".join(f"{k} {v:.2f}" for k, v in s["floor_flatness"].items()) + ")")

    if comparison:
        from compare import print_comparison
        print_comparison(comparison)

    p("\ntargets (defaults, 10 features; 2-label and regression streams):")
    for v in verdicts:
        val = "-" if v["value"] is None else f"{v['value']:.3f}"
        lim = "-" if v["limit"] is None else f"{v['limit']:.3f}"
        note = f"  ({v['note']})" if v["note"] else ""
        p(f"  {'PASS' if v['pass'] else 'MISS'}  {v['class']:<30} {v['stream']:<6} {v['what']:<24} "
          f"{val:>8} <= {lim:<8} {v['unit']}{note}")
    for name, s in scaling.items():
        for k, f in s["flatness"].items():
            raw = s["flatness_raw"][k]
            p(f"  {'PASS' if f <= 1.5 else 'MISS'}  {name:<30} scaling {k:<24} {f:8.3f} <= 1.5"
              f"      (raw us/feature {raw:.2f}: {'PASS' if raw <= 1.5 else 'MISS'})")
    n_pass = sum(v["pass"] for v in verdicts) + sum(
        f <= 1.5 for s in scaling.values() for f in s["flatness"].values())
    n_all = len(verdicts) + sum(len(s["flatness"]) for s in scaling.values())
    p(f"\n{n_pass}/{n_all} targets hold. Results written to {out}")
    if meta["missing"]:
        p("not in the module (not benchmarked): " + ", ".join(meta["missing"]))
    if meta["no_recipe"]:
        p("in the module without a benchmark recipe: " + ", ".join(meta["no_recipe"]))


# ---------------------------------------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--classes", help="comma-separated class names (default: every class)")
    ap.add_argument("--examples", type=int, help="examples per stream for every class (overrides)")
    ap.add_argument("--memory-examples", type=int, default=100_000)
    ap.add_argument("--memory-budget", type=float, default=12.0,
                    help="seconds a memory child may learn before stopping early")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--no-scaling", action="store_true")
    ap.add_argument("--no-compare", action="store_true")
    ap.add_argument("--out", default=str(HERE / "results.json"))
    ap.add_argument("--memory-child", help=argparse.SUPPRESS)
    ap.add_argument("--stream", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)

    if args.memory_child:
        memory_child(args.memory_child, args.stream, args.memory_examples, args.memory_budget)
        return 0

    import _kavro_core as kc
    import _kavro_testing as kt
    floor = kt.Floor()
    floor.set_proba(2)
    _calibrate_clock()
    t_all = time.monotonic()

    todo, no_recipe = catalog.entries(kc)
    present = {e.name for e in todo}
    missing = [e.name for e in catalog.RECIPES if e.name not in present]
    if args.classes:
        wanted = args.classes.split(",")
        todo = [e for e in todo if e.name in wanted]
    meta = {"python": platform.python_version(), "machine": platform.machine(),
            "cpus": os.cpu_count(), "loadavg": " ".join(f"{x:.1f}" for x in os.getloadavg()),
            "date_utc": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
            "block": BLOCK, "clock": "thread CPU time", "clock_cost_ns": CLOCK_COST_NS,
            "missing": missing, "no_recipe": no_recipe}
    print(f"benchmarking {len(todo)} classes ({len(missing)} not in the module yet)...",
          flush=True)
    meta["floors"] = calibrate(floor, 1000 if args.examples else 5000)

    results, members = {}, {}
    for entry in todo:
        t0 = time.monotonic()
        figs = {}
        for stream in entry.streams:
            n = args.examples or entry.n
            figs[stream] = run_entry(kc, floor, entry, stream, n)
            if entry.group == ENSEMBLE:
                key = (entry.member, stream)
                if key not in members:
                    mem_entry = catalog.member_entry(entry.member, stream)
                    members[key] = run_entry(kc, floor, mem_entry, stream, figs[stream].get("n", n))
        results[entry.name] = {"entry": entry, "streams": figs}
        print(f"  {entry.name:<32} {time.monotonic() - t0:6.1f} s", flush=True)

    scaling = {} if args.no_scaling else run_scaling(kc, floor, args.examples)

    comparison = {}
    if not args.no_compare:
        import compare
        comparison = compare.run(kc, floor, args.examples)

    memory = {}
    if not args.no_memory:
        print("memory (one child process per class)...", flush=True)
        memory["Floor"] = measure_memory("Floor", "clf2", args.memory_examples, args.memory_budget)
        for entry in todo:
            memory[entry.name] = measure_memory(entry.name, entry.streams[0],
                                                args.memory_examples, args.memory_budget)

    verdicts = judge(results, members)
    meta["seconds"] = round(time.monotonic() - t_all, 1)

    def dump_entry(r):
        e = r["entry"]
        d = {"role": e.role, "group": e.group, "streams": r["streams"]}
        if e.label:
            d["built_as"] = e.label
        if e.group == ENSEMBLE:
            d["member"] = catalog.member_entry(e.member, e.streams[0]).label
            d["reps"] = {s: e.reps(s) for s in e.streams}
        return d

    doc = {"meta": meta,
           "classes": {k: dump_entry(r) for k, r in results.items()},
           "members": {f"{k}/{s}": {"built_as": catalog.member_entry(k, s).label, **v}
                       for (k, s), v in members.items()},
           "memory": memory, "scaling": scaling, "comparison": comparison, "targets": verdicts}
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    with open(args.out, "w") as fh:
        json.dump(doc, fh, indent=1, default=str)
    print_report(meta, results, members, verdicts, scaling, memory, comparison, args.out)
    print(f"total {meta['seconds']} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
