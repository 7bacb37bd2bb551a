// CRF scoring and beam-search decoding over k-mer states.
//
// States are k-mers over "ACGT" (A = 0, C = 1, G = 2, T = 3) packed two bits per base, newest base
// in the low bits, so num_states = 4^k. A step from state s appending base n leads to
// ((s * 4) mod num_states) + n; a stay keeps the state.
//
// A score matrix has one row per block of 5 * num_states scores, grouped by destination state d:
//   row[5d]          the stay in d
//   row[5d + 1 + b]  the step into d from b * (num_states / 4) + d / 4, the source whose
//                    oldest base is b (b = 0 .. 3), emitting d mod 4.
// Guide and posterior arrays have (num_blocks + 1) rows of num_states floats, one per block
// boundary.
//
// All score arithmetic is single precision with the C maths library's expf, logf and log1pf,
// summed in index order, so results are reproducible bit for bit.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "fast_hash.h"

constexpr int num_bases = 4;

typedef int16_t state_t;

// The decoder keeps states and transition indices in 16 bits: 5 * 4096 - 1 fits, 5 * 16384
// does not.
constexpr size_t max_decoder_states = 4096;
// A beam record names its parent's slot in 8 bits.
constexpr size_t max_decoder_beam_width = 256;

// The element stored for every block and beam slot, for the traceback.
struct BeamElement {
    state_t state;               // state after this block
    uint8_t prev_element_index;  // slot of the element it extends, in the previous block's row
    bool stay;                   // reached by a stay (no base emitted in this block)
};

// A live candidate path while a block is decoded.
struct BeamFrontElement {
    uint64_t hash;  // chained hash of the states stepped into: equal for paths emitting equal bases
    float score;    // path score; while candidates are compared it also holds their state's guide
    state_t state;
    uint8_t prev_element_index;
    bool stay;
};

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
//   back_guides[t][s] = log_sum_exp(stay of s + back_guides[t + 1][s],
//                                   step out of s appending b + back_guides[t + 1][s'])
// over b = A, C, G, T, in that slot order, s' being the state the step leads to. `scores` holds
// num_timesteps rows of 5 * num_states. `back_guides` is resized to (num_timesteps + 1) *
// num_states and fully overwritten. fixed_stay_score is accepted for compatibility and does not
// change the result.
void compute_back_guides(const float* scores, std::vector<float>& back_guides, int num_timesteps,
                         int num_states, float fixed_stay_score);

// Forward guides: row 0 is all 0 and
//   fwd_guides[t + 1][d] = log_sum_exp(stay in d + fwd_guides[t][d],
//                                      step into d dropping b + fwd_guides[t][source b])
// over b = A, C, G, T. Sizes and the unused fixed_stay_score as for compute_back_guides.
void compute_fwd_guides(const float* scores, std::vector<float>& fwd_guides, int num_timesteps,
                        int num_states, float fixed_stay_score);

// Posterior probability of every state at every boundary: each row is the softmax of
// fwd_guides + back_guides. `scores` is not read. Throws std::invalid_argument if either guide
// array is shorter than (num_timesteps + 1) * num_states.
void compute_posts(const float* scores, const std::vector<float>& fwd_guides,
                   const std::vector<float>& back_guides, std::vector<float>& posts,
                   int num_timesteps, int num_states);

// The same three, writing into caller-provided arrays of (num_timesteps + 1) * num_states floats.
void compute_back_guides(const float* scores, float* back_guides, int num_timesteps,
                         int num_states);
void compute_fwd_guides(const float* scores, float* fwd_guides, int num_timesteps, int num_states);
void compute_posts(const float* fwd_guides, const float* back_guides, float* posts,
                   int num_timesteps, int num_states);

// True when a's score is strictly greater than b's (false for equal scores and for NaN).
bool score_sort(const BeamFrontElement& a, const BeamFrontElement& b);

