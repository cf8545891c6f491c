"""Pure-Python reference models of the two tree regressors, for exact comparison tests.

Every float operation follows the C++ order; fused multiply-adds are rounded once through
exact rational arithmetic. Record and hash-map orders come from the test-only module.
"""

import math
from fractions import Fraction

import _kavro_testing as kt


def fma(a, b, c):
    if not (math.isfinite(a) and math.isfinite(b) and math.isfinite(c)):
        return a * b + c
    r = Fraction(a) * Fraction(b) + Fraction(c)
    if r == 0:
        # Exact zero: sign as IEEE gives it for a*b + c.
        p = a * b
        return p + c
    try:
        return float(r)
    except OverflowError:
        return math.inf if r > 0 else -math.inf


def clip3(v):
    if v >= 3.0:
        return 3.0
    if v < -3.0:
        return -3.0
    return v


# --------------------------------------------------------------------------------------
# Hoeffding tree regressor
# --------------------------------------------------------------------------------------


class _HNode:
    def __init__(self):
        self.is_leaf = True
        self.y_weight = 0.0
        self.y_mean = 0.0
        self.y_m2 = 0.0
        self.feature_stats = {}  # name -> [weight, mean, m2]
        self.weight = 0.0
        self.n_seen = 0
        self.weights = {}
        self.bias = 0.0
        self.mean_sse = 0.0
        self.model_sse = 0.0
        self.split_feature = ""
        self.threshold = 0.0
        self.left = None
        self.right = None

    def sd_y(self):
        return math.sqrt(self.y_m2 / (self.y_weight - 1.0))

    def z(self, name, v):
        fs = self.feature_stats.get(name)
        if fs is None or not fs[0] > 1.0:
            return 0.0
        sd = math.sqrt(fs[2] / (fs[0] - 1.0))
        if not sd > 0.0:
            return 0.0
        return (v - fs[1]) / sd

    def linear(self, x, keys):
        s = self.bias
        for k in keys:
            if k in self.weights:
                s = fma(self.z(k, x[k]), self.weights[k], s)
        if self.y_weight > 1.0:
            sd = self.sd_y()
            if sd > 0.0:
                p = self.y_mean + s * sd
                lo = self.y_mean - 3.0 * sd
                hi = self.y_mean + 3.0 * sd
                if p < lo:
                    p = lo
                if p > hi:
                    p = hi
                return p
        return self.y_mean + s


