// Kernels, state-count checks, guides and posteriors of the CRF core.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <vector>

#include "beam_search.h"

namespace {

const float inf = std::numeric_limits<float>::infinity();
const float nan_value = std::numeric_limits<float>::quiet_NaN();
const float ln5 = 1.609438f;

// A small fixed score matrix (k = 1, two blocks) whose guides and posteriors are also asserted,
// with the same bits, by the Python tests.
std::vector<float> golden_scores() {
    std::vector<float> scores(40);
    for (int i = 0; i < 40; ++i) {
        scores[i] = float(i % 7 - 3) * 0.5f;
    }
    return scores;
}

const std::vector<float> golden_back = {
    0x1.036f2p+2f, 0x1.fbbe66p+1f, 0x1.fc309ep+1f, 0x1.e6a234p+1f, 0x1.163caap+1f, 0x1.15b0dp+1f,
    0x1.a3ce3p+0f, 0x1.05a1bcp+1f, 0.0f,           0.0f,           0.0f,           0.0f};
const std::vector<float> golden_fwd = {
    0.0f,           0.0f,           0.0f,           0.0f,           0x1.58dba8p+0f, 0x1.10603p+1f,
    0x1.27a59ep+1f, 0x1.d8dba8p+0f, 0x1.c1fe9cp+1f, 0x1.0ca2cep+2f, 0x1.1820b6p+2f, 0x1.ac907cp+1f};
const std::vector<float> golden_posts = {
    0x1.1b55c8p-2f, 0x1.03c012p-2f, 0x1.04a844p-2f, 0x1.b883e4p-3f, 0x1.4c9a3ap-3f, 0x1.6989acp-2f,
    0x1.feabeap-3f, 0x1.e1a6aap-3f, 0x1.4adcbap-3f, 0x1.472596p-2f, 0x1.877e52p-2f, 0x1.17db64p-3f};

std::vector<float> random_scores(int blocks, int num_states, unsigned seed) {
    std::vector<float> scores(size_t(blocks) * 5 * num_states);
    unsigned x = seed;
    for (float& s : scores) {
        x = x * 1664525u + 1013904223u;
        s = float(x >> 8) / float(1 << 24) * 8.0f - 4.0f;
    }
    return scores;
}

float log_sum_over_states(const float* a, const float* b, int num_states) {
    double total = 0.0;
    for (int s = 0; s < num_states; ++s) {
        total += std::exp(double(a[s]) + double(b[s]));
    }
    return float(std::log(total));
}

}  // namespace

TEST(LogSumExp, TwoOperandEdgeCases) {
    EXPECT_EQ(log_sum_exp(0.0f, 0.0f, 1.0f), 0.6931472f);
    EXPECT_EQ(log_sum_exp(3.0f, 3.0f, 1.0f), 3.0f + 0.6931472f);
    // The correction is dropped from a difference of 17 (in units of t) on.
    EXPECT_EQ(log_sum_exp(0.0f, -17.0f, 1.0f), 0.0f);
    EXPECT_NEAR(log_sum_exp(0.0f, -16.9f, 1.0f), 4.575e-8f, 1e-10f);
    EXPECT_EQ(log_sum_exp(0.0f, -2.0f, 0.1f), 0.0f);
    EXPECT_NEAR(log_sum_exp(0.0f, -2.0f, 1.0f), 0.126928f, 1e-6f);
    // Temperature 0 gives the plain maximum, also for equal operands (0 / 0).
    EXPECT_EQ(log_sum_exp(1.5f, -2.0f, 0.0f), 1.5f);
    EXPECT_EQ(log_sum_exp(1.5f, 1.5f, 0.0f), 1.5f);
    EXPECT_EQ(log_sum_exp(2.5f, -inf, 0.5f), 2.5f);
    EXPECT_EQ(log_sum_exp(nan_value, 2.5f, 1.0f), 2.5f);
    EXPECT_EQ(log_sum_exp(2.5f, nan_value, 1.0f), 2.5f);
}

