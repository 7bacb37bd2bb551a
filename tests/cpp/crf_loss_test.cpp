// The training loss against brute force over every path of tiny chunks, and against the same
// arithmetic in double on long ones.
#include "crf_loss.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "crf_target.h"

namespace {

using crf_loss::log_partition;
using crf_loss::target_log_weight;
using crf_loss::target_loss;
using crf_loss::target_states;

const double inf = std::numeric_limits<double>::infinity();

std::vector<double> random_scores(int blocks, int num_states, unsigned seed, double spread = 4) {
    std::vector<double> scores(size_t(blocks) * 5 * num_states);
    unsigned x = seed;
    for (double& s : scores) {
        x = x * 1664525u + 1013904223u;
        s = (double(x >> 8) / double(1 << 24) * 2 - 1) * spread;
    }
    return scores;
}

std::vector<float> as_float(const std::vector<double>& values) {
    return std::vector<float>(values.begin(), values.end());
}

// Scores that float holds exactly, so that both forms see the same values.
std::vector<double> float_exact(std::vector<double> values) {
    for (double& value : values) value = double(float(value));
    return values;
}

long double log_add(long double x, long double y) {
    if (x < y) std::swap(x, y);
    return y == -INFINITY ? x : x + std::log1p(std::exp(y - x));
}

// Every path of a tiny chunk, by its start state and five choices per block (stay, or the step
// appending base n), with the bases it emits.
struct BruteForce {
    long double log_z = -INFINITY;
    std::vector<long double> edge_posts;
    std::map<std::vector<int64_t>, long double> by_target;  // log weight of each emitted sequence
    std::map<std::vector<int64_t>, std::vector<long double>> target_posts;

    BruteForce(const std::vector<double>& scores, int blocks, int num_states,
               bool with_posts = true) {
        const int k = int(std::lround(std::log2(num_states) / 2));
        const int msb = num_states / 4;
        const size_t width = size_t(5 * num_states);
        std::vector<std::pair<long double, std::vector<size_t>>> paths;
        std::vector<std::vector<int64_t>> emitted;
        long double count = std::pow(5.0L, blocks);
        for (int start = 0; start < num_states; ++start) {
            for (long long choice = 0; choice < (long long)count; ++choice) {
                std::vector<int64_t> bases;
                for (int i = k - 1; i >= 0; --i) bases.push_back((start >> (2 * i)) & 3);
                std::vector<size_t> edges;
                long double weight = 0;
                int s = start;
                long long c = choice;
                for (int t = 0; t < blocks; ++t, c /= 5) {
                    const int j = int(c % 5);
                    size_t index;
                    if (j == 0) {
                        index = size_t(5 * s);
                    } else {
                        const int d = (s * 4) % num_states + (j - 1);
                        index = size_t(5 * d + 1 + s / msb);
                        bases.push_back(j - 1);
                        s = d;
                    }
                    edges.push_back(t * width + index);
                    weight += scores[t * width + index];
                }
                paths.emplace_back(weight, edges);
                emitted.push_back(bases);
                log_z = log_add(log_z, weight);
                auto found = by_target.find(bases);
                by_target[bases] =
                    found == by_target.end() ? weight : log_add(found->second, weight);
            }
        }
        edge_posts.assign(scores.size(), 0);
        if (!with_posts) return;
        for (size_t p = 0; p < paths.size(); ++p) {
            if (paths[p].first == -INFINITY) continue;
            auto& posts = target_posts[emitted[p]];
            posts.resize(scores.size(), 0);
            for (size_t edge : paths[p].second) {
                edge_posts[edge] += std::exp(paths[p].first - log_z);
                posts[edge] += std::exp(paths[p].first - by_target[emitted[p]]);
            }
        }
    }
};

template <typename Real>
void expect_matches_brute_force(const std::vector<double>& scores64, int blocks, int num_states,
                                double tolerance, double value_tolerance) {
    const BruteForce brute(scores64, blocks, num_states);
    const std::vector<Real> scores(scores64.begin(), scores64.end());
    std::vector<Real> posts(scores.size());
    EXPECT_NEAR(log_partition(scores.data(), blocks, num_states, posts.data()), brute.log_z,
                value_tolerance);
    for (size_t i = 0; i < posts.size(); ++i) {
        ASSERT_NEAR(posts[i], brute.edge_posts[i], tolerance) << i;
    }
    int checked = 0;
    for (const auto& [target, weight] : brute.by_target) {
        if (weight == -INFINITY || checked++ % 7 != 0) continue;  // a sample of the targets
        const std::vector<int> states =
            target_states(target.data(), int(target.size()), num_states);
        std::vector<Real> grad(scores.size());
        const double loss = target_loss(scores.data(), blocks, num_states, states, grad.data());
        EXPECT_NEAR(loss, brute.log_z - weight, value_tolerance);
        const auto& target_posts = brute.target_posts.at(target);
        for (size_t i = 0; i < grad.size(); ++i) {
            ASSERT_NEAR(grad[i], brute.edge_posts[i] - target_posts[i], tolerance) << i;
        }
    }
    EXPECT_GT(checked, 3);
}

}  // namespace