class RefHoeffdingTreeRegressor:
    def __init__(self, grace_period=200, split_confidence=1e-07, tie_threshold=0.05,
                 max_depth=20, learning_rate=0.01):
        self.grace_period = grace_period
        self.split_confidence = split_confidence
        self.tie_threshold = tie_threshold
        self.max_depth = max_depth
        self.learning_rate = learning_rate
        self.root = _HNode()

    def reset(self):
        self.root = _HNode()

    def _route(self, x):
        n = self.root
        d = 0
        while not n.is_leaf:
            v = x.get(n.split_feature, 0.0)
            n = n.left if v <= n.threshold else n.right
            d += 1
        return n, d

    def predict_one(self, x):
        leaf, _ = self._route(x)
        if leaf.n_seen >= self.grace_period and leaf.mean_sse > leaf.model_sse:
            return leaf.linear(x, kt.record_keys(x))
        return leaf.y_mean

    def learn_one(self, x, y):
        keys = kt.record_keys(x)
        L, d = self._route(x)
        if L.n_seen > 0:
            dm = y - L.y_mean
            L.mean_sse = fma(dm, dm, L.mean_sse)
            p = L.linear(x, keys)
            dp = y - p
            L.model_sse = fma(dp, dp, L.model_sse)
        L.n_seen += 1
        L.y_weight += 1.0
        old = L.y_mean
        L.y_mean = old + (y - old) / L.y_weight
        L.y_m2 += (y - old) * (y - L.y_mean)
        L.weight += 1.0
        for k in keys:
            v = x[k]
            fs = L.feature_stats.setdefault(k, [0.0, 0.0, 0.0])
            fs[0] += 1.0
            om = fs[1]
            fs[1] = om + (v - om) / fs[0]
            fs[2] += (v - fs[1]) * (v - om)
        if L.y_weight > 1.0:
            sd = L.sd_y()
            if sd > 0.0:
                t = (y - L.y_mean) / sd
                s = L.bias
                zs = []
                for k in keys:
                    z = L.z(k, x[k])
                    zs.append((k, z))
                    if k in L.weights:
                        s += z * L.weights[k]
                err = clip3(t - s)
                for k, z in zs:
                    g = clip3(err * z)
                    L.weights[k] = L.weights.get(k, 0.0) + self.learning_rate * g
                L.bias += self.learning_rate * err
        if L.n_seen % self.grace_period == 0 and d < self.max_depth and L.n_seen > 1:
            self._attempt(L)

    @staticmethod
    def _q(L, f, theta):
        fs = L.feature_stats.get(f)
        if fs is None or fs[0] <= 0.0:
            return 0.5
        w, m = fs[0], fs[1]
        sd = math.sqrt(fs[2] / (w - 1.0)) if w > 1.0 else 0.0
        if w <= 1.0 or sd <= 0.0:
            return 0.99 if theta >= m else 0.01
        q = (math.erf((theta - m) / (sd * math.sqrt(2.0))) + 1.0) * 0.5
        if q >= 0.99:
            q = 0.99
        if q <= 0.01:
            q = 0.01
        return q

    def _attempt(self, L):
        if not L.y_weight > 1.0:
            return
        sd_y = L.sd_y()
        if not sd_y > 0.0:
            return
        cands = sorted(L.feature_stats, key=lambda s: s.encode())
        if not cands:
            return
        eps = math.sqrt(sd_y * sd_y * math.log(1.0 / self.split_confidence) / (2.0 * float(L.n_seen)))
        best = -math.inf
        second = -math.inf
        best_f = None
        best_t = 0.0
        for f in cands:
            fs = L.feature_stats[f]
            if not fs[0] > 0.0:
                continue
            th = fs[1]
            if L.weight < 2.0 or sd_y <= 0.0:
                merit = 0.0
            else:
                q = self._q(L, f, th)
                merit = fma(-(q * sd_y), math.sqrt(q), sd_y)
                merit = fma(-((1.0 - q) * sd_y), math.sqrt(1.0 - q), merit)
            if merit > best:
                second = best
                best = merit
                best_f = f
                best_t = th
            else:
                second = max(second, merit)
        if best_f is None or best_f == "" or not best > 0.0:
            return
        gap = best - second
        if gap > eps or (gap < self.tie_threshold and eps < self.tie_threshold):
            self._split(L, best_f, best_t)

    def _split(self, L, f, th):
        q = self._q(L, f, th)
        r = 1.0 - q
        L.is_leaf = False
        L.split_feature = f
        L.threshold = th
        kids = []
        for share in (q, r):
            c = _HNode()
            c.y_weight = share * L.y_weight
            c.y_mean = L.y_mean
            c.y_m2 = share * L.y_m2
            c.weight = share * L.weight
            c.n_seen = int(share * L.n_seen)
            c.feature_stats = {k: [v[0] * share, v[1], v[2] * share] for k, v in L.feature_stats.items()}
            c.weights = dict(L.weights)
            c.bias = L.bias
            kids.append(c)
        L.left, L.right = kids
        L.y_weight = L.y_mean = L.y_m2 = 0.0
        L.weight = 0.0
        L.n_seen = 0
        L.bias = 0.0
        L.feature_stats = {}
        L.weights = {}

    def leaves(self):
        out, stack = [], [self.root]
        while stack:
            n = stack.pop()
            if n.is_leaf:
                out.append(n)
            else:
                stack += [n.right, n.left]
        return out


# --------------------------------------------------------------------------------------
# Model tree regressor with change detection
# --------------------------------------------------------------------------------------


class _Draws:
    def __init__(self, seed):
        self.seed = seed & 0xFFFFFFFF
        self.buf = []
        self.i = 0

    def next(self):
        if self.i >= len(self.buf):
            self.buf = kt.uniform_pm1s(self.seed, max(1024, 2 * len(self.buf)))
        v = self.buf[self.i]
        self.i += 1
        return v


class _Sum:
    __slots__ = ("count", "sum", "sq_sum")

    def __init__(self):
        self.count = 0.0
        self.sum = 0.0
        self.sq_sum = 0.0

    def add(self, v):
        self.count += 1.0
        self.sum += v
        self.sq_sum += v * v

    def mean(self):
        return self.sum / self.count

    def var(self):
        return (self.sq_sum - self.sum * self.sum / self.count) / self.count