TEST(Kernels, ArrayFormsAndSoftmax) {
    const float one = 0.375f;
    EXPECT_EQ(log_sum_exp(&one, 1, 1), one);
    const float five[5] = {-2.0f, -2.0f, -2.0f, -2.0f, -2.0f};
    EXPECT_NEAR(log_sum_exp(five, 5, 1), -2.0f + ln5, 1e-6f);

    // Only s[0], s[5] and s[10] are looked at; a tie does not replace the running maximum.
    const float strided[11] = {1, 9, 9, 9, 9, 3, 9, 9, 9, 9, 2};
    EXPECT_EQ(max_element(strided, 3, 5), 3.0f);

    float single = -7.0f;
    softmax(&single, 1, &single);
    EXPECT_EQ(single, 1.0f);

    std::vector<float> in = {0.5f, -1.0f, 2.0f, 0.0f};
    std::vector<float> out(4);
    softmax(in.data(), 4, out.data());
    softmax(in.data(), 4, in.data());
    EXPECT_EQ(in, out);
    EXPECT_NEAR(std::accumulate(out.begin(), out.end(), 0.0f), 1.0f, 1e-6f);
}

TEST(GetNumStates, AcceptsOnlyFiveTimesPowersOfFour) {
    EXPECT_EQ(get_num_states(20), 4);
    EXPECT_EQ(get_num_states(80), 16);
    EXPECT_EQ(get_num_states(5120), 1024);
    EXPECT_EQ(get_num_states(5 * 4096), 4096);
    EXPECT_EQ(get_num_states(5 * (size_t(1) << 30)), 1 << 30);
    for (size_t width : {size_t(0), size_t(5), size_t(10), size_t(15), size_t(21), size_t(30),
                         size_t(40), size_t(5 * 32), size_t(5 * 48), 5 * (size_t(1) << 32)}) {
        try {
            get_num_states(width);
            ADD_FAILURE() << "width " << width << " accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Unexpected number of transition states in beam search decode.");
        }
    }
}

TEST(CheckCrfSize, RefusesArraysOf2To31Entries) {
    // Scores: blocks * 5 * states entries; guides: (blocks + 1) * states entries.
    EXPECT_NO_THROW(check_crf_size(0, 1 << 30));
    EXPECT_THROW(check_crf_size(1, 1 << 30), std::length_error);
    EXPECT_NO_THROW(check_crf_size(104857, 4096));  // 5 * 4096 * 104857 = 2^31 - 20480
    EXPECT_THROW(check_crf_size(104858, 4096), std::length_error);
    EXPECT_NO_THROW(check_crf_size(429496728, 1));  // 429496728 * 5 < 2^31
    EXPECT_THROW(check_crf_size(429496730, 1), std::length_error);
    EXPECT_THROW(check_crf_size(int64_t(1) << 31, 0), std::length_error);  // rows must fit an int
    EXPECT_THROW(check_crf_size(int64_t(1) << 62, 4), std::length_error);
}

TEST(Guides, GoldenValues) {
    const std::vector<float> scores = golden_scores();
    std::vector<float> back, fwd, posts;
    compute_back_guides(scores.data(), back, 2, 4, 2.0f);
    compute_fwd_guides(scores.data(), fwd, 2, 4, 2.0f);
    compute_posts(scores.data(), fwd, back, posts, 2, 4);
    EXPECT_EQ(back, golden_back);
    EXPECT_EQ(fwd, golden_fwd);
    EXPECT_EQ(posts, golden_posts);
}

TEST(Guides, OneBlockFollowsTheScoreLayout) {
    const int n = 16;
    const std::vector<float> scores = random_scores(1, n, 7);
    std::vector<float> back, fwd;
    compute_back_guides(scores.data(), back, 1, n, 0.0f);
    compute_fwd_guides(scores.data(), fwd, 1, n, 0.0f);
    // Forward: the five scores into d, at 5d .. 5d + 4.
    for (int d = 0; d < n; ++d) {
        EXPECT_EQ(fwd[n + d], log_sum_exp(&scores[5 * d], 5, 1)) << d;
    }
    // Backward from CG (6): its stay at 30, and its steps to GA, GC, GG, GT dropping C.
    const float out_of_6[5] = {scores[30], scores[42], scores[47], scores[52], scores[57]};
    EXPECT_EQ(back[6], log_sum_exp(out_of_6, 5, 1));
}

