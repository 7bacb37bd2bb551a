// The numeric core alone: the recursions in their scalar, AVX2 and AVX-512 forms, and the beam
// search.
// Built twice: core_bench, and core_bench_scan with the w * w merge scan at every beam width.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "beam_search.h"
#include "crf_kernels.h"

namespace {

std::vector<float> random_scores(int blocks, int num_states) {
    std::mt19937 rng(uint32_t(blocks * 31 + num_states));
    std::normal_distribution<float> normal(0.0f, 3.0f);
    std::vector<float> scores(size_t(blocks) * 5 * num_states);
    for (float& s : scores) {
        s = normal(rng);
    }
    return scores;
}

// Arguments: k, blocks.
void recursion_args(benchmark::internal::Benchmark* b) {
    for (int k : {4, 5, 6}) {
        for (int blocks : {1000, 4000}) {
            b->Args({k, blocks});
        }
    }
    b->Unit(benchmark::kMillisecond);
}

bool always() { return true; }

// A form that this processor cannot run exactly is skipped.
bool skipped(benchmark::State& state, bool (*available)()) {
    if (!available()) {
        state.SkipWithError("this form is not exact on this processor");
        return true;
    }
    return false;
}

template <void (*Recursion)(const float*, float*, int, int), bool (*Available)() = always>
void BM_guides(benchmark::State& state) {
    if (skipped(state, Available)) {
        return;
    }
    const int n = 1 << (2 * state.range(0));
    const int blocks = int(state.range(1));
    const std::vector<float> scores = random_scores(blocks, n);
    std::vector<float> guides(size_t(blocks + 1) * n);
    for (auto _ : state) {
        Recursion(scores.data(), guides.data(), blocks, n);
        benchmark::DoNotOptimize(guides.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(blocks) * n);
}

// The stable forms, renormalising every row.
template <void (*Recursion)(const float*, float*, float*, int, int)>
void BM_stable_guides(benchmark::State& state) {
    const int n = 1 << (2 * state.range(0));
    const int blocks = int(state.range(1));
    const std::vector<float> scores = random_scores(blocks, n);
    std::vector<float> guides(size_t(blocks + 1) * n), shifts(size_t(blocks) + 1);
    for (auto _ : state) {
        Recursion(scores.data(), guides.data(), shifts.data(), blocks, n);
        benchmark::DoNotOptimize(guides.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(blocks) * n);
}

// The max-product pass that shifts long chunks' scores for the search, writing them all.
void BM_best_path_shifted(benchmark::State& state) {
    const int n = 1 << (2 * state.range(0));
    const int blocks = int(state.range(1));
    const std::vector<float> scores = random_scores(blocks, n);
    std::vector<float> shifted(scores.size());
    for (auto _ : state) {
        best_path_shifted_avx2(scores.data(), shifted.data(), blocks, n);
        benchmark::DoNotOptimize(shifted.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(blocks) * n);
}

// Arguments: k, blocks, for the specified recursions against the stable ones.
void stable_args(benchmark::internal::Benchmark* b) {
    for (int k : {3, 5}) {
        for (int blocks : {1000, 40000}) {
            b->Args({k, blocks});
        }
    }
    b->Unit(benchmark::kMillisecond);
}

template <void (*Posts)(const float*, const float*, float*, int, int), bool (*Available)() = always>
void BM_posts(benchmark::State& state) {
    if (skipped(state, Available)) {
        return;
    }
    const int n = 1 << (2 * state.range(0));
    const int blocks = int(state.range(1));
    const std::vector<float> scores = random_scores(blocks, n);
    std::vector<float> back(size_t(blocks + 1) * n), fwd(back.size()), posts(back.size());
    back_guides_scalar(scores.data(), back.data(), blocks, n);
    fwd_guides_scalar(scores.data(), fwd.data(), blocks, n);
    for (auto _ : state) {
        Posts(fwd.data(), back.data(), posts.data(), blocks, n);
        benchmark::DoNotOptimize(posts.data());
    }
    state.SetItemsProcessed(state.iterations() * int64_t(blocks + 1) * n);
}

// Arguments: k, blocks, beam width, 8-bit (0 or 1).
void search_args(benchmark::internal::Benchmark* b) {
    for (int k : {4, 5, 6}) {
        for (int blocks : {1000, 4000}) {
            for (int width : {5, 32, 256}) {
                for (int eight_bit : {0, 1}) {
                    b->Args({k, blocks, width, eight_bit});
                }
            }
        }
    }
    b->Unit(benchmark::kMillisecond);
}

void BM_beam_search(benchmark::State& state) {
    const int n = 1 << (2 * state.range(0));
    const int blocks = int(state.range(1));
    const size_t width = size_t(state.range(2));
    const bool eight_bit = state.range(3) != 0;
    // Narrow score spreads keep many candidates within the cut, as in real data.
    std::vector<float> scores = random_scores(blocks, n);
    for (float& s : scores) {
        s *= 0.3f;
    }
    std::vector<float> back, fwd, posts;
    compute_back_guides(scores.data(), back, blocks, n, 0.0f);
    compute_fwd_guides(scores.data(), fwd, blocks, n, 0.0f);
    compute_posts(scores.data(), fwd, back, posts, blocks, n);
    std::vector<signed char> scores8, back8;
    for (float s : scores) {
        scores8.push_back(static_cast<signed char>(
            std::lround(std::fmax(-128.0f, std::fmin(127.0f, s * 16.0f)))));
    }
    for (float g : back) {
        back8.push_back(
            static_cast<signed char>(std::lround(std::fmax(-128.0f, std::fmin(127.0f, g / 8.0f)))));
    }
    std::vector<int> states;
    std::vector<uint8_t> moves;
    std::vector<float> qual(size_t(blocks) * 4);
    for (auto _ : state) {
        const float score =
            eight_bit ? beam_search(scores8.data(), back8.data(), posts.data(), size_t(n),
                                    size_t(blocks), width, 100.0f, 2.0f, states, moves, qual, 1.0f)
                      : beam_search(scores.data(), back.data(), posts.data(), size_t(n),
                                    size_t(blocks), width, 100.0f, 2.0f, states, moves, qual, 1.0f);
        benchmark::DoNotOptimize(score);
    }
}

// The floor under an exact recursion: the vector expf and logf alone, over as many values as the
// recursion evaluates (five exponentials and one logarithm per state and block), row by row from
// buffers that stay in cache as the recursion's rows do, with the recursion's spread of arguments.
template <void (*Exp)(const float*, float*, size_t), void (*Log)(const float*, float*, size_t),
          bool (*Available)()>
void BM_exp_log_floor(benchmark::State& state) {
    if (skipped(state, Available)) {
        return;
    }
    const int n = 1 << (2 * state.range(0));
    const int blocks = int(state.range(1));
    std::vector<float> exp_in = random_scores(1, n);  // one row: 5 per state
    for (float& x : exp_in) {
        x = -std::fabs(x);  // differences from the maximum are at most 0
    }
    std::vector<float> log_in(static_cast<size_t>(n));
    std::vector<float> out(exp_in.size());
    for (size_t i = 0; i < log_in.size(); ++i) {
        log_in[i] = 1.0f + std::fabs(exp_in[i]);  // sums of five exponentials, one of them 1
    }
    for (auto _ : state) {
        for (int block = 0; block < blocks; ++block) {
            Exp(exp_in.data(), out.data(), exp_in.size());
            Log(log_in.data(), out.data(), log_in.size());
            benchmark::DoNotOptimize(out.data());
        }
    }
}

}  // namespace

BENCHMARK(BM_exp_log_floor<expf_avx2, logf_avx2, exact_avx2_available>)
    ->Name("exp_log_floor")
    ->Apply(recursion_args);
BENCHMARK(BM_exp_log_floor<expf_avx512, logf_avx512, exact_avx512_available>)
    ->Name("exp_log_floor/avx512")
    ->Apply(recursion_args);
BENCHMARK(BM_guides<back_guides_scalar>)->Name("back_guides/scalar")->Apply(recursion_args);
BENCHMARK(BM_guides<back_guides_avx2>)->Name("back_guides/avx2")->Apply(recursion_args);
BENCHMARK(BM_guides<fwd_guides_scalar>)->Name("fwd_guides/scalar")->Apply(recursion_args);
BENCHMARK(BM_guides<fwd_guides_avx2>)->Name("fwd_guides/avx2")->Apply(recursion_args);
BENCHMARK(BM_guides<back_guides_avx512, exact_avx512_available>)
    ->Name("back_guides/avx512")
    ->Apply(recursion_args);
BENCHMARK(BM_guides<fwd_guides_avx512, exact_avx512_available>)
    ->Name("fwd_guides/avx512")
    ->Apply(recursion_args);
BENCHMARK(BM_guides<back_guides_avx2>)->Name("long/back_guides/avx2")->Apply(stable_args);
BENCHMARK(BM_stable_guides<stable_back_guides_avx2>)
    ->Name("long/back_guides/avx2_stable")
    ->Apply(stable_args);
BENCHMARK(BM_guides<fwd_guides_avx2>)->Name("long/fwd_guides/avx2")->Apply(stable_args);
BENCHMARK(BM_stable_guides<stable_fwd_guides_avx2>)
    ->Name("long/fwd_guides/avx2_stable")
    ->Apply(stable_args);
BENCHMARK(BM_best_path_shifted)->Name("long/best_path_shifted/avx2")->Apply(stable_args);
BENCHMARK(BM_posts<posts_scalar>)->Name("posts/scalar")->Apply(recursion_args);
BENCHMARK(BM_posts<posts_avx2>)->Name("posts/avx2")->Apply(recursion_args);
BENCHMARK(BM_posts<posts_avx512, exact_avx512_available>)
    ->Name("posts/avx512")
    ->Apply(recursion_args);
BENCHMARK(BM_beam_search)->Name("beam_search")->Apply(search_args);

BENCHMARK_MAIN();
