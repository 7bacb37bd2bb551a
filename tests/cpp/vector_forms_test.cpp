// The vector recursions (AVX2, AVX-512) against the scalar ones, bit for bit, on random scores
// with special values.
#include "vector_forms.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "crf_kernels.h"

namespace {

std::vector<float> scores_with_specials(int blocks, int num_states, unsigned seed, float special) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, 4.0f);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              FLT_MAX,
                              -FLT_MAX,
                              FLT_TRUE_MIN,
                              -0.0f,
                              90.0f,
                              -95.0f};
    std::vector<float> scores(size_t(blocks) * 5 * num_states);
    for (float& s : scores) {
        s = uniform(rng) < special ? specials[rng() % 9] : normal(rng);
    }
    return scores;
}

// Same bits, or NaN in both: the compiler may swap the operands of an addition, which changes
// which of two NaN operands (and so which sign) a NaN result carries, in scalar code as well.
void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    ASSERT_EQ(a.size(), b.size());
    size_t differing = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const bool both_nan = std::isnan(a[i]) && std::isnan(b[i]);
        differing += !both_nan && std::memcmp(&a[i], &b[i], sizeof(float)) != 0;
    }
    EXPECT_EQ(differing, 0u);
}

}  // namespace

TEST(VectorRecursions, SameBitsAsScalar) {
    if (!exact_avx2_available()) {
        GTEST_SKIP() << "no AVX2 with FMA, or a C library whose expf differs";
    }
    for (const VectorForm* form : exact_vector_forms()) {
        SCOPED_TRACE(form->name);
        unsigned seed = 1;
        for (int k = 2; k <= 6; ++k) {
            const int n = 1 << (2 * k);
            for (float special : {0.0f, 0.001f, 0.05f, 0.5f}) {
                const int blocks = k <= 4 ? 20 : 3;
                const std::vector<float> scores = scores_with_specials(blocks, n, seed++, special);
                const size_t size = size_t(blocks + 1) * n;
                std::vector<float> back(size), back_v(size), fwd(size), fwd_v(size), posts(size),
                    posts_v(size);
                back_guides_scalar(scores.data(), back.data(), blocks, n);
                form->back_guides(scores.data(), back_v.data(), blocks, n);
                fwd_guides_scalar(scores.data(), fwd.data(), blocks, n);
                form->fwd_guides(scores.data(), fwd_v.data(), blocks, n);
                posts_scalar(fwd.data(), back.data(), posts.data(), blocks, n);
                form->posts(fwd.data(), back.data(), posts_v.data(), blocks, n);
                SCOPED_TRACE("k " + std::to_string(k) + ", special share " +
                             std::to_string(special));
                expect_same_bits(back, back_v);
                expect_same_bits(fwd, fwd_v);
                expect_same_bits(posts, posts_v);
            }
        }
    }
}

TEST(VectorRecursions, PosteriorRowsWithNanAndZerosFirst) {
    if (!exact_avx2_available()) {
        GTEST_SKIP() << "no AVX2 with FMA, or a C library whose expf differs";
    }
    const int n = 16;
    std::vector<float> fwd(2 * n, 0.0f), back(2 * n, 0.0f);
    fwd[0] = std::numeric_limits<float>::quiet_NaN();  // a NaN first entry poisons its row
    fwd[n + 3] = std::numeric_limits<float>::quiet_NaN();
    fwd[n] = -0.0f;
    back[n + 9] = -std::numeric_limits<float>::infinity();
    std::vector<float> posts(2 * n), posts_v(2 * n);
    posts_scalar(fwd.data(), back.data(), posts.data(), 1, n);
    for (const VectorForm* form : exact_vector_forms()) {
        SCOPED_TRACE(form->name);
        form->posts(fwd.data(), back.data(), posts_v.data(), 1, n);
        expect_same_bits(posts, posts_v);
    }
}