TEST(Guides, ZeroBlocksAndZeroScores) {
    std::vector<float> back = {9.0f, 9.0f}, fwd(100, 9.0f);
    compute_back_guides(nullptr, back, 0, 16, 2.0f);
    compute_fwd_guides(nullptr, fwd, 0, 16, 2.0f);
    EXPECT_EQ(back, std::vector<float>(16, 0.0f));  // extended, stale values gone
    EXPECT_EQ(fwd, std::vector<float>(16, 0.0f));   // cut

    const int blocks = 6;
    const std::vector<float> zeros(size_t(blocks) * 5 * 64, 0.0f);
    compute_back_guides(zeros.data(), back, blocks, 64, 2.0f);
    compute_fwd_guides(zeros.data(), fwd, blocks, 64, 2.0f);
    for (int r = 0; r <= blocks; ++r) {
        for (int s = 0; s < 64; s += 9) {
            EXPECT_NEAR(fwd[r * 64 + s], r * ln5, 1e-5f);
            EXPECT_NEAR(back[r * 64 + s], (blocks - r) * ln5, 1e-5f);
        }
    }

    std::vector<float> empty = {1.0f, 2.0f};
    compute_back_guides(nullptr, empty, 3, 0, 2.0f);
    EXPECT_TRUE(empty.empty());
}

TEST(Guides, TotalWeightIsTheSameAtEveryBoundary) {
    const int n = 64, blocks = 12;
    const std::vector<float> scores = random_scores(blocks, n, 11);
    std::vector<float> back, fwd;
    compute_back_guides(scores.data(), back, blocks, n, 2.0f);
    compute_fwd_guides(scores.data(), fwd, blocks, n, -5.0f);
    const float total = log_sum_over_states(&fwd[0], &back[0], n);
    for (int r = 1; r <= blocks; ++r) {
        EXPECT_NEAR(log_sum_over_states(&fwd[r * n], &back[r * n], n), total, 1e-4f * total);
    }
}

TEST(Guides, RefuseBadSizes) {
    std::vector<float> out;
    EXPECT_THROW(compute_back_guides(nullptr, out, -1, 4, 0.0f), std::invalid_argument);
    EXPECT_THROW(compute_fwd_guides(nullptr, out, 1, 8, 0.0f), std::invalid_argument);
    EXPECT_THROW(compute_fwd_guides(nullptr, out, 1 << 20, 4096, 0.0f), std::length_error);
}

TEST(Posts, RowsAreDistributions) {
    const int n = 16, blocks = 5;
    std::vector<float> scores = random_scores(blocks, n, 3);
    std::vector<float> back, fwd, posts;
    compute_back_guides(scores.data(), back, blocks, n, 2.0f);
    compute_fwd_guides(scores.data(), fwd, blocks, n, 2.0f);
    compute_posts(scores.data(), fwd, back, posts, blocks, n);
    ASSERT_EQ(posts.size(), size_t(blocks + 1) * n);
    for (int r = 0; r <= blocks; ++r) {
        const float* row = posts.data() + r * n;
        EXPECT_NEAR(std::accumulate(row, row + n, 0.0f), 1.0f, 1e-5f);
    }

    // A constant added to one block cancels out.
    for (int i = 2 * 5 * n; i < 3 * 5 * n; ++i) {
        scores[i] += 30.0f;
    }
    std::vector<float> shifted;
    compute_back_guides(scores.data(), back, blocks, n, 2.0f);
    compute_fwd_guides(scores.data(), fwd, blocks, n, 2.0f);
    compute_posts(scores.data(), fwd, back, shifted, blocks, n);
    for (size_t i = 0; i < posts.size(); ++i) {
        EXPECT_NEAR(shifted[i], posts[i], 1e-5f);
    }

    std::vector<float> uniform;
    compute_posts(nullptr, std::vector<float>(4, 0.0f), std::vector<float>(4, 0.0f), uniform, 0, 4);
    EXPECT_EQ(uniform, std::vector<float>(4, 0.25f));
}

TEST(Posts, RefusesShortGuides) {
    std::vector<float> posts;
    const std::vector<float> short_guides(31), guides(32);
    EXPECT_THROW(compute_posts(nullptr, short_guides, guides, posts, 1, 16), std::invalid_argument);
    EXPECT_THROW(compute_posts(nullptr, guides, short_guides, posts, 1, 16), std::invalid_argument);
}