TEST(CrfLoss, MatchesBruteForceOverAllPaths) {
    for (const auto& [blocks, num_states] : {std::pair{4, 4}, {3, 16}, {1, 16}}) {
        const std::vector<double> scores =
            float_exact(random_scores(blocks, num_states, 7 + blocks));
        expect_matches_brute_force<double>(scores, blocks, num_states, 1e-12, 1e-12);
        expect_matches_brute_force<float>(scores, blocks, num_states, 2e-6, 1e-5);
    }
}

TEST(CrfLoss, MaskedTransitionsMatchBruteForceAndNeverGiveNaN) {
    std::vector<double> scores = float_exact(random_scores(4, 4, 3));
    for (size_t i = 0; i < scores.size(); i += 3) scores[i] = -inf;
    expect_matches_brute_force<double>(scores, 4, 4, 1e-12, 1e-12);
    expect_matches_brute_force<float>(scores, 4, 4, 2e-6, 1e-5);

    // Only the stay in state 0, then only the stay in state 1: no path crosses both blocks.
    std::vector<double> disjoint(2 * 20, -inf);
    disjoint[0] = 0;
    disjoint[20 + 5] = 0;
    std::vector<double> grad(disjoint.size(), 1);
    EXPECT_EQ(log_partition(disjoint.data(), 2, 4, grad.data()), -inf);
    EXPECT_EQ(target_loss(disjoint.data(), 2, 4, {0}, grad.data()), inf);
    for (double g : grad) EXPECT_EQ(g, 0);
}

TEST(CrfLoss, StatesWithNoWayOutAndScoresFarFromZero) {
    // Scores on a grid of 2^-10, so that moving a block by -8192 is exact in float; states 3 and
    // 40 have every transition out of them masked in every block.
    const int blocks = 30, num_states = 64, msb = num_states / 4;
    std::vector<float> scores = as_float(random_scores(blocks, num_states, 21));
    for (float& score : scores) score = std::round(score * 1024) / 1024;
    for (int t = 0; t < blocks; ++t) {
        float* row = scores.data() + size_t(t) * 5 * num_states;
        for (const int s : {3, 40}) {
            row[5 * s] = -INFINITY;
            for (int b = 0; b < 4; ++b)
                row[5 * ((s * 4) % num_states + b) + 1 + s / msb] = -INFINITY;
        }
    }
    std::vector<float> posts(scores.size()), moved_posts(scores.size());
    const double log_z = log_partition(scores.data(), blocks, num_states, posts.data());
    std::vector<float> moved = scores;
    for (size_t i = 5 * num_states * 4; i < moved.size(); ++i) moved[i] -= 8192;  // blocks 4 on
    const double moved_log_z = log_partition(moved.data(), blocks, num_states, moved_posts.data());
    EXPECT_NEAR(moved_log_z, log_z - 8192.0 * (blocks - 4), 1e-2);
    for (size_t i = 0; i < posts.size(); ++i) {
        ASSERT_TRUE(std::isfinite(moved_posts[i])) << i;
        // Near -8192, float's grid is 1e-3: sums of guides and scores keep fewer digits.
        ASSERT_NEAR(moved_posts[i], posts[i], 1e-2 * posts[i] + 1e-7) << i;
    }
}

