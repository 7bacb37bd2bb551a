// CRF scoring and beam-search decoding over k-mer states.
//
// States are k-mers over "ACGT" (A = 0, C = 1, G = 2, T = 3) packed two bits per base, newest base
// in the low bits, so num_states = 4^k. A step from state s appending base n leads to
// ((s * 4) mod num_states) + n; a stay keeps the state.
//
// A score matrix has one row per block of 5 * num_states scores, grouped by destination state d:
//   row[5d]          the stay in d
//   row[5d + 1 + b]  the step into d from b * (num_states / 4) + d / 4, the source whose oldest
//   base
//                    is b (b = 0 .. 3), emitting d mod 4.
// Guide and posterior arrays have (num_blocks + 1) rows of num_states floats, one per block
// boundary.
//
// All score arithmetic is single precision with the C maths library's expf, logf and log1pf, summed
// in index order, so results are reproducible bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

constexpr int num_bases = 4;

// True for the state counts the k-mer encoding allows: 4^k for k = 1 .. 15.
constexpr bool is_kmer_state_count(size_t num_states) {
    return num_states >= 4 && num_states <= (size_t(1) << 30) &&
           (num_states & (num_states - 1)) == 0 && (num_states & 0x55555555u) != 0;
}

// Number of states for a score row of `num_trans_states` entries. Throws std::runtime_error unless
// the width is 5 * 4^k: any other width would make the recursions read outside a row.
int get_num_states(size_t num_trans_states);

// Throws std::length_error when a score matrix of `num_blocks` rows over `num_states` states, or
// its guide arrays, would hold 2^31 entries or more: the CRF routines index them with 32-bit
// integers.
void check_crf_size(int64_t num_blocks, int64_t num_states);

// Tempered log-add: t * log(e^(x/t) + e^(y/t)), computed as log1pf(expf(-|x - y| / t)) * t + max,
// or just the max when |x - y| / t is 17 or more or not a number.
float log_sum_exp(float x, float y, float t);

// Kernels of the recursions, over s[0], s[stride], ..., s[(count - 1) * stride]; count >= 1.
float max_element(const float* s, size_t count, size_t stride);
float log_sum_exp(const float* s, size_t count, size_t stride);  // log of the sum of the exps
// outputs[i] = expf(inputs[i] - log_sum_exp(inputs)); outputs may be inputs.
void softmax(const float* inputs, size_t count, float* outputs);

// Backward guides (natural log, unnormalised): row num_timesteps is all 0 and, for t below it,
//   back_guides[t][s] = log_sum_exp(stay score of s + back_guides[t + 1][s],
//                                   score of the step out of s appending b + back_guides[t +
//                                   1][s'])
// over b = A, C, G, T, in that slot order. `scores` holds num_timesteps rows of 5 * num_states.
// `back_guides` is resized to (num_timesteps + 1) * num_states and fully overwritten.
// fixed_stay_score is accepted for compatibility and does not change the result.
void compute_back_guides(const float* scores, std::vector<float>& back_guides, int num_timesteps,
                         int num_states, float fixed_stay_score);

// Forward guides: row 0 is all 0 and
//   fwd_guides[t + 1][d] = log_sum_exp(stay score of d + fwd_guides[t][d],
//                                      score of the step into d dropping b + fwd_guides[t][source
//                                      b])
// over b = A, C, G, T. Sizes and the unused fixed_stay_score as for compute_back_guides.
void compute_fwd_guides(const float* scores, std::vector<float>& fwd_guides, int num_timesteps,
                        int num_states, float fixed_stay_score);

// Posterior probability of every state at every boundary: each row is the softmax of
// fwd_guides + back_guides. `scores` is not read. Throws std::invalid_argument if either guide
// array is shorter than (num_timesteps + 1) * num_states.
void compute_posts(const float* scores, const std::vector<float>& fwd_guides,
                   const std::vector<float>& back_guides, std::vector<float>& posts,
                   int num_timesteps, int num_states);