// Stable bottom-up merge sort of `count` elements that only completes the leading part: positions
// 0 .. min(cutoff, count) - 1 of `data` end up as the first elements of a stable sort by less_func;
// later positions hold leftovers in no defined order.
template <typename T>
void merge_sort(T* data, size_t count, size_t cutoff, bool (*less_func)(const T&, const T&)) {
    std::vector<T> working_buff(count);
    T* source_buff = data;
    T* dest_buff = working_buff.data();
    for (size_t src_block_size = 1; src_block_size < count; src_block_size *= 2) {
        for (size_t start_idx = 0; start_idx < count; start_idx += 2 * src_block_size) {
            const size_t end_merge_idx = std::min(start_idx + 2 * src_block_size, count);
            const size_t end_write_idx = start_idx + std::min(cutoff, end_merge_idx - start_idx);
            const T* first_blk = source_buff + start_idx;
            const T* const second_blk_start =
                source_buff + std::min(start_idx + src_block_size, count);
            const T* second_blk = second_blk_start;
            const T* const second_blk_end = source_buff + end_merge_idx;
            for (T* dest = dest_buff + start_idx; dest != dest_buff + end_write_idx; ++dest) {
                // Taking from the second run only when strictly less keeps the sort stable.
                if (first_blk == second_blk_start ||
                    (second_blk != second_blk_end && less_func(*second_blk, *first_blk))) {
                    *dest = *second_blk++;
                } else {
                    *dest = *first_blk++;
                }
            }
        }
        std::swap(source_buff, dest_buff);
    }
    if (source_buff != data) {
        std::copy(source_buff, source_buff + count, data);
    }
}

// Follows the best final element (slot 0 of the last row) back through the rows of `beam_vector`
// ((num_blocks + 1) rows of max_beam_width) into `states` (the full state after each block) and
// `moves` (1 for a step, 0 for a stay; moves[0] is always 1). Both are resized to num_blocks.
void trace_back(const std::vector<BeamElement>& beam_vector, size_t num_blocks,
                size_t max_beam_width, std::vector<int>& states, std::vector<uint8_t>& moves);

// Grades every block from the posteriors of the boundary after it: sums the posterior of the path's
// state and of the eight states one base behind or ahead of it, clamps to [0, 1], raises it to the
// power 0.4 and writes four per-base probabilities to qual_data[4b .. 4b + 3] (the rest split the
// remainder evenly). Replaces each states[b] by its newest base.
void compute_block_quality(const float* posts, size_t num_states, size_t num_blocks,
                           std::vector<int>& states, std::vector<float>& qual_data);
// The same from 8-bit posteriors, each converted as it is read: q codes (q + 128) / 255, so
// -128 is 0 and 127 is 1 (the single-precision quotient, as a whole-array conversion gives).
void compute_block_quality(const int8_t* posts, size_t num_states, size_t num_blocks,
                           std::vector<int>& states, std::vector<float>& qual_data);

// Merging of candidates that emit the same bases, for a block of w parents: candidates 0 .. 4w - 1
// are the steps (4p + base) and 4w .. 5w - 1 the stays. Each stay, in order, is compared with the
// step of every parent q, in order, that appended the stay's newest base; where the hashes are
// equal, the better of the two takes log_sum_exp of both scores (a tie goes to the step) and the
// other gets -FLT_MAX. The scan makes the w * w comparisons; the hashed form visits only the equal
// hashes, in the same order, with the same results, in time linear in w.
void merge_equal_paths_scan(BeamFrontElement* candidates, size_t w, float temperature);
void merge_equal_paths_hashed(BeamFrontElement* candidates, size_t w, float temperature,
                              std::vector<int32_t>& buckets, std::vector<int32_t>& chain);
// Sizes the hashed form's buckets (all empty) and chain for fronts of up to max_beam_width.
void prepare_merge_table(size_t max_beam_width, std::vector<int32_t>& buckets,
                         std::vector<int32_t>& chain);