// The check read a stretch of blocks at a time, after the recursion: the same guides, bits
// and all, as the recursion over the whole chunk at once, and the first bad block, in whichever
// stretch it lies (k = 5: stretches of 6 blocks in float, 3 in double).
template <typename Real>
void check_stretches(const std::vector<Real>& scores, int blocks, int num_states) {
    const size_t rows = size_t(blocks) + 1, width = size_t(5 * num_states);
    std::vector<Real> fwd(rows * num_states), shifts(rows), checked_fwd(fwd), checked_shifts(rows);
    const double log_z =
        crf_loss::forward_guides(scores.data(), blocks, num_states, fwd.data(), shifts.data());
    double checked_log_z = 0;
    EXPECT_FALSE(crf_loss::checked_forward_guides(scores.data(), blocks, num_states,
                                                  checked_fwd.data(), checked_shifts.data(),
                                                  checked_log_z));
    EXPECT_EQ(checked_log_z, log_z);
    EXPECT_EQ(checked_fwd, fwd);
    EXPECT_EQ(checked_shifts, shifts);
    const Real too_far = std::is_same_v<Real, float> ? Real(2e4) : Real(2e9);
    const std::vector<std::pair<Real, std::string>> faults = {
        {NAN, "hold NaN"}, {INFINITY, "hold +inf"}, {too_far, "reach beyond"}};
    for (const int block : {0, 5, 6, 13, blocks - 1}) {
        for (const auto& [value, problem] : faults) {
            std::vector<Real> bad = scores;
            bad[block * width + 7] = value;
            bad[(blocks - 1) * width + 3] = NAN;  // a later fault is not the one reported
            const auto found =
                crf_loss::checked_forward_guides(bad.data(), blocks, num_states, checked_fwd.data(),
                                                 checked_shifts.data(), checked_log_z);
            ASSERT_TRUE(found);
            EXPECT_EQ(found->block, block);
            EXPECT_EQ(found->problem.rfind(block == blocks - 1 ? "hold" : problem, 0), 0u)
                << found->problem;
        }
    }
    // A NaN is found in whichever of the scan's lanes it falls, and in the tail beyond them.
    for (size_t column = 0; column < width; column += column < 16 ? 1 : width - 17) {
        std::vector<Real> bad = scores;
        bad[5 * width + column] = NAN;
        const auto found =
            crf_loss::checked_forward_guides(bad.data(), blocks, num_states, checked_fwd.data(),
                                             checked_shifts.data(), checked_log_z);
        ASSERT_TRUE(found) << column;
        EXPECT_EQ(found->block, 5);
        EXPECT_EQ(found->problem, "hold NaN") << column;
    }
}

TEST(CrfLoss, ScoresCheckedAStretchAtATime) {
    const int blocks = 20, num_states = 1024;
    const std::vector<double> scores = random_scores(blocks, num_states, 31);
    check_stretches(as_float(scores), blocks, num_states);
    check_stretches(scores, blocks, num_states);
}

TEST(CrfLoss, TargetsOfEveryShape) {
    const int blocks = 5, num_states = 16;
    const std::vector<double> scores = random_scores(blocks, num_states, 11);
    const BruteForce brute(scores, blocks, num_states, false);
    const std::vector<std::vector<int64_t>> targets = {
        {2, 3},                 // exactly k bases: stays only
        {0, 0, 0, 0, 0, 0, 0},  // a homopolymer stepping every block
        {1, 2, 3, 0, 1, 2, 3},  // a step every block
        {3, 3, 1, 1}};
    for (const auto& target : targets) {
        const std::vector<int> states = target_states(target.data(), int(target.size()), 16);
        EXPECT_NEAR(target_log_weight(scores.data(), blocks, num_states, states, nullptr),
                    brute.by_target.at(target), 1e-12);
    }
    // One base more than the blocks can step: no path.
    const std::vector<int64_t> too_long = {0, 1, 2, 3, 0, 1, 2, 3};
    std::vector<double> grad(scores.size(), 1);
    EXPECT_EQ(target_loss(scores.data(), blocks, num_states, target_states(too_long.data(), 8, 16),
                          grad.data()),
              inf);
    for (double g : grad) EXPECT_EQ(g, 0);
    EXPECT_EQ(target_states(too_long.data(), 4, 16), (std::vector<int>{1, 6, 11}));
}

