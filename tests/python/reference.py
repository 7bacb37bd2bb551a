"""A slow, independent reference for the module's arithmetic.

Single-precision sums are numpy float32 operations; expf, logf, log1pf, log10f and powf are the C
maths library's own, called through ctypes (numpy's float32 exp and log are its own SIMD code and
differ from libm in the last bit). Indices are derived from the score layout, one transition at a
time, not from the module's formulas.
"""
import ctypes

import numpy as np

f32 = np.float32
FLT_MAX = f32(np.finfo(np.float32).max)

_libm = ctypes.CDLL("libm.so.6")
for _name, _nargs in (("expf", 1), ("logf", 1), ("log1pf", 1), ("log10f", 1), ("powf", 2)):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float] * _nargs


def expf(x):
    return f32(_libm.expf(float(x)))


def logf(x):
    return f32(_libm.logf(float(x)))


def log1pf(x):
    return f32(_libm.log1pf(float(x)))


def log10f(x):
    return f32(_libm.log10f(float(x)))


def powf(x, y):
    return f32(_libm.powf(float(x), float(y)))


_expf_array = np.frompyfunc(_libm.expf, 1, 1)
_logf_array = np.frompyfunc(_libm.logf, 1, 1)


def expf_array(a):
    return np.asarray(_expf_array(np.asarray(a, dtype=f32)), dtype=f32)


def logf_array(a):
    return np.asarray(_logf_array(np.asarray(a, dtype=f32)), dtype=f32)


def bits(values):
    """The float32 bit patterns of a sequence of floats that are all float32-representable."""
    return np.asarray(values, dtype=f32).view(np.uint32)


def log_add(x, y, t):
    """The tempered two-operand log-add, in float32."""
    x, y, t = f32(x), f32(y), f32(t)
    abs_diff = f32(abs(f32(x - y)) / t)
    m = y if np.isnan(x) else x if np.isnan(y) else max(x, y)
    if abs_diff < f32(17.0):
        return f32(f32(log1pf(expf(-abs_diff)) * t) + m)
    return m


def log_sum_exp_slots(slots):
    """Log-sum-exp over a list of equally long float32 arrays, element-wise: the running maximum
    is replaced only by strictly greater slots, and the exps are summed in slot order."""
    max_val = slots[0]
    for slot in slots[1:]:
        max_val = np.where(max_val < slot, slot, max_val)
    total = np.zeros_like(max_val)
    for slot in slots:
        total = total + expf_array(slot - max_val)
    return logf_array(total) + max_val


def step_layout(num_states):
    """For every (source, base b), the destination of the step that appends b and the position of
    its score in a block's row: 5 * destination + 1 + the base the step drops."""
    msb = num_states // 4
    source = np.arange(num_states)[:, None]
    base = np.arange(4)[None, :]
    dest = (source * 4) % num_states + base
    dropped = source // msb
    return dest, 5 * dest + 1 + dropped


def backward_guides(scores, num_states):
    """(blocks + 1, num_states) backward guides of a (blocks, 5 * num_states) float32 matrix."""
    blocks = scores.shape[0]
    guides = np.zeros((blocks + 1, num_states), dtype=f32)
    states = np.arange(num_states)
    dest, score_pos = step_layout(num_states)
    for t in range(blocks - 1, -1, -1):
        row, after = scores[t], guides[t + 1]
        slots = [row[5 * states] + after[states]]
        slots += [row[score_pos[:, b]] + after[dest[:, b]] for b in range(4)]
        guides[t] = log_sum_exp_slots(slots)
    return guides


def forward_guides(scores, num_states):
    """(blocks + 1, num_states) forward guides of a (blocks, 5 * num_states) float32 matrix."""
    blocks = scores.shape[0]
    msb = num_states // 4
    guides = np.zeros((blocks + 1, num_states), dtype=f32)
    dest = np.arange(num_states)
    for t in range(blocks):
        row, before = scores[t], guides[t]
        slots = [row[5 * dest] + before[dest]]
        # The step into d that drops base b comes from b * msb + d // 4, its score at 5d + 1 + b.
        slots += [row[5 * dest + 1 + b] + before[b * msb + dest // 4] for b in range(4)]
        guides[t + 1] = log_sum_exp_slots(slots)
    return guides


def posteriors(fwd, back):
    """Row-wise softmax of fwd + back."""
    total = fwd + back
    out = np.empty_like(total)
    for r in range(total.shape[0]):
        row = total[r]
        log_total = log_sum_exp_slots([row[i : i + 1] for i in range(row.size)])[0]
        out[r] = expf_array(row - log_total)
    return out
