// The stable guides against a double-precision reference, with masked transitions, and against
// the specified recursions and their AVX2 forms bit for bit.
#include "stable_guides.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "beam_search.h"
#include "crf_kernels.h"
#include "vector_forms.h"

namespace {

constexpr float masked = -std::numeric_limits<float>::infinity();

std::vector<float> scores_with_masks(int blocks, int num_states, float spread, double mask_share,
                                     unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> normal(0.0f, spread);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<float> scores(size_t(blocks) * 5 * num_states);
    for (float& s : scores) {
        s = uniform(rng) < mask_share ? masked : normal(rng);
    }
    return scores;
}

// Forward guides in double, straight from the definition: each destination d sums its stay and
// the steps from the four states whose newer bases are d's older ones.
std::vector<double> reference_fwd(const std::vector<float>& scores, int blocks, int n) {
    std::vector<double> fwd(size_t(blocks + 1) * n, 0.0);
    for (int t = 0; t < blocks; ++t) {
        for (int d = 0; d < n; ++d) {
            double slots[5];
            slots[0] = double(scores[(size_t(t) * n + d) * 5]) + fwd[size_t(t) * n + d];
            for (int b = 0; b < 4; ++b) {
                slots[1 + b] = double(scores[(size_t(t) * n + d) * 5 + 1 + b]) +
                               fwd[size_t(t) * n + d / 4 + b * (n / 4)];
            }
            const double m = *std::max_element(slots, slots + 5);
            double sum = 0.0;
            for (const double s : slots) {
                sum += m == -INFINITY ? 0.0 : std::exp(s - m);
            }
            fwd[size_t(t + 1) * n + d] = m == -INFINITY ? m : m + std::log(sum);
        }
    }
    return fwd;
}

// The largest difference between a stable row and the reference row shifted to its maximum; -inf
// must meet -inf.
double worst_row_error(const std::vector<float>& stable, const std::vector<double>& reference,
                       int rows, int n) {
    double worst = 0.0;
    for (int r = 0; r < rows; ++r) {
        const double* ref = reference.data() + size_t(r) * n;
        const double top = *std::max_element(ref, ref + n);
        for (int s = 0; s < n; ++s) {
            const float value = stable[size_t(r) * n + s];
            if (ref[s] == -INFINITY) {
                EXPECT_EQ(value, masked) << "row " << r << " state " << s;
            } else {
                worst = std::max(worst, std::fabs(double(value) - (ref[s] - top)));
            }
        }
    }
    return worst;
}

}  // namespace

TEST(StableGuides, MatchTheDoubleReferenceWithMaskedTransitionsAtAnyLength) {
    for (const auto& [k, blocks, mask_share] :
         {std::tuple{1, 300, 0.3}, std::tuple{2, 200, 0.1}, std::tuple{3, 100, 0.05},
          std::tuple{1, 50000, 0.0}}) {
        const int n = 1 << (2 * k);
        const std::vector<float> scores = scores_with_masks(blocks, n, 3.0f, mask_share, k);
        std::vector<float> fwd(size_t(blocks + 1) * n), shifts(size_t(blocks) + 1);
        compute_stable_fwd_guides(scores.data(), fwd.data(), shifts.data(), blocks, n);
        SCOPED_TRACE("k " + std::to_string(k) + ", " + std::to_string(blocks) + " blocks");
        EXPECT_LT(worst_row_error(fwd, reference_fwd(scores, blocks, n), blocks + 1, n), 2e-4);
        // The shifts carry the magnitude: their sum plus the last row's log-sum is log Z.
        double log_z = 0.0;
        for (const float shift : shifts) {
            log_z += shift;
        }
        const std::vector<double> reference = reference_fwd(scores, blocks, n);
        const double* last = reference.data() + size_t(blocks) * n;
        double top = *std::max_element(last, last + n), sum = 0.0;
        for (int s = 0; s < n; ++s) {
            sum += std::exp(last[s] - top);
        }
        const float* stable_last = fwd.data() + size_t(blocks) * n;
        EXPECT_NEAR(log_z + double(log_sum_exp(stable_last, size_t(n), 1)), top + std::log(sum),
                    1e-6 * (top + std::log(sum)) + 1e-4);
    }
}

