"""Independent re-computation of what a saved forest claims about its training rows.

Everything here works from the raw training columns and plain Python floats
(IEEE doubles), with each formula evaluated in the documented order so that
results can be compared with the saved numbers bit for bit.
"""
import math
import struct

NAN = float("nan")
INF = float("inf")
KL_ZERO_RATE = 19.931568569324174
CHI_ZERO_RATE = 1000000.0
DEFAULT_NODE = {"col_name": "", "col_idx": -1, "split_value": {"Numeric": 0.0}, "prob": [], "gain": 0.0}
TREE_EVAL_NAME = {"ED": "Euclidean", "KL": "KL", "CHI": "Chi"}

_F32 = struct.Struct("<f")


def f32(x):
    return _F32.unpack(_F32.pack(x))[0]


def i32(x):
    # Counts and their differences are taken on their low 32 bits.
    x &= 0xFFFFFFFF
    return x - (1 << 32) if x >= (1 << 31) else x


def div(a, b):
    # Python raises on division by zero where the native code follows IEEE.
    a, b = float(a), float(b)
    if b != 0.0:
        return a / b
    if a == 0.0 or a != a:
        return NAN
    return math.copysign(INF, a) * math.copysign(1.0, b)


def log2(x):
    if x != x or x == INF:
        return x
    if x == 0.0:
        return -INF
    if x < 0.0:
        return NAN
    return math.log2(x)


def ed(p, q):
    d = p - q
    sq = d * d
    return sq + sq


def kl(p, q):
    if p == 0.0 or q == 0.0:
        return KL_ZERO_RATE
    return p * log2(div(p, q)) + (1.0 - p) * log2(div(1.0 - p, 1.0 - q))


def chi(p, q):
    if p == 0.0 or q == 0.0:
        return CHI_ZERO_RATE
    d = (p - q) * (p - q)
    return div(d, 1.0 - q) + div(d, q)


DIVERGENCE = {"ED": ed, "KL": kl, "CHI": chi}


def group_counts(rows, treatment, outcome, max_treatment):
    counts = [0] * (2 * (max_treatment + 1))
    for r in rows:
        g = treatment[r]
        counts[2 * g] += 1
        counts[2 * g + 1] += outcome[r]
    return counts


def rate(y, n):
    return div(y, n)


def calc_score(counts, eval_func, balance, n_rows):
    if len(counts) % 2 != 0 or len(counts) < 4:
        raise ValueError("fewer than two groups")
    f = DIVERGENCE[eval_func]
    groups = len(counts) // 2
    q = rate(counts[1], counts[0])
    total = 0.0
    if balance:
        w = 1.0 / (groups - 1)
        for t in range(1, groups):
            total = total + f(rate(counts[2 * t + 1], counts[2 * t]), q) * w
    else:
        treated = float(i32(n_rows - counts[0]))
        for t in range(1, groups):
            total = total + f(rate(counts[2 * t + 1], counts[2 * t]), q) * div(counts[2 * t], treated)
    return total


def gini(x):
    return (1.0 - x * x) - (1.0 - x) * (1.0 - x)


def doubled_square(d):
    sq = d * d
    return sq + sq


def split_norm(parent, left, n_rows, n_left, alpha):
    n_c, n_c_left = parent[0], left[0]
    n_t_left = i32(n_left - n_c_left)
    n_t = i32(n_rows - n_c)
    q_left = div(n_c_left, n_left)
    r_c = div(n_c_left, n_c)
    r_t = div(n_t_left, n_t)
    norm = doubled_square(r_c - r_t) * (gini(q_left) * alpha) + 0.5
    groups = len(parent) // 2
    for j in range(1, groups):
        n_j_left = left[2 * j]
        q_j = div(n_j_left, i32(n_j_left + n_c_left))
        r_j = div(n_j_left, parent[2 * j])
        norm = norm + doubled_square(r_j - r_c) * (gini(q_j) * (1.0 - alpha))
    for g in range(groups):
        r_g = div(left[2 * g], parent[2 * g])
        norm = norm + (1.0 - r_g * r_g) * div(left[2 * g], n_left)
    return norm


def split_gain(parent_score, left_score, right_score, n_rows, n_left, parent, left, regularization, alpha):
    w = div(n_left, n_rows)
    left_part = left_score * w
    right_part = right_score * (1.0 - w)
    gain = (right_part + left_part) - parent_score
    if regularization:
        gain = div(gain, split_norm(parent, left, n_rows, n_left, alpha))
    return gain


def leaf_value(counts):
    q = rate(counts[1], counts[0])
    return [rate(counts[2 * t + 1], counts[2 * t]) - q for t in range(1, len(counts) // 2)]


def same_float(saved, expected):
    """A saved number (None where the file wrote null) against a recomputed double."""
    if saved is None:
        return not math.isfinite(expected)
    return math.isfinite(expected) and saved == expected and (
        math.copysign(1.0, saved) == math.copysign(1.0, expected))


def cells(values):
    """A training column as the model stores it: 32-bit floats, or strings unchanged."""
    if all(isinstance(v, str) for v in values):
        return list(values)
    return [f32(float(v)) for v in values]


def goes_left(cell, split_value):
    if "Numeric" in split_value:
        threshold = split_value["Numeric"]
        if threshold is None or isinstance(cell, str):
            return False
        return cell <= f32(threshold)  # NaN compares false and goes right
    return cell == split_value["Str"]


def route(nodes, columns, rows):
    """Rows reaching each node that growth decided (the root and the children of
    internal nodes), keyed by node position. `columns` follows feature_cols."""
    reached = {0: list(rows)}
    stack = [0]
    while stack:
        i = stack.pop()
        node = nodes[i]
        if node["prob"] or node["col_idx"] < 0:
            continue
        col = columns[node["col_idx"]]
        left, right = [], []
        for r in reached[i]:
            (left if goes_left(col[r], node["split_value"]) else right).append(r)
        for child, part in ((2 * i + 1, left), (2 * i + 2, right)):
            if child < len(nodes):
                reached[child] = part
                stack.append(child)
    return reached


def depth_of(i):
    return (i + 1).bit_length() - 1


def candidate_thresholds(values, max_bins):
    """Quantile thresholds of a whole node, as the search derives them when its
    sample is the whole node (at most 500 * max_bins rows, no NaN)."""
    s = sorted(values)
    m = len(s)
    out = []
    for i in range(1, max_bins):
        v = s[(i * m) // max_bins]
        if not out or out[-1] != v:
            out.append(v)
    return out
