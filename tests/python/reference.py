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


# --- Decoding -----------------------------------------------------------------------------------

MASK64 = (1 << 64) - 1
HASH_M = 0x880355F21E6D1965


def mix(h):
    h ^= h >> 23
    h = (h * 0x2127599BF4325C37) & MASK64
    return h ^ (h >> 47)


def chain_hash(h, value):
    return mix(((h ^ mix(value)) * HASH_M) & MASK64)


def fasthash64(data, seed):
    h = seed ^ ((len(data) * HASH_M) & MASK64)
    for pos in range(0, len(data) - len(data) % 8, 8):
        h = ((h ^ mix(int.from_bytes(data[pos : pos + 8], "little"))) * HASH_M) & MASK64
    tail = data[len(data) - len(data) % 8 :]
    if tail:
        h = ((h ^ mix(int.from_bytes(tail, "little"))) * HASH_M) & MASK64
    return mix(h)


def eight_bit_posts(codes):
    return (np.asarray(codes).astype(f32) + f32(128)) / f32(255)


def initial_front(guides, width):
    """States that start: all above the width-th best guide (NaN excluded), ties at it filling the
    remaining room lowest numbers first; ascending."""
    lowest = -128 if guides.dtype == np.int8 else -FLT_MAX
    guides = guides.tolist()
    valid = [g for g in guides if g == g]
    threshold = lowest
    if len(guides) > width and len(valid) > width:
        threshold = sorted(valid, reverse=True)[width - 1]
    room = width - sum(1 for g in guides if g > threshold)
    starters = []
    for state, g in enumerate(guides):
        if len(starters) == width:
            break
        if g > threshold:
            starters.append(state)
        elif g == threshold and room > 0:
            room -= 1
            starters.append(state)
    return starters


def beam_search(scores, guides, posts, num_states, width, beam_cut, temperature):
    """Returns (states, moves, qual) of the best path; scores and guides are float32 or int8
    arrays of (blocks, 5N) and (blocks + 1, N), posts float32 (blocks + 1, N)."""
    blocks = scores.shape[0]
    as_f32 = lambda v: f32(v)  # noqa: E731 - int8 values are widened exactly
    beam_cut, temperature = f32(beam_cut), f32(temperature)
    log_cut = f32(logf(beam_cut) * temperature) if beam_cut > 0 else FLT_MAX
    # A candidate: [hash, score, state, parent slot, stay]
    front = [[chain_hash(HASH_M, s), f32(0), s, 0, False] for s in initial_front(guides[0], width)]
    rows = []
    for block in range(blocks):
        row_scores, row_guides = scores[block], guides[block + 1]
        w = len(front)
        steps, stays = [], []
        for p, (h, score, state, _, _) in enumerate(front):
            for base in range(4):
                new_state = (state * 4) % num_states + base
                pos = 5 * new_state + 1 + (state * 4) // num_states
                new_score = f32(f32(as_f32(row_scores[pos]) + score) + as_f32(row_guides[new_state]))
                steps.append([chain_hash(h, new_state), new_score, new_state, p, False])
        for p, (h, score, state, _, _) in enumerate(front):
            stay_score = f32(f32(as_f32(row_scores[5 * state]) + score) + as_f32(row_guides[state]))
            stays.append([h, stay_score, state, p, True])
        for stay in stays:
            base = stay[2] % 4
            for q in range(w):
                step = steps[4 * q + base]
                if step[0] == stay[0]:
                    merged = log_add(stay[1], step[1], temperature)
                    if stay[1] > step[1]:
                        stay[1], step[1] = merged, -FLT_MAX
                    else:
                        step[1], stay[1] = merged, -FLT_MAX
        candidates = steps + stays
        max_score = -FLT_MAX
        for c in candidates:
            if c[1] > max_score:
                max_score = c[1]
        count = lambda cut: sum(1 for c in candidates if c[1] >= cut)  # noqa: E731
        cutoff = f32(max_score - log_cut)
        kept = count(cutoff)
        if kept > width:
            low, high, guesses = cutoff, max_score, 1
            while (kept > width or kept < (8 * width) // 10) and guesses < 10:
                if kept > width:
                    low, cutoff = cutoff, f32(f32(cutoff + high) * f32(0.5))
                else:
                    high, cutoff = cutoff, f32(f32(cutoff + low) * f32(0.5))
                kept = count(cutoff)
                guesses += 1
            if guesses == 10:
                cutoff = high
        front = [list(c) for c in candidates if c[1] >= cutoff][:width]
        if block == blocks - 1 and front:
            best = max(range(len(front)), key=lambda i: (front[i][1], -i))
            front[0] = front[best]  # only slot 0 of the last row is ever read
        for c in front:  # carried on as plain path scores
            c[1] = f32(c[1] - as_f32(row_guides[c[2]]))
        rows.append([(c[2], c[3], c[4]) for c in front])

    states, moves, slot = [0] * blocks, [0] * blocks, 0
    for block in range(blocks - 1, -1, -1):
        state, parent, stay = rows[block][slot] if slot < len(rows[block]) else (0, 0, False)
        states[block], moves[block], slot = state, 0 if stay else 1, parent
    if blocks:
        moves[0] = 1
    return states, moves, block_quality(states, posts, num_states)


def block_quality(states, posts, num_states):
    """Four per-base probabilities per block from the window of nine posteriors around its state."""
    msb = num_states // 4
    homopolymers = {0, (num_states - 1) // 3, 2 * ((num_states - 1) // 3), num_states - 1}
    qual = []
    for block, state in enumerate(states):
        row = posts[block + 1]
        total = -row[state] if state in homopolymers else row[state]
        for b in range(4):
            total = f32(total + row[state // 4 + b * msb])
        for b in range(4):
            total = f32(total + row[(state * 4) % num_states + b])
        total = min(max(total, f32(0)), f32(1)) if total == total else total
        prob = powf(total, f32(0.4))
        wrong = f32(f32(f32(1) - prob) / f32(3))
        qual.append([prob if b == state % 4 else wrong for b in range(4)])
    return qual


def sequence_and_quality(moves, states, qual, shift, scale):
    length = sum(moves)
    bases, base_probs, total_probs = [], [f32(0)] * length, [f32(0)] * length
    for block, (move, state) in enumerate(zip(moves, states)):
        pos = len(bases) + (0 if block == 0 else move - 1)
        base_probs[pos] = f32(base_probs[pos] + qual[block][state % 4])
        for k in range(4):
            total_probs[pos] = f32(total_probs[pos] + qual[block][k])
        bases += ["ACGT"[state % 4]] * (1 if block == 0 else move)
    chars = []
    for base_prob, total in zip(base_probs, total_probs):
        error = f32(f32(1) - f32(base_prob / total))
        q = f32(f32(f32(-10) * log10f(error)) * f32(scale)) + f32(shift)
        q = q if q < 90 else f32(90)
        q = q if 1 < q else f32(1)
        chars.append(chr(int(f32(q + f32(33.5)))))
    return "".join(bases), "".join(chars)


def decode(scores, guides, posts, num_states, width=5, beam_cut=100.0, shift=0.0, scale=1.0,
           temperature=1.0):
    with np.errstate(all="ignore"):
        states, moves, qual = beam_search(scores, guides, posts, num_states, width, beam_cut,
                                          temperature)
        sequence, quality = sequence_and_quality(moves, states, qual, shift, scale)
    return sequence, quality, moves