class _E:
    __slots__ = ("key", "lc", "ls", "lq", "gc", "gs", "gq", "left", "right")

    def __init__(self, key, y):
        self.key = key
        self.lc, self.ls, self.lq = 1.0, y, y * y
        self.gc = self.gs = self.gq = 0.0
        self.left = self.right = None


class _MNode:
    def __init__(self):
        self.is_leaf = True
        self.n = self.y_sum = self.y_sq_sum = 0.0
        self.ph_error_sum = self.ph_count = 0.0
        self.observers = {}  # insertion-ordered; hash order via str_map_order
        self.n_at_last_attempt = 0.0
        self.weights = {}
        self.bias = 0.0
        self.model_updates = 0.0
        self.model_ready = False
        self.mean_sse = self.model_sse = 0.0
        self.y_min = self.y_max = 0.0
        self.has_range = False
        self.split_feature = ""
        self.threshold = 0.0
        self.left = self.right = None
        self.ph_active = True
        self.ph_cum = self.ph_min = 0.0
        self.ph_min_set = False
        self.alternate = None
        self.alt_n = self.orig_faded_error = self.alt_faded_error = self.alt_last_check = 0.0


def _sd(n, s, q):
    if n > 1.0:
        v = (q - s * s / n) / n
        if v > 0.0:
            return math.sqrt(v)
    return 0.0