TEST(VectorRecursions, ScoresWithinAgreesWithScalar) {
    if (!exact_avx2_available()) {
        GTEST_SKIP() << "no AVX2 with FMA, or a C library whose expf differs";
    }
    const float inf = std::numeric_limits<float>::infinity();
    for (const VectorForm* form : exact_vector_forms()) {
        SCOPED_TRACE(form->name);
        const auto scores_within_vector = form->scores_within;
        for (size_t count : {size_t(80), size_t(5120)}) {
            const std::vector<float> plain = scores_with_specials(1, int(count / 5), 7, 0.0f);
            EXPECT_TRUE(scores_within_vector(plain.data(), count, 1e4f));
            for (const float value : {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 2e4f,
                                      -2e4f, 1e4f, -1e4f, 9999.0f}) {
                for (size_t at = 0; at < count; at += at < 40 ? 1 : 37) {
                    std::vector<float> row = plain;
                    row[at] = value;
                    SCOPED_TRACE(std::to_string(value) + " at " + std::to_string(at));
                    EXPECT_EQ(scores_within_vector(row.data(), count, 1e4f),
                              scores_within_scalar(row.data(), count, 1e4f));
                }
            }
            std::vector<float> masked(count, -inf);
            EXPECT_TRUE(scores_within_vector(masked.data(), count, 1e4f));
            masked[count - 1] = -2e4f;  // the largest, far below 0
            EXPECT_FALSE(scores_within_vector(masked.data(), count, 1e4f));
            EXPECT_FALSE(scores_within_scalar(masked.data(), count, 1e4f));
        }
    }
}

// The numerator's log-add of two rows of doubles and its edge weights: terms far apart, near the
// gap of -88 where the smaller one stops counting, equal, signed zeros, -inf, at lengths 1 to 600.
TEST(VectorRecursions, NumeratorRowsAgreeWithScalar) {
    if (!exact_avx2_available()) {
        GTEST_SKIP() << "no AVX2 with FMA, or a C library whose expf differs";
    }
    const double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {-inf,    0.0,    -0.0, -88.0, -87.999999, -88.000001,
                               -1e-300, -700.0, -3.5, 12.25, -1e4};
    std::vector<double> first, second;
    unsigned x = 11;
    for (int i = 0; i < 600; ++i) {
        x = x * 1664525u + 1013904223u;
        const double random = -double(x >> 8) / double(1 << 18);  // 0 to -64
        first.push_back(i % 3 ? random : specials[size_t(i) % std::size(specials)]);
        second.push_back(i % 5 ? random - double(i % 7) * 20.0
                               : specials[size_t(i / 5) % std::size(specials)]);
    }
    for (const VectorForm* form : exact_vector_forms()) {
        SCOPED_TRACE(form->name);
        for (size_t count : {size_t(1), size_t(7), size_t(8), size_t(9), size_t(41), size_t(600)}) {
            std::vector<double> expected(count), got(count);
            log_add_rows_scalar(first.data(), second.data(), expected.data(), count);
            form->log_add_rows(first.data(), second.data(), got.data(), count);
            for (size_t i = 0; i < count; ++i) {
                ASSERT_EQ(std::memcmp(&got[i], &expected[i], sizeof(double)), 0)
                    << "at " << i << " of " << count << ": " << first[i] << ", " << second[i]
                    << " give " << got[i] << " against " << expected[i];
            }
            // The same rows as the log weights of a block's edges, less their largest (0).
            std::vector<float> stays(count), steps(count), stays_too(count), steps_too(count);
            const double sum = edge_weights_scalar(first.data(), second.data(), 0.0, stays.data(),
                                                   steps.data(), count);
            EXPECT_EQ(form->edge_weights(first.data(), second.data(), 0.0, stays_too.data(),
                                         steps_too.data(), count),
                      sum);
            EXPECT_EQ(std::memcmp(stays.data(), stays_too.data(), count * sizeof(float)), 0);
            EXPECT_EQ(std::memcmp(steps.data(), steps_too.data(), count * sizeof(float)), 0);
        }
    }
}

TEST(CrfKernels, OneTableChosenOnce) {
    // Below 16 states only the scalar form applies; above, the widest vector form that is exact.
    EXPECT_STREQ(crf_kernels_for(4).name, "scalar");
    const char* expected = exact_avx512_available() ? "avx512"
                           : exact_avx2_available() ? "avx2"
                                                    : "scalar";
    for (int n : {16, 64, 4096}) {
        EXPECT_STREQ(crf_kernels_for(n).name, expected);
        EXPECT_EQ(&crf_kernels_for(n), &crf_kernels_for(16));  // the same table every time
    }
}
