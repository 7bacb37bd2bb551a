"""The CRF recursions written directly in PyTorch, vectorised over states: what a user would write
without tovrel. Same layout and the same recursion, in float32 (results differ from tovrel's in
the last bits, since torch's exp, log and summation order are its own)."""
import torch


def _layout(num_states):
    states = torch.arange(num_states)
    msb = num_states // 4
    bases = torch.arange(4)
    # Backward view: from source s, the step appending b goes to dest, scored at 5 * dest + 1 +
    # the base it drops.
    dest = (states[:, None] * 4) % num_states + bases[None, :]
    back_score = 5 * dest + 1 + (states[:, None] // msb)
    # Forward view: into destination d, the step dropping b comes from b * msb + d // 4.
    source = bases[None, :] * msb + states[:, None] // 4
    fwd_score = 5 * states[:, None] + 1 + bases[None, :]
    return states, dest, back_score, source, fwd_score


def backward_guides(scores):
    blocks, width = scores.shape
    num_states = width // 5
    states, dest, back_score, _, _ = _layout(num_states)
    guides = torch.zeros(blocks + 1, num_states)
    for t in range(blocks - 1, -1, -1):
        row, after = scores[t], guides[t + 1]
        slots = torch.cat([(row[5 * states] + after)[:, None], row[back_score] + after[dest]], 1)
        guides[t] = torch.logsumexp(slots, dim=1)
    return guides


def forward_guides(scores):
    blocks, width = scores.shape
    num_states = width // 5
    states, _, _, source, fwd_score = _layout(num_states)
    guides = torch.zeros(blocks + 1, num_states)
    for t in range(blocks):
        row, before = scores[t], guides[t]
        slots = torch.cat([(row[5 * states] + before)[:, None], row[fwd_score] + before[source]], 1)
        guides[t + 1] = torch.logsumexp(slots, dim=1)
    return guides


def posteriors(scores):
    return torch.softmax(forward_guides(scores) + backward_guides(scores), dim=1)