class RefFIMTDDRegressor:
    def __init__(self, grace_period=200, split_confidence=1e-07, tie_threshold=0.05, max_depth=20,
                 leaf_prediction="adaptive", learning_ratio=0.02, learning_rate_decay=0.001,
                 learning_ratio_const=False, page_hinckley_alpha=0.005, page_hinckley_threshold=50.0,
                 alternate_tree_fading_factor=0.995, alternate_tree_t_min=150,
                 alternate_tree_time=1500, drift_detection=True, seed=1):
        self.grace_period = grace_period
        self.split_confidence = split_confidence
        self.tie_threshold = tie_threshold
        self.max_depth = max_depth
        self.leaf_prediction = leaf_prediction
        self.learning_ratio = learning_ratio
        self.learning_rate_decay = learning_rate_decay
        self.learning_ratio_const = learning_ratio_const
        self.alpha = page_hinckley_alpha
        self.lam = page_hinckley_threshold
        self.fading = alternate_tree_fading_factor
        self.t_min = alternate_tree_t_min
        self.alt_time = alternate_tree_time
        self.drift_detection = drift_detection
        self.seed = seed
        self.reset()

    def reset(self):
        self.root = None
        self.target = _Sum()
        self.gfs = {}
        self.split_count = 0
        self.rng = _Draws(self.seed)
        self.events = {"alternates": 0, "replaced": 0, "dropped": 0}

    def n_splits(self):
        return self.split_count

    def internal_nodes(self):
        out, stack = [], [self.root] if self.root is not None else []
        while stack:
            n = stack.pop()
            if not n.is_leaf:
                out.append(n)
                stack += [n.left, n.right]
        return out

    # --- helpers
    def _scaled(self, name, v):
        st = self.gfs.get(name)
        if st is None or not st.count > 1.0:
            return None
        var = st.var()
        sig = math.sqrt(var) if var >= 0.0 else math.nan
        if not sig > 0.0:
            return None
        return (v - st.mean()) / (3.0 * sig)

    def _sig_y(self):
        t = self.target
        if t.count > 1.0:
            var = t.var()
            if var > 0.0:
                s = math.sqrt(var)
                if s > 0.0:
                    return s
        return None

    def _model_output(self, L, x, keys):
        s = L.bias
        for k in keys:
            z = self._scaled(k, x[k])
            if z is None or k not in L.weights:
                continue
            s = fma(z, L.weights[k], s)
        t = self.target
        sig = self._sig_y()
        if sig is not None:
            return t.mean() + 3.0 * s * sig
        if t.count > 0.0:
            return t.mean()
        return 0.0

    def _leaf_mean(self, L):
        if L.n > 0.0:
            return L.y_sum / L.n
        if self.target.count > 0.0:
            return self.target.mean()
        return 0.0

    def _adaptive_m(self, L, x, keys):
        m = self._model_output(L, x, keys) if L.model_ready else 0.0
        if L.has_range:
            m = min(m, L.y_max)
            m = max(m, L.y_min)
        return m

    def _leaf_predict(self, L, x, keys):
        lp = self.leaf_prediction
        if lp == "mean":
            return self._leaf_mean(L)
        if lp == "perceptron":
            return self._model_output(L, x, keys) if L.model_ready else 0.0
        m = self._adaptive_m(L, x, keys)
        return m if L.model_sse < L.mean_sse else self._leaf_mean(L)

    @staticmethod
    def _route(n, x):
        while not n.is_leaf:
            n = n.left if x.get(n.split_feature, 0.0) <= n.threshold else n.right
        return n

    def _predict(self, x, keys):
        if self.root is None:
            return 0.0
        return self._leaf_predict(self._route(self.root, x), x, keys)

    def predict_one(self, x):
        return self._predict(x, kt.record_keys(x))

    # --- learning
    def learn_one(self, x, y):
        keys = kt.record_keys(x)
        if self.root is None:
            self.root = _MNode()
        self.target.add(y)
        for k in keys:
            self.gfs.setdefault(k, _Sum()).add(x[k])
        p = self._predict(x, keys)
        t = self.target
        e = 0.0
        if t.count > 1.0:
            var = t.var()
            if var > 0.0:
                sig = math.sqrt(var)
                if sig > 0.0:
                    mu = t.mean()
                    e = abs((y - mu) / (3.0 * sig) - (p - mu) / (3.0 * sig))
        self._route_pass(self.root, x, keys, False, 0, y, p, e)

    def _change_test(self, N, e):
        f = e - N.ph_error_sum / N.ph_count - self.alpha + N.ph_cum
        N.ph_cum = f
        N.ph_min = min(f, N.ph_min) if N.ph_min_set else f
        N.ph_min_set = True
        if f - N.ph_min > self.lam:
            N.alternate = _MNode()
            self.events["alternates"] += 1
            N.ph_active = False
            N.alt_n = N.orig_faded_error = N.alt_faded_error = N.alt_last_check = 0.0

    def _route_pass(self, N, x, keys, in_alt, d, y, p, e):
        if N.is_leaf:
            self._leaf_learn(N, x, keys, y, d, True)
            return
        permission = True
        while not N.is_leaf:
            N.ph_error_sum += e
            N.ph_count += 1.0
            if not in_alt:
                T = N.alternate
                skip_test = False
                if T is not None:
                    dp = y - p
                    N.orig_faded_error = fma(dp, dp, self.fading * N.orig_faded_error)
                    q = self._leaf_predict(self._route(T, x), x, keys)
                    dq = y - q
                    N.alt_faded_error = fma(dq, dq, self.fading * N.alt_faded_error)
                    N.alt_n += 1.0
                    handled = False
                    if N.alt_n - N.alt_last_check >= self.t_min:
                        N.alt_last_check = N.alt_n
                        r = math.log((N.orig_faded_error + 1e-12) / (N.alt_faded_error + 1e-12))
                        if r > 0.0:
                            N.__dict__.update(T.__dict__)
                            N.ph_active = True
                            N.ph_cum = 0.0
                            N.ph_min_set = False
                            N.alternate = None
                            self.events["replaced"] += 1
                            continue
                        if N.alt_n >= self.alt_time:
                            N.alternate = None
                            self.events["dropped"] += 1
                            N.ph_active = True
                            N.ph_cum = 0.0
                            N.ph_min_set = False
                            if self.drift_detection:
                                self._change_test(N, e)
                            handled = True
                            skip_test = True
                    if not handled:
                        self._route_pass(T, x, keys, True, d, y, p, e)
                        permission = False
                if not skip_test and self.drift_detection and N.ph_active:
                    self._change_test(N, e)
            N = N.left if x.get(N.split_feature, 0.0) <= N.threshold else N.right
            d += 1
        self._leaf_learn(N, x, keys, y, d, permission)

    def _leaf_learn(self, L, x, keys, y, d, permission):
        mean_mode = self.leaf_prediction == "mean"
        if not mean_mode:
            mu = self._leaf_mean(L)
            m = self._adaptive_m(L, x, keys)
            a = mu - y
            L.mean_sse += a * a
            b = m - y
            L.model_sse += b * b
        if L.has_range:
            L.y_min = min(y, L.y_min)
            L.y_max = max(y, L.y_max)
        else:
            L.y_min = L.y_max = y
            L.has_range = True
        L.y_sum += y
        L.n += 1.0
        L.y_sq_sum += y * y
        L.ph_count += 1.0
        if not mean_mode:
            if not L.model_ready:
                for k in keys:
                    L.weights[k] = self.rng.next()
                L.bias = self.rng.next()
                L.model_ready = True
            L.model_updates += 1.0
            if self.learning_ratio_const:
                eta = self.learning_ratio
            else:
                eta = self.learning_ratio / (1.0 + L.model_updates * self.learning_rate_decay)
            s = L.bias
            zs = []
            for k in keys:
                z = self._scaled(k, x[k])
                if z is None:
                    z = 0.0
                zs.append((k, z))
                w = L.weights.setdefault(k, 0.0)
                s = s + w * z
            sig = self._sig_y()
            t = (y - self.target.mean()) / (3.0 * sig) if sig is not None else 0.0
            err = t - s
            for k, z in zs:
                L.weights[k] += eta * err * z
            L.bias += eta * err
        for k in keys:
            v = x[k]
            root = L.observers.get(k)
            if root is None:
                L.observers[k] = _E(v, y)
                continue
            n = root
            while True:
                if v <= n.key:
                    n.lc += 1.0
                    n.ls += y
                    n.lq += y * y
                    if v == n.key:
                        break
                    if n.left is None:
                        n.left = _E(v, y)
                        break
                    n = n.left
                else:
                    n.gc += 1.0
                    n.gs += y
                    n.gq += y * y
                    if n.right is None:
                        n.right = _E(v, y)
                        break
                    n = n.right
        if permission and d < self.max_depth and L.n - L.n_at_last_attempt >= self.grace_period:
            self._attempt(L)

    def _attempt(self, L):
        N, S, Q = L.n, L.y_sum, L.y_sq_sum
        sd_all = _sd(N, S, Q)
        results = []
        for f in kt.str_map_order(list(L.observers)):
            best = -1.0
            best_key = 0.0
            stack = [(L.observers[f], 0.0, 0.0, 0.0, False)]
            # iterative in-order walk with carried left sums
            while stack:
                node, cc, cs, cq, visit = stack.pop()
                if node is None:
                    continue
                if not visit:
                    stack.append((node.right, cc + node.lc, cs + node.ls, cq + node.lq, False))
                    stack.append((node, cc, cs, cq, True))
                    stack.append((node.left, cc, cs, cq, False))
                    continue
                nl, sl, ql = cc + node.lc, cs + node.ls, cq + node.lq
                nr, sr, qr = N - nl, S - sl, Q - ql
                if nl >= 5.0 and nr >= 5.0:
                    sdr = fma(-(nl / N), _sd(nl, sl, ql), sd_all)
                    sdr = fma(-(nr / N), _sd(nr, sr, qr), sdr)
                    if sdr > best:
                        best = sdr
                        best_key = node.key
            results.append((f, best, best_key))
        b_f, b_m, b_k = None, -1.0, 0.0
        s_m = -1.0
        for f, m, k in results:
            if not m > 0.0:
                continue
            if m > b_m:
                s_m = b_m
                b_f, b_m, b_k = f, m, k
            elif m > s_m:
                s_m = m
        do = False
        if b_m <= 0.0 or b_f is None or b_f == "":
            do = False
        elif s_m <= 0.0:
            do = True
        else:
            eps = math.sqrt(math.log(1.0 / self.split_confidence) / (2.0 * N))
            do = s_m / b_m < 1.0 - eps or eps < self.tie_threshold
        if do:
            L.is_leaf = False
            L.split_feature = b_f
            L.threshold = b_k
            L.left, L.right = _MNode(), _MNode()
            if self.leaf_prediction != "mean":
                for c in (L.left, L.right):
                    c.weights = dict(L.weights)
                    c.bias = L.bias
                    c.model_updates = L.model_updates
                    c.model_ready = L.model_ready
            L.observers = {}
            self.split_count += 1
        L.n_at_last_attempt = N