TEST(CrfLoss, GradientRowsAndBlockConstants) {
    const int blocks = 40, num_states = 64;
    std::vector<float> scores = as_float(random_scores(blocks, num_states, 5));
    const std::vector<int64_t> target = {0, 1, 1, 2, 3, 3, 3, 0, 2, 1, 0, 0, 0};
    const std::vector<int> states = target_states(target.data(), 13, num_states);
    std::vector<float> posts(scores.size()), grad(scores.size());
    const double log_z = log_partition(scores.data(), blocks, num_states, posts.data());
    const double loss = target_loss(scores.data(), blocks, num_states, states, grad.data());
    const size_t width = size_t(5 * num_states);
    for (int t = 0; t < blocks; ++t) {
        double post_sum = 0, grad_sum = 0;
        for (size_t i = 0; i < width; ++i) {
            post_sum += posts[t * width + i];
            grad_sum += grad[t * width + i];
        }
        EXPECT_NEAR(post_sum, 1, 1e-6);
        EXPECT_NEAR(grad_sum, 0, 1e-6);
    }
    for (size_t i = 7 * width; i < 8 * width; ++i) scores[i] += 3.0f;  // any multiple of 2^-k
    std::vector<float> shifted(scores.size());
    EXPECT_NEAR(log_partition(scores.data(), blocks, num_states, shifted.data()), log_z + 3, 1e-4);
    EXPECT_NEAR(target_loss(scores.data(), blocks, num_states, states, nullptr), loss, 1e-4);
    for (size_t i = 0; i < posts.size(); ++i) ASSERT_NEAR(shifted[i], posts[i], 1e-6);
}

TEST(CrfLoss, NumeratorGradientMatchesFiniteDifferencesAcrossSegments) {
    // 50 blocks: segments of 8, so the backward pass recomputes seven of them.
    const int blocks = 50, num_states = 16;
    std::vector<double> scores = random_scores(blocks, num_states, 9, 1);
    const std::vector<int64_t> target = {0, 3, 3, 1, 2, 2, 0, 1, 1, 1, 3, 0, 2, 3, 1};
    const std::vector<int> states = target_states(target.data(), 15, num_states);
    std::vector<double> grad(scores.size(), 0), kept_grad(scores.size(), 0);
    const double numerator =
        target_log_weight(scores.data(), blocks, num_states, states, grad.data(), 0);
    // Every row kept, none recomputed: the same bits.
    EXPECT_EQ(target_log_weight(scores.data(), blocks, num_states, states, kept_grad.data()),
              numerator);
    EXPECT_EQ(grad, kept_grad);
    double largest = 0;
    for (size_t i = 0; i < scores.size(); ++i) {
        const double h = 1e-6, kept = scores[i];
        scores[i] = kept + h;
        const double up = target_log_weight(scores.data(), blocks, num_states, states, nullptr);
        scores[i] = kept - h;
        const double down = target_log_weight(scores.data(), blocks, num_states, states, nullptr);
        scores[i] = kept;
        ASSERT_NEAR(-grad[i], (up - down) / (2 * h), 1e-7) << i;
        largest = std::max(largest, -grad[i]);
    }
    EXPECT_GT(largest, 0.5);
    EXPECT_TRUE(std::isfinite(numerator));
}

