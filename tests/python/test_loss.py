"""The training loss of tovrel_tensors against a float64 reference in torch and brute force over
all paths, its gradients, the conventions it shares with torch's CTC loss, its determinism, and
training on two processes with DistributedDataParallel."""
import itertools
import math
import os
import signal
import threading

import pytest
import torch

from tovrel_tensors import crf_edge_posteriors, crf_log_z, crf_loss, release_loss_memory

INF = float("inf")


def random_scores(chunks, blocks, k, seed, dtype=torch.float32, spread=3.0):
    generator = torch.Generator().manual_seed(seed)
    scores = (torch.rand(chunks, blocks, 5 * 4**k, generator=generator, dtype=torch.float64) * 2
              - 1) * spread
    return scores.to(dtype)


def random_targets(chunks, length, seed):
    generator = torch.Generator().manual_seed(seed)
    return torch.randint(0, 4, (chunks, length), generator=generator)


def sources(num_states):
    """The source of each of a destination's five transitions: the stay, then the step dropping
    A, C, G, T."""
    d = torch.arange(num_states)
    return torch.stack([d] + [d // 4 + b * (num_states // 4) for b in range(4)], 1)


def reference_log_z(scores):
    """log Z of one chunk (blocks, 5 * 4**k) by the plain forward recursion in torch."""
    num_states = scores.shape[1] // 5
    src = sources(num_states)
    fwd = torch.zeros(num_states, dtype=scores.dtype)
    for row in scores.unbind(0):
        fwd = torch.logsumexp(row.view(num_states, 5) + fwd[src], 1)
    return torch.logsumexp(fwd, 0)


def kmers(target, k):
    return [sum(int(b) << 2 * (k - 1 - j) for j, b in enumerate(target[i:i + k]))
            for i in range(len(target) - k + 1)]


def reference_numerator(scores, target, k):
    """The constrained forward over the target's k-mers: stay, or step to the next one."""
    states = kmers(target, k)
    msb = 4**(k - 1)
    stay = torch.tensor([5 * s for s in states])
    step = torch.tensor([5 * s + 1 + p // msb for p, s in zip(states, states[1:])], dtype=torch.long)
    none = torch.full((1,), -1e4, dtype=scores.dtype)  # no weight, without the NaN gradient of -inf
    alpha = torch.cat([torch.zeros(1, dtype=scores.dtype), none.expand(len(states) - 1)])
    for row in scores.unbind(0):
        alpha = torch.logaddexp(alpha + row[stay], torch.cat([none, alpha[:-1] + row[step]]))
    return alpha[-1]


def reference_gradients(scores, targets, k):
    """log Z, the loss and its gradient of each chunk, in float64 with autograd."""
    scores = scores.detach().to(torch.float64).requires_grad_()
    losses = torch.stack([reference_log_z(chunk) - reference_numerator(chunk, target, k)
                          for chunk, target in zip(scores.unbind(0), targets)])
    grad, = torch.autograd.grad(losses.sum(), scores)
    return losses.detach(), grad


def brute_force(scores, k):
    """log Z and the log weight of each emitted sequence of one tiny chunk, over every path."""
    num_states = 4**k
    blocks = scores.shape[0]
    log_z, by_target = [], {}
    for start in range(num_states):
        for choices in itertools.product(range(5), repeat=blocks):
            state, weight = start, 0.0
            bases = [(start >> 2 * (k - 1 - j)) & 3 for j in range(k)]
            for t, j in enumerate(choices):
                if j == 0:
                    weight += float(scores[t, 5 * state])
                else:
                    destination = (state * 4) % num_states + j - 1
                    weight += float(scores[t, 5 * destination + 1 + state // 4**(k - 1)])
                    bases.append(j - 1)
                    state = destination
            log_z.append(weight)
            by_target.setdefault(tuple(bases), []).append(weight)
    total = torch.logsumexp(torch.tensor(log_z, dtype=torch.float64), 0).item()
    return total, {target: torch.logsumexp(torch.tensor(w, dtype=torch.float64), 0).item()
                   for target, w in by_target.items()}


def test_log_z_and_loss_match_brute_force_over_all_paths():
    k, blocks = 1, 4
    scores = random_scores(1, blocks, k, seed=1, dtype=torch.float64)
    total, by_target = brute_force(scores[0], k)
    assert crf_log_z(scores).item() == pytest.approx(total, abs=1e-12)
    targets = [t for t in sorted(by_target) if len(t) in (1, 3, 5)]
    for target in targets:
        loss = crf_loss(scores, torch.tensor([target]), [len(target)], reduction="none")
        assert loss.item() == pytest.approx(total - by_target[target], abs=1e-12)


@pytest.mark.parametrize("k", [1, 2, 3, 4, 5, 6])
def test_loss_and_gradient_match_the_float64_reference(k):
    blocks, length = (12, 8) if k < 5 else (5, k + 3)
    scores = random_scores(3, blocks, k, seed=k)
    targets = random_targets(3, length, seed=10 + k)
    expected_loss, expected_grad = reference_gradients(scores, targets, k)
    scores.requires_grad_()
    losses = crf_loss(scores, targets, [length] * 3, reduction="none")
    grad, = torch.autograd.grad(losses.sum(), scores)
    assert losses.dtype == torch.float32 and grad.dtype == torch.float32
    torch.testing.assert_close(losses.double(), expected_loss, rtol=0, atol=1e-4)
    torch.testing.assert_close(grad.double(), expected_grad, rtol=0, atol=2e-6)
    log_z = torch.stack([reference_log_z(chunk) for chunk in scores.detach().double()])
    torch.testing.assert_close(crf_log_z(scores).detach().double(), log_z, rtol=0, atol=1e-4)


def test_gradcheck_in_double():
    scores = random_scores(2, 5, 1, seed=3, dtype=torch.float64).requires_grad_()
    targets = torch.tensor([[0, 0, 1, 2], [3, 1, 1, 0]])
    assert torch.autograd.gradcheck(
        lambda s: crf_loss(s, targets, [4, 3], reduction="none"), (scores,), fast_mode=True)
    assert torch.autograd.gradcheck(lambda s: crf_log_z(s, [5, 3]), (scores,), fast_mode=True)
    torch.testing.assert_close(
        torch.autograd.grad(crf_log_z(scores).sum(), scores)[0], crf_edge_posteriors(scores))


def test_gradient_rows_and_a_constant_added_to_one_block():
    k = 3
    scores = random_scores(2, 30, k, seed=4)
    targets = random_targets(2, 12, seed=5)
    posts = crf_edge_posteriors(scores)
    torch.testing.assert_close(posts.sum(2), torch.ones(2, 30), rtol=0, atol=1e-5)
    scores.requires_grad_()
    losses = crf_loss(scores, targets, [12, 12], reduction="none")
    grad, = torch.autograd.grad(losses.sum(), scores)
    torch.testing.assert_close(grad.sum(2), torch.zeros(2, 30), rtol=0, atol=1e-5)

    shifted = scores.detach().clone()
    shifted[:, 17] += 2.5
    torch.testing.assert_close(crf_log_z(shifted), crf_log_z(scores).detach() + 2.5)
    shifted.requires_grad_()
    shifted_losses = crf_loss(shifted, targets, [12, 12], reduction="none")
    torch.testing.assert_close(shifted_losses, losses.detach())
    torch.testing.assert_close(torch.autograd.grad(shifted_losses.sum(), shifted)[0], grad,
                               rtol=0, atol=1e-6)


def test_targets_of_every_shape():
    k, blocks = 2, 6
    scores = random_scores(1, blocks, k, seed=6, dtype=torch.float64)
    for target in ([2, 1], [0] * (blocks + k), [1, 2, 3, 0, 1, 2, 3, 0], [3, 3, 0, 0]):
        expected = reference_log_z(scores[0]) - reference_numerator(scores[0], target, k)
        loss = crf_loss(scores, torch.tensor([target]), [len(target)], reduction="none")
        assert loss.item() == pytest.approx(expected.item(), abs=1e-10), target
    # A homopolymer's step into itself is a step: AA -> AA must not count the stay.
    stays_only = crf_loss(scores, torch.tensor([[0, 0]]), [2], reduction="none")
    one_step = crf_loss(scores, torch.tensor([[0, 0, 0]]), [3], reduction="none")
    assert stays_only.item() != pytest.approx(one_step.item())


def test_infeasible_targets_give_inf_or_zero_and_never_nan():
    k, blocks = 2, 4
    scores = random_scores(3, blocks, k, seed=7).requires_grad_()
    targets = torch.tensor([[0, 1, 2, 3, 0, 1, 2], [0, 1, 0, 0, 0, 0, 0], [1, 1, 1, 1, 1, 1, 1]])
    lengths = [7, 3, 7]  # 5 steps need more blocks than 4; the second fits
    losses = crf_loss(scores, targets, lengths, reduction="none").detach()
    assert losses[0].item() == INF and losses[2].item() == INF and math.isfinite(losses[1])
    grad, = torch.autograd.grad(crf_loss(scores, targets, lengths, reduction="mean",
                                         zero_infinity=True), scores)
    assert not grad.isnan().any() and (grad[[0, 2]] == 0).all() and (grad[1] != 0).any()
    assert crf_loss(scores, targets, lengths, reduction="sum", zero_infinity=True).item() == \
        pytest.approx(losses[1].item())

    # Fewer than k bases: no path emits them either (each emits its first state's k bases).
    short = crf_loss(scores, targets, [1, 0, 3], reduction="none", zero_infinity=True).detach()
    assert torch.equal(short[:2], torch.zeros(2)) and math.isfinite(short[2])
    assert crf_loss(scores, targets, [1, 0, 3], reduction="none")[:2].tolist() == [INF, INF]
    grad, = torch.autograd.grad(crf_loss(scores, targets, [1, 0, 3], zero_infinity=True), scores)
    assert (grad[:2] == 0).all() and not grad.isnan().any()

    # Masked transitions: only stays are allowed, so a target with a step has no path.
    masked = torch.full((1, blocks, 80), -INF)
    masked[0, :, 0::5] = 0.0
    masked.requires_grad_()
    assert crf_log_z(masked).item() == pytest.approx(math.log(16))
    loss = crf_loss(masked, torch.tensor([[0, 1, 2]]), [3], reduction="none")
    assert loss.item() == INF
    assert (torch.autograd.grad(loss.sum(), masked)[0] == 0).all()


def test_reductions_padding_and_layouts_of_targets():
    k = 2
    scores = random_scores(3, 20, k, seed=8)
    blocks = [20, 13, 7]
    padded = torch.tensor([[0, 1, 2, 3, 3, 2, 1, 0], [1, 1, 2, 2, 0, 0, 0, 0], [3, 2, 1, 0, 0, 0, 0, 0]])
    bases = torch.tensor([8, 6, 4])
    concatenated = torch.cat([padded[i, :bases[i]] for i in range(3)])
    scores.requires_grad_()
    none = crf_loss(scores, padded, bases, blocks, reduction="none")
    assert torch.equal(none, crf_loss(scores, concatenated, bases, blocks, reduction="none"))
    for i in range(3):
        alone = crf_loss(scores[i:i + 1, :blocks[i]], padded[i:i + 1], bases[i:i + 1],
                         reduction="none")
        assert torch.equal(alone, none[i:i + 1])
    torch.testing.assert_close(crf_loss(scores, padded, bases, blocks, reduction="sum"), none.sum())
    mean = crf_loss(scores, padded, bases, blocks)
    torch.testing.assert_close(mean, (none / bases).mean())
    grad, = torch.autograd.grad(mean, scores)
    assert (grad[1, 13:] == 0).all() and (grad[2, 7:] == 0).all() and (grad[2, :7] != 0).any()


def test_half_precision_is_widened_and_bad_values_are_refused():
    scores = random_scores(2, 10, 2, seed=9)
    targets = random_targets(2, 5, seed=9)
    for dtype in (torch.float16, torch.bfloat16):
        narrow = scores.to(dtype).requires_grad_()
        losses = crf_loss(narrow, targets, [5, 5], reduction="none")
        widened = narrow.detach().float().requires_grad_()
        expected = crf_loss(widened, targets, [5, 5], reduction="none")
        assert torch.equal(losses, expected)
        grad, = torch.autograd.grad(losses.sum(), narrow)
        assert grad.dtype == dtype
        assert torch.equal(grad, torch.autograd.grad(expected.sum(), widened)[0].to(dtype))
        assert crf_edge_posteriors(narrow).dtype == dtype
    for value, words in ((float("nan"), "NaN"), (INF, r"\+inf")):
        bad = scores.clone()
        bad[1, 3, 7] = value
        with pytest.raises(ValueError, match=rf"crf_loss: chunk 1: scores hold {words} at block 3"):
            crf_loss(bad, targets, [5, 5])
    # Wherever a NaN lies in its block (k = 1: rows of 20, not a whole number of vector lanes),
    # with the rest masked or not.
    for column in range(20):
        for rest in (0.0, -INF):
            bad = torch.full((1, 3, 20), rest)
            bad[0, 1, 6] = 0.0
            bad[0, 1, column] = float("nan")
            with pytest.raises(ValueError, match="chunk 0: scores hold NaN at block 1"):
                crf_log_z(bad)
    # A block whose best scores are far from 0 would lose the posteriors' digits to rounding: the
    # same model shifted towards 0 is what the loss takes. Masked (-inf) and very unlikely
    # (-1e30) transitions beside ordinary ones are fine.
    for offset, dtype, limit in ((2e4, torch.float32, "1e4"), (-2e4, torch.float32, "1e4"),
                                 (3e38, torch.float32, "1e4"), (2e9, torch.float64, "1e9")):
        far = scores.to(dtype).clone()
        far[0, 4] += offset
        with pytest.raises(ValueError,
                           match=rf"chunk 0: scores reach beyond \+-{limit} .* block 4"):
            crf_log_z(far)
    masked = scores.clone()
    masked[:, :, ::5] = -INF
    masked[:, :, 1] = -1e30
    assert crf_log_z(masked).isfinite().all()
    with pytest.raises(ValueError, match="base codes 0 to 3, found 4 in target 1"):
        crf_loss(scores, torch.tensor([[0, 1, 2], [1, 4, 0]]), [3, 3])
    with pytest.raises(ValueError, match=r"target_lengths\[0\] is -1, negative"):
        crf_loss(scores, targets, [-1, 5])
    for width in (81, 0, 5 * 4**7):
        for function in (crf_log_z, crf_edge_posteriors):
            with pytest.raises(ValueError, match=rf"{function.__name__}: scores must have 5 \* 4\*\*k "
                               rf"columns, 4\*\*k at most 4096 states, not {width}\."):
                function(torch.zeros(1, 3, width))
        with pytest.raises(ValueError, match="crf_loss: scores must have"):
            crf_loss(torch.zeros(1, 3, width), targets[:1], [5])
    with pytest.raises(ValueError, match="add up to 4, not the 5 bases"):
        crf_loss(scores, targets[0], [2, 2])
    with pytest.raises(ValueError, match="reduction must be"):
        crf_loss(scores, targets, [5, 5], reduction="average")
    with pytest.raises(ValueError, match="3-D"):
        crf_log_z(scores[0])
    with pytest.raises(TypeError, match="targets must be an integer tensor"):
        crf_loss(scores, targets.float(), [5, 5])
    # Wrong types are TypeErrors in one line, as the docstrings say; a wrong shape a ValueError.
    for call, words in (
            (lambda: crf_loss(scores, targets, torch.tensor([5.0, 5.0])),
             "target_lengths must be an integer tensor, not torch.float32."),
            (lambda: crf_loss(scores, targets, [5, 5], reduction=None),
             "reduction must be a str, not NoneType."),
            (lambda: crf_loss(scores, targets, [5, 5], reduction=b"sum"),
             "reduction must be a str, not bytes."),
            (lambda: crf_loss(scores, targets, [5, 5], zero_infinity="no"),
             "zero_infinity must be a bool, not str."),
            (lambda: crf_loss(scores.to(torch.int8), targets, [5, 5]),
             "scores must be float32, float16, bfloat16 or float64, not torch.int8."),
            (lambda: crf_loss(scores[:0].to(torch.float8_e5m2), targets[:0], []),
             "scores must be float32, float16, bfloat16 or float64, not torch.float8_e5m2.")):
        with pytest.raises(TypeError) as error:
            call()
        assert str(error.value) == "crf_loss: " + words
    with pytest.raises(ValueError, match="target_lengths must be 1-D, not 2-D"):
        crf_loss(scores, targets, torch.tensor([[5, 5]]))


def test_a_gradient_of_the_output_that_is_not_finite_is_refused():
    # inf times the posteriors of a block, of both signs in the loss's gradient, has no value.
    scores = random_scores(2, 10, 2, seed=16)
    scores[:, :, 3] = -INF  # posteriors of 0, which inf would turn into NaN
    targets = random_targets(2, 5, seed=17)
    leaf = scores.clone().requires_grad_()
    for weight in (INF, -INF, float("nan")):
        for function in (lambda s: crf_loss(s, targets, [5, 5], reduction="none"), crf_log_z):
            values = function(leaf)
            with pytest.raises(ValueError, match=r"the gradient reaching chunk 1's value is "
                               rf"{weight}; it must be finite"):
                values.backward(torch.tensor([1.0, weight]))
    # A chunk whose infinite loss is zeroed has a gradient of 0 whatever reaches it.
    losses = crf_loss(leaf, targets, [5, 0], reduction="none", zero_infinity=True)
    grad, = torch.autograd.grad(losses, leaf, torch.tensor([1.0, INF]))
    assert grad[0].isfinite().all() and (grad[1] == 0).all()


def test_bitwise_the_same_for_any_threads_and_batch():
    scores = random_scores(6, 60, 4, seed=12)
    targets = random_targets(6, 25, seed=13)
    previous = torch.get_num_threads()
    results = []
    try:
        for threads in (1, 2):
            torch.set_num_threads(threads)
            s = scores.clone().requires_grad_()
            losses = crf_loss(s, targets, [25] * 6, reduction="none")
            results.append((losses.detach(), torch.autograd.grad(losses.sum(), s)[0]))
    finally:
        torch.set_num_threads(previous)
    assert torch.equal(results[0][0], results[1][0]) and torch.equal(results[0][1], results[1][1])
    s = scores[4:5].clone().requires_grad_()
    alone = crf_loss(s, targets[4:5], [25], reduction="none")
    assert torch.equal(alone, results[0][0][4:5])
    assert torch.equal(torch.autograd.grad(alone.sum(), s)[0], results[0][1][4:5])


def test_ctrl_c_stops_a_long_backward_pass_between_chunks():
    # 48 chunks of several hundred milliseconds each; SIGINT is sent once the backward pass has
    # begun (the hook on the losses runs just before it). The pass must stop at the next chunk,
    # leaving no gradient, rather than finish and raise afterwards.
    scores = random_scores(48, 3000, 1, seed=18).requires_grad_()
    targets = random_targets(48, 1500, seed=19)
    losses = crf_loss(scores, targets, [1500] * 48, reduction="none")
    started = threading.Event()
    losses.register_hook(lambda grad: started.set())

    def interrupt():
        started.wait()
        os.kill(os.getpid(), signal.SIGINT)

    sender = threading.Thread(target=interrupt)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        sender.start()
        with pytest.raises(KeyboardInterrupt):
            losses.sum().backward()
        assert scores.grad is None
    finally:
        started.set()
        sender.join()
        signal.signal(signal.SIGINT, previous)


def ddp_worker(rank, world, rendezvous, scores, targets, output):
    import torch.distributed as dist
    from torch.nn.parallel import DistributedDataParallel

    torch.set_num_threads(1)
    dist.init_process_group("gloo", init_method=f"file://{rendezvous}", rank=rank,
                            world_size=world)
    torch.manual_seed(0)
    model = DistributedDataParallel(torch.nn.Linear(scores.shape[-1], scores.shape[-1]))
    half = scores.shape[0] // world
    mine = slice(rank * half, (rank + 1) * half)
    loss = crf_loss(model(scores[mine]), targets[mine], [targets.shape[1]] * half)
    loss.backward()
    if rank == 0:
        torch.save([p.grad for p in model.parameters()], output)
    # Both ranks leave together: a rank that tears its group down while the other still works in
    # it can abort inside gloo ("terminate called without an active exception").
    dist.barrier()
    dist.destroy_process_group()


def test_distributed_data_parallel_gives_the_whole_batch_gradient(tmp_path):
    import torch.multiprocessing

    scores = random_scores(4, 15, 2, seed=14)
    targets = random_targets(4, 6, seed=15)
    output = tmp_path / "grads.pt"
    torch.multiprocessing.spawn(ddp_worker, args=(2, str(tmp_path / "rendezvous"), scores, targets,
                                                  str(output)), nprocs=2, join=True)
    torch.manual_seed(0)
    model = torch.nn.Linear(scores.shape[-1], scores.shape[-1])
    crf_loss(model(scores), targets, [6] * 4).backward()
    for distributed, whole in zip(torch.load(output), model.parameters()):
        torch.testing.assert_close(distributed, whole.grad, rtol=1e-5, atol=1e-7)



def test_no_silent_second_derivative_and_no_internal_cast_errors():
    scores = random_scores(1, 2, 1, seed=9, dtype=torch.float64).requires_grad_()
    # A gradient that depends on the scores through the output's own gradient, as in a
    # Hessian-vector product: differentiating it again must raise, not drop a term.
    gradient, = torch.autograd.grad((crf_log_z(scores) ** 2).sum(), scores, create_graph=True)
    with pytest.raises(RuntimeError, match="no second derivatives"):
        torch.autograd.grad(gradient.sum(), scores)
    targets = random_targets(2, 3, seed=10)
    for huge in (2**63, 2**64):
        with pytest.raises(ValueError, match="beyond 64 bits"):
            crf_loss(random_scores(2, 4, 1, seed=11), targets, [huge, 2])
        with pytest.raises(ValueError, match="beyond 64 bits"):
            crf_log_z(random_scores(2, 4, 1, seed=11), [huge, 4])


def test_memory_kept_between_calls_holds_no_stale_values_and_spares_tensors_in_use():
    # Gradients of 2-3 MB: large enough for the loss to keep their memory when freed.
    scores, other = random_scores(3, 200, 4, seed=21), random_scores(3, 200, 4, seed=22)
    lengths = [200, 120, 50]
    release_loss_memory()
    on_fresh_memory = crf_edge_posteriors(other, lengths).clone()
    in_use = crf_edge_posteriors(scores)
    expected = in_use.clone()
    for _ in range(3):
        # Memory last holding other values: padding and every used block written again.
        assert torch.equal(crf_edge_posteriors(other, lengths), on_fresh_memory)
        s = other.clone().requires_grad_()
        crf_loss(s, random_targets(3, 40, seed=23), [40] * 3).backward()
        del s
    assert torch.equal(in_use, expected)
    assert release_loss_memory() > 0
    assert release_loss_memory() == 0
    del in_use  # freed after the release: kept, and given back by the next one
    assert release_loss_memory() >= expected.nbytes


def test_kept_memory_follows_the_recent_steps_and_its_tensors_resize():
    release_loss_memory()

    def step(chunks):
        s = random_scores(chunks, 200, 4, seed=26).requires_grad_()
        crf_loss(s, random_targets(chunks, 40, seed=27), [40] * chunks).backward()
        return s.grad

    step(12)  # one large step, then smaller ones: the large step's memory goes four steps later
    for _ in range(4):
        small = step(2).nbytes
    kept = release_loss_memory()
    assert small <= kept < 3 * small
    # A gradient of kept memory resizes as any tensor does.
    grad = step(2)
    grad.resize_(3, 201, 1280)
    grad.untyped_storage().resize_(0)


def test_threads_sharing_the_kept_memory_get_the_bits_of_one_thread():
    scores = random_scores(2, 150, 4, seed=24)
    targets = random_targets(2, 60, seed=25)

    def gradient():
        s = scores.clone().requires_grad_()
        crf_loss(s, targets, [60, 60]).backward()
        return s.grad

    expected = gradient()
    results, errors = [], []

    def work():
        try:
            results.extend(gradient() for _ in range(6))
        except Exception as error:  # reported below, in the test's own thread
            errors.append(error)

    workers = [threading.Thread(target=work) for _ in range(4)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not errors
    assert len(results) == 24 and all(torch.equal(result, expected) for result in results)
