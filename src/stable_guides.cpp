#include "stable_guides.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "beam_search.h"
#include "crf_kernels.h"

namespace {

constexpr float negative_infinity = -std::numeric_limits<float>::infinity();

// log_sum_exp of five slots, -inf when all are -inf.
float masked_log_sum_exp5(const float* slots) {
    if (max_element(slots, num_bases + 1, 1) == negative_infinity) {
        return negative_infinity;
    }
    return log_sum_exp(slots, num_bases + 1, 1);
}

void finish_row(float* row, float* row_shifts, int index, int num_states) {
    if (row_shifts != nullptr) {
        row_shifts[index] = shift_row_scalar(row, num_states);
    }
}

}  // namespace

float shift_row_scalar(float* row, int count) {
    float shift = max_element(row, size_t(count), 1);
    if (!std::isfinite(shift) || shift == 0.0f) {
        return 0.0f;
    }
    for (int i = 0; i < count; ++i) {
        row[i] -= shift;
    }
    return shift;
}

void stable_back_guides_scalar(const float* scores, float* back_guides, float* row_shifts,
                               int num_timesteps, int num_states) {
    const size_t row = size_t(num_states);
    const size_t num_transitions = row * (num_bases + 1);
    std::fill(back_guides + size_t(num_timesteps) * row,
              back_guides + size_t(num_timesteps + 1) * row, 0.0f);
    if (row_shifts != nullptr) {
        row_shifts[num_timesteps] = 0.0f;
    }
    for (int timestep = num_timesteps - 1; timestep >= 0; --timestep) {
        const float* next_timestep_guides = back_guides + size_t(timestep + 1) * row;
        float* this_timestep_guides = back_guides + size_t(timestep) * row;
        const float* timestep_scores = scores + size_t(timestep) * num_transitions;
        for (int state = 0; state < num_states; ++state) {
            float accumulator[num_bases + 1];
            accumulator[0] = timestep_scores[state * (num_bases + 1)] + next_timestep_guides[state];
            const int step_state_idx_a = (state * num_bases) % num_states;
            const int step_trans_idx_a =
                step_state_idx_a * (num_bases + 1) + 1 + (state * num_bases) / num_states;
            for (int base = 0; base < num_bases; ++base) {
                accumulator[1 + base] = timestep_scores[step_trans_idx_a + (num_bases + 1) * base] +
                                        next_timestep_guides[step_state_idx_a + base];
            }
            this_timestep_guides[state] = masked_log_sum_exp5(accumulator);
        }
        finish_row(this_timestep_guides, row_shifts, timestep, num_states);
    }
}

void stable_fwd_guides_scalar(const float* scores, float* fwd_guides, float* row_shifts,
                              int num_timesteps, int num_states) {
    std::fill(fwd_guides, fwd_guides + size_t(num_states), 0.0f);
    if (row_shifts != nullptr) {
        row_shifts[0] = 0.0f;
    }
    stable_fwd_guides_from_scalar(scores, fwd_guides, row_shifts, num_timesteps, num_states);
}

void stable_fwd_guides_from_scalar(const float* scores, float* fwd_guides, float* row_shifts,
                                   int num_timesteps, int num_states) {
    const size_t row = size_t(num_states);
    const size_t num_transitions = row * (num_bases + 1);
    const int msb = num_states / num_bases;
    for (int timestep = 0; timestep < num_timesteps; ++timestep) {
        const float* last_timestep_guides = fwd_guides + size_t(timestep) * row;
        float* this_timestep_guides = fwd_guides + size_t(timestep + 1) * row;
        const float* timestep_scores = scores + size_t(timestep) * num_transitions;
        for (int state = 0; state < num_states; ++state) {
            float accumulator[num_bases + 1];
            accumulator[0] = timestep_scores[state * (num_bases + 1)] + last_timestep_guides[state];
            for (int base = 0; base < num_bases; ++base) {
                accumulator[1 + base] = timestep_scores[state * (num_bases + 1) + 1 + base] +
                                        last_timestep_guides[state / num_bases + base * msb];
            }
            this_timestep_guides[state] = masked_log_sum_exp5(accumulator);
        }
        finish_row(this_timestep_guides, row_shifts, timestep + 1, num_states);
    }
}

void best_path_shifted_scalar(const float* scores, float* shifted, int num_timesteps,
                              int num_states) {
    const size_t row = size_t(num_states);
    const int msb = num_states / num_bases;
    std::vector<float> before(row, 0.0f), after(row);
    for (int timestep = 0; timestep < num_timesteps; ++timestep) {
        const float* timestep_scores = scores + size_t(timestep) * row * (num_bases + 1);
        for (int state = 0; state < num_states; ++state) {
            float best = timestep_scores[state * (num_bases + 1)] + before[size_t(state)];
            for (int base = 0; base < num_bases; ++base) {
                const float step = timestep_scores[state * (num_bases + 1) + 1 + base] +
                                   before[size_t(state / num_bases + base * msb)];
                if (best < step) {
                    best = step;
                }
            }
            after[size_t(state)] = best;
        }
        const float shift = shift_row_scalar(after.data(), num_states);
        float* out = shifted + size_t(timestep) * row * (num_bases + 1);
        for (size_t i = 0; i < row * (num_bases + 1); ++i) {
            out[i] = timestep_scores[i] - shift;
        }
        before.swap(after);
    }
}

void compute_best_path_shifted(const float* scores, float* shifted, int num_blocks,
                               int num_states) {
    guide_array_size(num_blocks, num_states);
    if (num_states > 0) {
        crf_kernels_for(num_states).best_path_shifted(scores, shifted, num_blocks, num_states);
    }
}

void compute_stable_back_guides(const float* scores, float* back_guides, float* row_shifts,
                                int num_blocks, int num_states) {
    guide_array_size(num_blocks, num_states);
    if (num_states > 0) {
        crf_kernels_for(num_states)
            .stable_back_guides(scores, back_guides, row_shifts, num_blocks, num_states);
    }
}

void compute_stable_fwd_guides(const float* scores, float* fwd_guides, float* row_shifts,
                               int num_blocks, int num_states) {
    guide_array_size(num_blocks, num_states);
    if (num_states > 0) {
        crf_kernels_for(num_states)
            .stable_fwd_guides(scores, fwd_guides, row_shifts, num_blocks, num_states);
    }
}