TEST(CrfLoss, FloatPrecisionDoesNotFallWithLength) {
    const int blocks = 20000, num_states = 16;
    const std::vector<double> scores64 = float_exact(random_scores(blocks, num_states, 13));
    const std::vector<float> scores = as_float(scores64);
    std::vector<double> posts64(scores.size());
    std::vector<float> posts(scores.size());
    const double log_z64 = log_partition(scores64.data(), blocks, num_states, posts64.data());
    const double log_z = log_partition(scores.data(), blocks, num_states, posts.data());
    // An independent check of the double form: the unshifted forward recursion in long double.
    std::vector<long double> fwd(num_states, 0), next(num_states);
    for (int t = 0; t < blocks; ++t) {
        for (int d = 0; d < num_states; ++d) {
            const double* row = scores64.data() + size_t(t) * 5 * num_states + 5 * d;
            long double value = row[0] + fwd[d];
            for (int b = 0; b < 4; ++b) {
                value = log_add(value, row[1 + b] + fwd[d / 4 + b * num_states / 4]);
            }
            next[d] = value;
        }
        fwd.swap(next);
    }
    long double reference = -INFINITY;
    for (long double value : fwd) reference = log_add(reference, value);
    EXPECT_NEAR(log_z64, double(reference), 1e-8 * std::abs(double(reference)));
    EXPECT_NEAR(log_z, log_z64, 1e-2);
    double worst = 0;
    for (size_t i = 0; i < posts.size(); ++i) {
        worst = std::max(worst, std::abs(double(posts[i]) - posts64[i]));
    }
    EXPECT_LT(worst, 1e-5);
}

// A target of 0.9 bases per block (a narrow band) over random scores, some transitions masked.
struct LongTarget {
    std::vector<double> scores64;
    std::vector<float> scores;
    std::vector<int> states;

    LongTarget(int blocks, int num_states) {
        scores64 = float_exact(random_scores(blocks, num_states, 17, 3));
        for (size_t i = 3; i < scores64.size(); i += 97) scores64[i] = -inf;
        scores = as_float(scores64);
        std::vector<int64_t> target(size_t(blocks) * 9 / 10);
        unsigned x = 5;
        for (int64_t& base : target) {
            x = x * 1664525u + 1013904223u;
            base = (x >> 16) % 4;
        }
        states = target_states(target.data(), int(target.size()), num_states);
    }
};

TEST(CrfLoss, FloatNumeratorKeepsItsBits) {
    const int blocks = 3000, num_states = 64;
    const LongTarget chunk(blocks, num_states);
    const std::vector<int>& states = chunk.states;
    const size_t size = chunk.scores.size();
    std::vector<float> grad(size, 0), scalar_grad(size, 0), segment_grad(size, 0);
    const float* scores = chunk.scores.data();
    const double value = target_log_weight(scores, blocks, num_states, states, grad.data());
    EXPECT_EQ(
        crf_loss::target_log_weight_scalar(scores, blocks, num_states, states, scalar_grad.data()),
        value);
    EXPECT_EQ(grad, scalar_grad);
    // Rows recomputed by segments rather than kept.
    EXPECT_EQ(target_log_weight(scores, blocks, num_states, states, segment_grad.data(), 1000),
              value);
    EXPECT_EQ(grad, segment_grad);
    EXPECT_TRUE(std::isfinite(value));
    // In two halves, with the rows kept in between (all of them, then some).
    for (size_t budget : {size_t(1) << 22, size_t(1000)}) {
        crf_loss::TargetRows kept;
        std::vector<double> kept_values(crf_loss::kept_values(blocks, states.size(), budget));
        kept.values = kept_values.data();
        std::vector<float> halves_grad(size, 0);
        EXPECT_EQ(crf_loss::target_forward(scores, blocks, num_states, states, kept, budget),
                  value);
        crf_loss::target_backward(scores, blocks, num_states, states, kept, halves_grad.data(),
                                  1.0);
        EXPECT_EQ(grad, halves_grad);
    }
}