TEST(StableGuides, UnshiftedTheyHaveTheSpecifiedBitsWhereverThoseHoldNoNan) {
    for (const int n : {4, 16, 64}) {
        const int blocks = 60;
        const std::vector<float> scores = scores_with_masks(blocks, n, 4.0f, 0.45, unsigned(n));
        const size_t size = size_t(blocks + 1) * n;
        std::vector<float> back(size), fwd(size), stable_back(size), stable_fwd(size);
        compute_back_guides(scores.data(), back.data(), blocks, n);
        compute_fwd_guides(scores.data(), fwd.data(), blocks, n);
        compute_stable_back_guides(scores.data(), stable_back.data(), nullptr, blocks, n);
        compute_stable_fwd_guides(scores.data(), stable_fwd.data(), nullptr, blocks, n);
        size_t nan = 0, differing = 0;
        for (size_t i = 0; i < size; ++i) {
            for (const auto& [specified, stable] :
                 {std::pair{back[i], stable_back[i]}, std::pair{fwd[i], stable_fwd[i]}}) {
                EXPECT_FALSE(std::isnan(stable));
                if (std::isnan(specified)) {
                    ++nan;
                } else {
                    differing += std::memcmp(&specified, &stable, sizeof specified) != 0;
                }
            }
        }
        EXPECT_GT(nan, 0u) << n;  // the masks do reach the specified recursions' NaN
        EXPECT_EQ(differing, 0u) << n;
    }
}

TEST(StableGuides, VectorFormsGiveTheScalarBits) {
    if (!exact_avx2_available()) {
        GTEST_SKIP() << "no AVX2 with FMA, or a C library whose expf differs";
    }
    for (const VectorForm* form : exact_vector_forms()) {
        SCOPED_TRACE(form->name);
        for (const int n : {16, 64, 1024}) {
            const int blocks = 40;
            const std::vector<float> scores = scores_with_masks(blocks, n, 4.0f, 0.2, unsigned(n));
            const size_t size = size_t(blocks + 1) * n;
            for (const bool shifted : {false, true}) {
                std::vector<float> a(size), b(size), c(size), d(size);
                std::vector<float> sa(blocks + 1), sb(blocks + 1), sc(blocks + 1), sd(blocks + 1);
                stable_back_guides_scalar(scores.data(), a.data(), shifted ? sa.data() : nullptr,
                                          blocks, n);
                form->stable_back_guides(scores.data(), b.data(), shifted ? sb.data() : nullptr,
                                         blocks, n);
                stable_fwd_guides_scalar(scores.data(), c.data(), shifted ? sc.data() : nullptr,
                                         blocks, n);
                form->stable_fwd_guides(scores.data(), d.data(), shifted ? sd.data() : nullptr,
                                        blocks, n);
                EXPECT_EQ(std::memcmp(a.data(), b.data(), size * sizeof(float)), 0) << n;
                EXPECT_EQ(std::memcmp(c.data(), d.data(), size * sizeof(float)), 0) << n;
                EXPECT_EQ(sa, sb);
                EXPECT_EQ(sc, sd);
                if (shifted) {  // the loss's backward pass with its gradient, from these guides
                    std::vector<float> e(scores.size()), f(scores.size());
                    edge_posts_scalar(scores.data(), c.data(), sc.data(), -0.75f, e.data(), blocks,
                                      n);
                    form->edge_posts(scores.data(), c.data(), sc.data(), -0.75f, f.data(), blocks,
                                     n, {});
                    EXPECT_EQ(std::memcmp(e.data(), f.data(), e.size() * sizeof(float)), 0) << n;
                    for (int t = 0; t <= blocks; ++t) {
                        const float* fwd_row = c.data() + size_t(t) * n;
                        const float* back_row = a.data() + size_t(t) * n;
                        const float x = edge_norm_scalar(fwd_row, back_row, sc[t], n);
                        const float y = form->edge_norm(fwd_row, back_row, sc[t], n);
                        EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << n << " " << t;
                    }
                }
            }
            std::vector<float> shifted(scores.size()), shifted_v(scores.size());
            best_path_shifted_scalar(scores.data(), shifted.data(), blocks, n);
            form->best_path_shifted(scores.data(), shifted_v.data(), blocks, n);
            EXPECT_EQ(std::memcmp(shifted.data(), shifted_v.data(), scores.size() * sizeof(float)),
                      0);
        }
    }
}

TEST(StableGuides, BestPathShiftsMoveEveryScoreOfABlockAlike) {
    const int n = 16, blocks = 2000;
    const std::vector<float> scores = scores_with_masks(blocks, n, 3.0f, 0.05, 9);
    std::vector<float> shifted(scores.size());
    compute_best_path_shifted(scores.data(), shifted.data(), blocks, n);
    double best_path = 0.0;  // the best path's shifted score, block by block, stays at 0
    for (int t = 0; t < blocks; ++t) {
        double shift = 0.0;
        for (int i = 0; i < 5 * n; ++i) {
            const float before = scores[size_t(t) * 5 * n + i];
            const float after = shifted[size_t(t) * 5 * n + i];
            if (std::isfinite(before)) {
                shift = double(before) - double(after);
                EXPECT_NEAR(after, before - float(shift), 1e-5f * (1 + std::fabs(before)));
            } else {
                EXPECT_EQ(after, before);
            }
        }
        best_path += shift;
    }
    EXPECT_GT(best_path, 2.0 * blocks);  // the scores' best path gains about 3 a block
}