// Up to this width the scan is the faster form. (The benchmarks build a copy with the scan at every
// width, to measure what the hashed form saves.)
#ifndef TOVREL_MERGE_SCAN_MAX_WIDTH
#define TOVREL_MERGE_SCAN_MAX_WIDTH 16
#endif
constexpr size_t merge_scan_max_width = TOVREL_MERGE_SCAN_MAX_WIDTH;

// Turns per-block moves, states (newest base in the low two bits) and per-base probabilities into
// the base sequence and a FASTQ quality string: each base's quality pools the probabilities of the
// blocks that placed it or stayed after it, as a Phred value * scale + shift, clamped to [1, 90].
// Throws std::invalid_argument unless moves[0] is 1 (for non-empty moves) and states and qual_data
// cover every block.
std::tuple<std::string, std::string> generate_sequence(const std::vector<unsigned char>& moves,
                                                       const std::vector<int>& states,
                                                       const std::vector<float>& qual_data,
                                                       float shift, float scale);

namespace beam_search_detail {

// The guided search and the traceback of beam_search, without the grading of the blocks: fills
// `states` with the full state after each block and `moves`, and returns the score of the best
// path. Throws std::range_error for a width outside 1 .. 256 or a state count the decoder cannot
// hold, before anything is allocated.
template <typename T>
float search_best_path(const T* scores, const T* back_guide, size_t num_states, size_t num_blocks,
                       size_t max_beam_width, float beam_cut, std::vector<int>& states,
                       std::vector<uint8_t>& moves, float temperature);

// Fills `front` with the states that start the beam and returns how many there are: the
// max_beam_width states with the best guides, in ascending state order. States strictly above
// the max_beam_width-th best guide always start; states tied with it fill the remaining room,
// lowest numbers first. A NaN guide never starts, and a float guide of -infinity starts only
// when fewer than max_beam_width states have a better one.
template <typename T>
size_t start_beam_front(const T* guides, size_t num_states, size_t max_beam_width,
                        BeamFrontElement* front);

// Both are defined in beam_search.cpp, for float and for signed char.
extern template float search_best_path(const float*, const float*, size_t, size_t, size_t, float,
                                       std::vector<int>&, std::vector<uint8_t>&, float);
extern template float search_best_path(const signed char*, const signed char*, size_t, size_t,
                                       size_t, float, std::vector<int>&, std::vector<uint8_t>&,
                                       float);
extern template size_t start_beam_front(const float*, size_t, size_t, BeamFrontElement*);
extern template size_t start_beam_front(const signed char*, size_t, size_t, BeamFrontElement*);

}  // namespace beam_search_detail

// Beam search over k-mer states, steered by the backward guides. Keeps at most max_beam_width
// (1 .. 256) paths per block, merges stays with steps that emit the same bases, cuts candidates
// more than log(beam_cut) * temperature below the best guided score, traces back the best path
// into `states` and `moves` and grades each block into `qual_data` (see compute_block_quality).
// Returns the score of the best path.
//
// T, of the scores and guides, is float or signed char (read as plain values); P, of the
// posteriors, is float, or int8_t for 8-bit codes converted as they are read. `scores`:
// num_blocks rows of 5 * num_states; `back_guide` and `posts`: num_blocks + 1 rows of
// num_states. fixed_stay_score is accepted for compatibility and not used.
template <typename T, typename P = float>
float beam_search(const T* const scores, const T* const back_guide, const P* const posts,
                  size_t num_states, size_t num_blocks, size_t max_beam_width, float beam_cut,
                  float /*fixed_stay_score*/, std::vector<int>& states, std::vector<uint8_t>& moves,
                  std::vector<float>& qual_data, float temperature) {
    const float final_score =
        beam_search_detail::search_best_path(scores, back_guide, num_states, num_blocks,
                                             max_beam_width, beam_cut, states, moves, temperature);
    compute_block_quality(posts, num_states, num_blocks, states, qual_data);
    return final_score;
}