// The forward passes of log Z and of the target in one, and the gradient of the loss with the
// target's posteriors subtracted block by block inside the edge posteriors' pass, against the two
// passes one after the other: the same bits, with all forward rows kept or some, in float (vector
// and scalar forms) and in double.
template <typename Real>
void expect_loss_posts_in_one_pass(const std::vector<Real>& scores, int blocks, int num_states,
                                   const std::vector<int>& states) {
    const size_t states_count = size_t(num_states), size = scores.size();
    std::vector<Real> fwd((size_t(blocks) + 1) * states_count), shifts(size_t(blocks) + 1);
    crf_loss::forward_guides(scores.data(), blocks, num_states, fwd.data(), shifts.data());
    for (size_t budget : {size_t(1) << 22, size_t(200)}) {
        crf_loss::TargetRows kept, kept_too;
        std::vector<double> values(crf_loss::kept_values(blocks, states.size(), budget));
        std::vector<double> values_too(values.size());
        kept.values = values.data();
        kept_too.values = values_too.data();
        const double numerator =
            crf_loss::target_forward(scores.data(), blocks, num_states, states, kept, budget);
        // The forward passes in one, likewise.
        std::vector<Real> fwd_too(fwd.size()), shifts_too(shifts.size());
        double log_z = 0, numerator_too = 0;
        EXPECT_FALSE(crf_loss::checked_forward_with_target(
            scores.data(), blocks, num_states, fwd_too.data(), shifts_too.data(), log_z, states,
            &kept_too, budget, numerator_too));
        EXPECT_EQ(numerator_too, numerator);
        EXPECT_EQ(log_z, crf_loss::forward_guides(scores.data(), blocks, num_states, fwd_too.data(),
                                                  shifts_too.data()));
        EXPECT_EQ(fwd_too, fwd);
        EXPECT_EQ(values_too, values);
        EXPECT_EQ(kept_too.at, kept.at);
        EXPECT_FALSE(crf_loss::checked_forward_with_target(scores.data(), blocks, num_states,
                                                           fwd_too.data(), shifts_too.data(), log_z,
                                                           states, nullptr, budget, numerator_too));
        EXPECT_EQ(numerator_too, numerator);
        std::vector<Real> apart(size), together(size);
        crf_loss::scaled_edge_posts(scores.data(), blocks, num_states, fwd.data(), shifts.data(),
                                    0.75, apart.data());
        crf_loss::target_backward(scores.data(), blocks, num_states, states, kept, apart.data(),
                                  0.75);
        crf_loss::scaled_loss_posts(scores.data(), blocks, num_states, fwd.data(), shifts.data(),
                                    0.75, states, kept, together.data());
        EXPECT_EQ(apart, together) << num_states << " states, budget " << budget;
    }
}

TEST(CrfLoss, LossPostsInOnePassKeepTheirBits) {
    for (int num_states : {4, 64}) {
        const LongTarget chunk(400, num_states);
        expect_loss_posts_in_one_pass(chunk.scores, 400, num_states, chunk.states);
        expect_loss_posts_in_one_pass(chunk.scores64, 400, num_states, chunk.states);
    }
}

TEST(CrfLoss, FloatNumeratorPrecisionDoesNotFallWithLength) {
    const int blocks = 10000, num_states = 64;
    const LongTarget chunk(blocks, num_states);
    const size_t size = chunk.scores.size();
    std::vector<float> grad(size, 0);
    std::vector<double> grad64(size, 0);
    const double value =
        target_log_weight(chunk.scores.data(), blocks, num_states, chunk.states, grad.data());
    const double value64 =
        target_log_weight(chunk.scores64.data(), blocks, num_states, chunk.states, grad64.data());
    ASSERT_TRUE(std::isfinite(value64));
    EXPECT_NEAR(value, value64, 1e-8 * std::abs(value64));
    double worst = 0, total = 0;
    for (size_t i = 0; i < size; ++i) {
        worst = std::max(worst, std::abs(double(grad[i]) - grad64[i]));
        total += grad64[i];
    }
    EXPECT_LT(worst, 1e-5);
    EXPECT_NEAR(total, -blocks, 1e-6 * blocks);  // one transition of the target per block
}
