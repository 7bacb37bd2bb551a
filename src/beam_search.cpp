#include "beam_search.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>

#include "crf_kernels.h"

namespace {

constexpr float log_one = 0.0f;  // log of weight 1: every path starts and ends with it

}  // namespace

size_t guide_array_size(int num_timesteps, int num_states) {
    if (num_timesteps < 0 || num_states < 0) {
        throw std::invalid_argument("CRF sizes must not be negative.");
    }
    check_crf_size(num_timesteps, num_states);
    if (num_states != 0 && !is_kmer_state_count(size_t(num_states))) {
        throw std::invalid_argument(
            "Unexpected number of transition states in beam search decode.");
    }
    return size_t(num_timesteps + 1) * size_t(num_states);
}

namespace {

constexpr CrfKernels scalar_kernels = {"scalar",
                                       0,
                                       back_guides_scalar,
                                       fwd_guides_scalar,
                                       posts_scalar,
                                       stable_back_guides_scalar,
                                       stable_fwd_guides_scalar,
                                       stable_fwd_guides_from_scalar,
                                       best_path_shifted_scalar,
                                       edge_posts_scalar,
                                       scores_within_scalar};
constexpr CrfKernels avx2_kernels = {"avx2",
                                     16,
                                     back_guides_avx2,
                                     fwd_guides_avx2,
                                     posts_avx2,
                                     stable_back_guides_avx2,
                                     stable_fwd_guides_avx2,
                                     stable_fwd_guides_from_avx2,
                                     best_path_shifted_avx2,
                                     edge_posts_avx2,
                                     scores_within_avx2};
constexpr CrfKernels avx512_kernels = {"avx512",
                                       16,
                                       back_guides_avx512,
                                       fwd_guides_avx512,
                                       posts_avx512,
                                       stable_back_guides_avx512,
                                       stable_fwd_guides_avx512,
                                       stable_fwd_guides_from_avx512,
                                       best_path_shifted_avx512,
                                       edge_posts_avx512,
                                       scores_within_avx512};

const CrfKernels* fastest_exact_kernels() {
    if (exact_avx512_available()) {
        return &avx512_kernels;
    }
    return exact_avx2_available() ? &avx2_kernels : nullptr;
}

}  // namespace

const CrfKernels& crf_kernels_for(int num_states) {
    // Fastest first; a form joins this table once it reproduces the scalar bits.
    static const CrfKernels* const usable = fastest_exact_kernels();
    if (usable != nullptr && num_states >= usable->min_states) {
        return *usable;
    }
    return scalar_kernels;
}

int get_num_states(size_t num_trans_states) {
    if (num_trans_states % (num_bases + 1) != 0 ||
        !is_kmer_state_count(num_trans_states / (num_bases + 1))) {
        throw std::runtime_error("Unexpected number of transition states in beam search decode.");
    }
    return int(num_trans_states / (num_bases + 1));
}

void check_crf_size(int64_t num_blocks, int64_t num_states) {
    const int64_t max_entries = INT32_MAX;
    // Divisions instead of products, so that the check itself cannot overflow.
    bool too_large = num_blocks > max_entries - 1;  // num_blocks + 1 must fit in an int
    if (num_states > 0) {
        too_large = too_large || num_blocks > max_entries / (num_states * (num_bases + 1)) ||
                    num_blocks + 1 > max_entries / num_states;
    }
    if (too_large) {
        throw std::length_error("Score matrix too large: " + std::to_string(num_blocks) +
                                " blocks of " + std::to_string(num_states) +
                                " states need arrays of 2^31 entries or more.");
    }
}

float log_sum_exp(float x, float y, float t) {
    const float abs_diff = std::fabs(x - y) / t;
    const float m = fmaxf(x, y);
    if (abs_diff < 17.0f) {
        return log1pf(expf(-abs_diff)) * t + m;
    }
    return m;
}

float max_element(const float* s, size_t count, size_t stride) {
    float max_val = s[0];
    for (size_t i = 1; i < count; ++i) {
        const float v = s[i * stride];
        if (max_val < v) {
            max_val = v;
        }
    }
    return max_val;
}

float log_sum_exp(const float* s, size_t count, size_t stride) {
    const float max_val = max_element(s, count, stride);
    float res = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        res += expf(s[i * stride] - max_val);
    }
    return logf(res) + max_val;
}

void softmax(const float* inputs, size_t count, float* outputs) {
    const float log_sum_exp_inputs = log_sum_exp(inputs, count, 1);
    for (size_t i = 0; i < count; ++i) {
        outputs[i] = expf(inputs[i] - log_sum_exp_inputs);
    }
}

void back_guides_scalar(const float* scores, float* back_guides, int num_timesteps,
                        int num_states) {
    const size_t row = size_t(num_states);
    const size_t num_transitions = row * (num_bases + 1);

    float* last_timestep_guides = back_guides + size_t(num_timesteps) * row;
    std::fill(last_timestep_guides, last_timestep_guides + row, log_one);

    for (int timestep = num_timesteps - 1; timestep >= 0; --timestep) {
        const float* next_timestep_guides = back_guides + size_t(timestep + 1) * row;
        float* this_timestep_guides = back_guides + size_t(timestep) * row;
        const float* timestep_scores = scores + size_t(timestep) * num_transitions;
        for (int state = 0; state < num_states; ++state) {
            float accumulator[num_bases + 1];
            const int stay_state_idx = state;
            const int stay_trans_idx = state * (num_bases + 1);
            accumulator[0] = timestep_scores[stay_trans_idx] + next_timestep_guides[stay_state_idx];
            const int step_state_idx_a = (state * num_bases) % num_states;
            const int step_trans_idx_a =
                step_state_idx_a * (num_bases + 1) + 1 + (state * num_bases) / num_states;
            for (int base = 0; base < num_bases; ++base) {
                accumulator[1 + base] = timestep_scores[step_trans_idx_a + (num_bases + 1) * base] +
                                        next_timestep_guides[step_state_idx_a + base];
            }
            this_timestep_guides[state] = log_sum_exp(accumulator, num_bases + 1, 1);
        }
    }
}

void fwd_guides_scalar(const float* scores, float* fwd_guides, int num_timesteps, int num_states) {
    const size_t row = size_t(num_states);
    const size_t num_transitions = row * (num_bases + 1);
    const int msb = num_states / num_bases;

    std::fill(fwd_guides, fwd_guides + row, log_one);

    for (int timestep = 0; timestep < num_timesteps; ++timestep) {
        const float* last_timestep_guides = fwd_guides + size_t(timestep) * row;
        float* this_timestep_guides = fwd_guides + size_t(timestep + 1) * row;
        const float* timestep_scores = scores + size_t(timestep) * num_transitions;
        for (int state = 0; state < num_states; ++state) {
            float accumulator[num_bases + 1];
            const int stay_state_idx = state;
            const int stay_trans_idx = state * (num_bases + 1);
            accumulator[0] = timestep_scores[stay_trans_idx] + last_timestep_guides[stay_state_idx];
            const int step_state_idx_a = state / num_bases;
            const int step_trans_idx_a = state * (num_bases + 1) + 1;
            for (int base = 0; base < num_bases; ++base) {
                accumulator[1 + base] = timestep_scores[step_trans_idx_a + base] +
                                        last_timestep_guides[step_state_idx_a + base * msb];
            }
            this_timestep_guides[state] = log_sum_exp(accumulator, num_bases + 1, 1);
        }
    }
}

void posts_scalar(const float* fwd_guides, const float* back_guides, float* posts,
                  int num_timesteps, int num_states) {
    const size_t row = size_t(num_states);
    for (size_t timestep = 0; timestep <= size_t(num_timesteps); ++timestep) {
        const float* from_states = fwd_guides + timestep * row;
        const float* to_states = back_guides + timestep * row;
        float* timestep_posts = posts + timestep * row;
        for (size_t state_idx = 0; state_idx < row; ++state_idx) {
            timestep_posts[state_idx] = from_states[state_idx] + to_states[state_idx];
        }
        softmax(timestep_posts, row, timestep_posts);
    }
}

void compute_back_guides(const float* scores, float* back_guides, int num_timesteps,
                         int num_states) {
    guide_array_size(num_timesteps, num_states);
    if (num_states > 0) {
        crf_kernels_for(num_states).back_guides(scores, back_guides, num_timesteps, num_states);
    }
}

void compute_fwd_guides(const float* scores, float* fwd_guides, int num_timesteps, int num_states) {
    guide_array_size(num_timesteps, num_states);
    if (num_states > 0) {
        crf_kernels_for(num_states).fwd_guides(scores, fwd_guides, num_timesteps, num_states);
    }
}

void compute_posts(const float* fwd_guides, const float* back_guides, float* posts,
                   int num_timesteps, int num_states) {
    guide_array_size(num_timesteps, num_states);
    if (num_states > 0) {  // with no states there is nothing to compute (nor a row to normalise)
        crf_kernels_for(num_states)
            .posts(fwd_guides, back_guides, posts, num_timesteps, num_states);
    }
}

void compute_back_guides(const float* scores, std::vector<float>& back_guides, int num_timesteps,
                         int num_states, float /*fixed_stay_score*/) {
    back_guides.resize(guide_array_size(num_timesteps, num_states));
    compute_back_guides(scores, back_guides.data(), num_timesteps, num_states);
}

void compute_fwd_guides(const float* scores, std::vector<float>& fwd_guides, int num_timesteps,
                        int num_states, float /*fixed_stay_score*/) {
    fwd_guides.resize(guide_array_size(num_timesteps, num_states));
    compute_fwd_guides(scores, fwd_guides.data(), num_timesteps, num_states);
}

void compute_posts(const float* /*scores*/, const std::vector<float>& fwd_guides,
                   const std::vector<float>& back_guides, std::vector<float>& posts,
                   int num_timesteps, int num_states) {
    const size_t size = guide_array_size(num_timesteps, num_states);
    if (fwd_guides.size() < size || back_guides.size() < size) {
        throw std::invalid_argument("compute_posts: guide arrays shorter than the posteriors.");
    }
    posts.resize(size);
    compute_posts(fwd_guides.data(), back_guides.data(), posts.data(), num_timesteps, num_states);
}

bool score_sort(const BeamFrontElement& a, const BeamFrontElement& b) { return a.score > b.score; }

void trace_back(const std::vector<BeamElement>& beam_vector, size_t num_blocks,
                size_t max_beam_width, std::vector<int>& states, std::vector<uint8_t>& moves) {
    moves.resize(num_blocks);
    states.resize(num_blocks);
    uint8_t element_index = 0;
    for (size_t beam_idx = num_blocks; beam_idx >= 1; --beam_idx) {
        const BeamElement& element = beam_vector[beam_idx * max_beam_width + element_index];
        states[beam_idx - 1] = element.state;
        moves[beam_idx - 1] = element.stay ? 0 : 1;
        element_index = element.prev_element_index;
    }
    if (num_blocks > 0) {
        moves[0] = 1;  // the first block always counts as emitting its base
    }
}

namespace {

float posterior(float p) { return p; }
float posterior(int8_t q) { return (float(q) + 128.0f) / 255.0f; }

template <typename P>
void grade_blocks(const P* posts, size_t num_states, size_t num_blocks, std::vector<int>& states,
                  std::vector<float>& qual_data) {
    if (qual_data.size() < num_blocks * num_bases) {
        qual_data.resize(num_blocks * num_bases);
    }
    const int n = int(num_states);
    const int hp_states[num_bases] = {0, (n - 1) / 3, 2 * ((n - 1) / 3), n - 1};
    const int msb = n / num_bases;
    for (size_t block = 0; block < num_blocks; ++block) {
        const int state = states[block];
        states[block] = state % num_bases;
        const int base_to_emit = state % num_bases;
        const P* timestep_posts = posts + (block + 1) * num_states;
        const bool is_hp =
            std::find(hp_states, hp_states + num_bases, state) != hp_states + num_bases;

        // A homopolymer is one of its own left and right shifts: start negative to count it once.
        const float centre = posterior(timestep_posts[state]);
        float block_prob = is_hp ? -centre : centre;
        const int l_shift_idx = state / num_bases;
        for (int shift_base = 0; shift_base < num_bases; ++shift_base) {
            block_prob += posterior(timestep_posts[l_shift_idx + shift_base * msb]);
        }
        const int r_shift_idx = (state * num_bases) % n;
        for (int shift_base = 0; shift_base < num_bases; ++shift_base) {
            block_prob += posterior(timestep_posts[r_shift_idx + shift_base]);
        }

        if (block_prob < 0.0f) {
            block_prob = 0.0f;
        }
        if (1.0f < block_prob) {
            block_prob = 1.0f;
        }
        block_prob = powf(block_prob, 0.4f);
        const float wrong_base_prob = (1.0f - block_prob) / 3.0f;
        for (int base = 0; base < num_bases; ++base) {
            qual_data[block * num_bases + base] =
                base == base_to_emit ? block_prob : wrong_base_prob;
        }
    }
}

}  // namespace

void compute_block_quality(const float* posts, size_t num_states, size_t num_blocks,
                           std::vector<int>& states, std::vector<float>& qual_data) {
    grade_blocks(posts, num_states, num_blocks, states, qual_data);
}

void compute_block_quality(const int8_t* posts, size_t num_states, size_t num_blocks,
                           std::vector<int>& states, std::vector<float>& qual_data) {
    grade_blocks(posts, num_states, num_blocks, states, qual_data);
}

std::tuple<std::string, std::string> generate_sequence(const std::vector<unsigned char>& moves,
                                                       const std::vector<int>& states,
                                                       const std::vector<float>& qual_data,
                                                       float shift, float scale) {
    const size_t num_blocks = moves.size();
    if (num_blocks > 0 && moves[0] != 1) {
        throw std::invalid_argument("generate_sequence: the first move must be 1.");
    }
    if (states.size() < num_blocks || qual_data.size() < num_blocks * num_bases) {
        throw std::invalid_argument("generate_sequence: states or qual_data shorter than moves.");
    }
    int64_t total_moves = 0;
    for (const unsigned char move : moves) {
        total_moves += move;
    }
    if (total_moves > INT32_MAX) {
        throw std::length_error("generate_sequence: 2^31 bases or more.");
    }
    const size_t seqLen = size_t(total_moves);

    size_t seqPos = 0;
    std::string sequence(seqLen, 'N');
    std::string qstring(seqLen, '!');
    const std::vector<char> alphabet = {'A', 'C', 'G', 'T'};
    std::vector<float> baseProbs(seqLen, 0.0f);
    std::vector<float> totalProbs(seqLen, 0.0f);

    for (size_t blk = 0; blk < num_blocks; ++blk) {
        const int state = states[blk];
        const int move = moves[blk];
        const int base = state & 3;
        // A block's probabilities feed the last base it places, or the last one before it.
        const int offset = (blk == 0) ? 0 : move - 1;
        const int probPos = int(seqPos) + offset;
        baseProbs[probPos] += qual_data[blk * num_bases + base];
        for (int k = 0; k < num_bases; ++k) {
            totalProbs[probPos] += qual_data[blk * num_bases + k];
        }
        const int placed = (blk == 0) ? 1 : move;
        for (int j = 0; j < placed; ++j) {
            sequence[seqPos++] = char(base);
        }
    }

    for (size_t i = 0; i < seqLen; ++i) {
        sequence[i] = alphabet[size_t(sequence[i])];
        baseProbs[i] = 1.0f - baseProbs[i] / totalProbs[i];
        baseProbs[i] = -10.0f * log10f(baseProbs[i]);
        float qscore = baseProbs[i] * scale + shift;
        // Written so that NaN takes the upper bound.
        if (!(qscore < 90.0f)) {
            qscore = 90.0f;
        }
        if (!(1.0f < qscore)) {
            qscore = 1.0f;
        }
        qstring[i] = char(int(qscore + 33.5f));
    }
    return std::make_tuple(std::move(sequence), std::move(qstring));
}

namespace {

void merge_pair(BeamFrontElement& stay_elem, BeamFrontElement& step_elem, float temperature) {
    const float merged = log_sum_exp(stay_elem.score, step_elem.score, temperature);
    if (stay_elem.score > step_elem.score) {
        stay_elem.score = merged;
        step_elem.score = -FLT_MAX;
    } else {
        step_elem.score = merged;
        stay_elem.score = -FLT_MAX;
    }
}

size_t bucket_of(uint64_t hash, const std::vector<int32_t>& buckets) {
    return size_t(hash) & (buckets.size() - 1);  // the hashes are well mixed
}

}  // namespace

void merge_equal_paths_scan(BeamFrontElement* candidates, size_t w, float temperature) {
    for (size_t prev_elem_idx = 0; prev_elem_idx < w; ++prev_elem_idx) {
        BeamFrontElement& stay_elem = candidates[num_bases * w + prev_elem_idx];
        const int stay_latest_base = stay_elem.state % num_bases;
        for (size_t prev_elem_comp_idx = 0; prev_elem_comp_idx < w; ++prev_elem_comp_idx) {
            BeamFrontElement& step_elem =
                candidates[prev_elem_comp_idx * num_bases + stay_latest_base];
            if (stay_elem.hash == step_elem.hash) {
                merge_pair(stay_elem, step_elem, temperature);
            }
        }
    }
}

void prepare_merge_table(size_t max_beam_width, std::vector<int32_t>& buckets,
                         std::vector<int32_t>& chain) {
    size_t size = 16;
    while (size < 2 * num_bases * max_beam_width) {
        size *= 2;
    }
    buckets.assign(size, -1);
    chain.assign(num_bases * max_beam_width, -1);
}

void merge_equal_paths_hashed(BeamFrontElement* candidates, size_t w, float temperature,
                              std::vector<int32_t>& buckets, std::vector<int32_t>& chain) {
    const size_t num_steps = num_bases * w;
    // Chains in ascending candidate order: insert from the last step to the first.
    for (size_t i = num_steps; i-- > 0;) {
        int32_t& head = buckets[bucket_of(candidates[i].hash, buckets)];
        chain[i] = head;
        head = int32_t(i);
    }
    for (size_t prev_elem_idx = 0; prev_elem_idx < w; ++prev_elem_idx) {
        BeamFrontElement& stay_elem = candidates[num_steps + prev_elem_idx];
        const int stay_latest_base = stay_elem.state % num_bases;
        for (int32_t i = buckets[bucket_of(stay_elem.hash, buckets)]; i >= 0;
             i = chain[size_t(i)]) {
            BeamFrontElement& step_elem = candidates[i];
            if (i % num_bases == stay_latest_base && step_elem.hash == stay_elem.hash) {
                merge_pair(stay_elem, step_elem, temperature);
            }
        }
    }
    for (size_t i = 0; i < num_steps; ++i) {
        buckets[bucket_of(candidates[i].hash, buckets)] = -1;
    }
}

// The guided beam search, in steps: the first front, the expansion of each path by its four steps
// and its stay, the merging of candidates that emit the same bases, the cut-off, and the
// compaction and storage of the kept front.
namespace beam_search_detail {

namespace {

constexpr uint64_t hash_seed = fasthash_multiplier;  // every path's hash starts from it

state_t generate_stay_index(state_t state, int num_bases) {
    return state_t(state * (num_bases + 1));
}

// Position of the score of the step from previous_state into new_state.
state_t generate_move_index(state_t previous_state, state_t new_state, int num_bases,
                            size_t num_states) {
    return state_t(new_state * (num_bases + 1) + 1 +
                   size_t(previous_state * num_bases) / num_states);
}

size_t get_elem_count(const BeamFrontElement* beam_front, size_t count, float beam_score) {
    size_t elem_count = 0;
    for (size_t i = 0; i < count; ++i) {
        if (beam_front[i].score >= beam_score) {
            ++elem_count;
        }
    }
    return elem_count;
}

// What stays the same through one search (not the caller's options: the cut is already a log).
struct SearchFrame {
    size_t num_states;
    size_t max_beam_width;
    float log_beam_cut;  // candidates this far below the best guided score are dropped
    float temperature;   // softens merges
};

void check_search(size_t num_states, size_t num_blocks, size_t max_beam_width) {
    if (max_beam_width > max_decoder_beam_width) {
        throw std::range_error("Beamsearch max_beam_width cannot be greater than 256.");
    }
    if (max_beam_width == 0) {
        throw std::range_error("Beamsearch max_beam_width must be at least 1.");
    }
    if (!is_kmer_state_count(num_states) || num_states > max_decoder_states) {
        throw std::range_error("Beamsearch can decode 4, 16, 64, 256, 1024 or 4096 states, not " +
                               std::to_string(num_states) + ".");
    }
    if (num_blocks >= std::numeric_limits<size_t>::max() / max_beam_width) {
        throw std::length_error("Beamsearch num_blocks too large.");
    }
}

// The candidates of one block from the front of w paths: every path steps to each of the four
// bases (candidate 4p + base for parent slot p), then stays in its state (candidate 4w + p). Each
// score is the path score plus the transition plus the guide of the state reached.
template <typename T>
void expand_candidates(const BeamFrontElement* front, size_t w, const T* block_scores,
                       const T* block_back_scores, size_t num_states,
                       BeamFrontElement* candidates) {
    size_t new_elem_count = 0;
    for (size_t prev_elem_idx = 0; prev_elem_idx < w; ++prev_elem_idx) {
        const BeamFrontElement& previous_element = front[prev_elem_idx];
        const state_t previous_state = previous_element.state;
        for (int new_base = 0; new_base < num_bases; ++new_base) {
            const state_t new_state =
                state_t(size_t(previous_state * num_bases) % num_states + size_t(new_base));
            const state_t move_idx =
                generate_move_index(previous_state, new_state, num_bases, num_states);
            const float new_score = float(block_scores[move_idx]) + previous_element.score +
                                    float(block_back_scores[new_state]);
            const uint64_t new_hash = chainfasthash64(previous_element.hash, uint64_t(new_state));
            candidates[new_elem_count++] = {new_hash, new_score, new_state, uint8_t(prev_elem_idx),
                                            false};
        }
    }
    for (size_t prev_elem_idx = 0; prev_elem_idx < w; ++prev_elem_idx) {
        const BeamFrontElement& previous_element = front[prev_elem_idx];
        const state_t stay_idx = generate_stay_index(previous_element.state, num_bases);
        const float stay_score = float(block_scores[stay_idx]) + previous_element.score +
                                 float(block_back_scores[previous_element.state]);
        candidates[num_bases * w + prev_elem_idx] = {previous_element.hash, stay_score,
                                                     previous_element.state, uint8_t(prev_elem_idx),
                                                     true};
    }
}

// The cut-off of a block's `count` candidates: the guided score a candidate must reach to be kept.
// When more than max_beam_width candidates lie within log_beam_cut of the best, the cut-off is
// bisected towards keeping 80 to 100 % of the width; the compaction keeps at most the width.
float cut_off(const BeamFrontElement* candidates, size_t count, const SearchFrame& frame) {
    const int MAX_GUESSES = 10;
    const size_t max_beam_width = frame.max_beam_width;
    const size_t min_beam_width = (8 * max_beam_width) / 10;
    float max_score = -FLT_MAX;
    for (size_t i = 0; i < count; ++i) {
        if (candidates[i].score > max_score) {
            max_score = candidates[i].score;
        }
    }
    float beam_cutoff_score = max_score - frame.log_beam_cut;
    size_t elem_count = get_elem_count(candidates, count, beam_cutoff_score);
    if (elem_count <= max_beam_width) {
        return beam_cutoff_score;
    }
    float low_score = beam_cutoff_score;
    float hi_score = max_score;
    int num_guesses = 1;
    while ((elem_count > max_beam_width || elem_count < min_beam_width) &&
           num_guesses < MAX_GUESSES) {
        if (elem_count > max_beam_width) {
            low_score = beam_cutoff_score;
            beam_cutoff_score = (beam_cutoff_score + hi_score) * 0.5f;
        } else {
            hi_score = beam_cutoff_score;
            beam_cutoff_score = (beam_cutoff_score + low_score) * 0.5f;
        }
        elem_count = get_elem_count(candidates, count, beam_cutoff_score);
        ++num_guesses;
    }
    // Unsettled: keep those at or above the last cut-off that kept too few.
    return num_guesses == MAX_GUESSES ? hi_score : beam_cutoff_score;
}

// Copies the candidates that reach the cut-off into the front, in candidate order, at most
// max_beam_width of them; returns how many.
size_t compact(const BeamFrontElement* candidates, size_t count, float beam_cutoff_score,
               size_t max_beam_width, BeamFrontElement* front) {
    size_t write_idx = 0;
    for (size_t read_idx = 0; read_idx < count; ++read_idx) {
        if (candidates[read_idx].score >= beam_cutoff_score && write_idx < max_beam_width) {
            front[write_idx++] = candidates[read_idx];
        }
    }
    return write_idx;
}

// Takes the guide back out of the kept front's scores and stores the front as the block's row of
// traceback records.
template <typename T>
void store_front(BeamFrontElement* front, size_t count, const T* block_back_scores,
                 BeamElement* row) {
    for (size_t i = 0; i < count; ++i) {
        BeamFrontElement& element = front[i];
        element.score -= float(block_back_scores[element.state]);
        row[i] = {element.state, element.prev_element_index, element.stay};
    }
}

// The merging of equal paths, in the form that is faster at this width.
void merge_equal_paths(BeamFrontElement* candidates, size_t w, float temperature,
                       std::vector<int32_t>& buckets, std::vector<int32_t>& chain) {
    if (w <= merge_scan_max_width) {
        merge_equal_paths_scan(candidates, w, temperature);
    } else {
        merge_equal_paths_hashed(candidates, w, temperature, buckets, chain);
    }
}

}  // namespace

template <typename T>
size_t start_beam_front(const T* guides, size_t num_states, size_t max_beam_width,
                        BeamFrontElement* front) {
    T beam_init_threshold = std::numeric_limits<T>::lowest();
    if (num_states > max_beam_width) {
        std::vector<T> sorted_back_guides;
        sorted_back_guides.reserve(num_states);
        for (size_t state = 0; state < num_states; ++state) {
            if (guides[state] == guides[state]) {  // NaN would break the selection's ordering
                sorted_back_guides.push_back(guides[state]);
            }
        }
        if (sorted_back_guides.size() > max_beam_width) {
            std::nth_element(sorted_back_guides.begin(),
                             sorted_back_guides.begin() + (max_beam_width - 1),
                             sorted_back_guides.end(), std::greater<T>());
            beam_init_threshold = sorted_back_guides[max_beam_width - 1];
        }
    }
    size_t num_above = 0;
    for (size_t state = 0; state < num_states; ++state) {
        num_above += guides[state] > beam_init_threshold;
    }
    size_t room_for_ties = max_beam_width - num_above;
    size_t beam_element = 0;
    for (size_t state = 0; state < num_states && beam_element < max_beam_width; ++state) {
        if (guides[state] > beam_init_threshold) {
            // always starts
        } else if (guides[state] == beam_init_threshold && room_for_ties > 0) {
            --room_for_ties;
        } else {
            continue;
        }
        front[beam_element++] = {chainfasthash64(hash_seed, state), 0.0f, state_t(state), 0, false};
    }
    return beam_element;
}

template <typename T>
float search_best_path(const T* const scores, const T* const back_guide, size_t num_states,
                       size_t num_blocks, size_t max_beam_width, float beam_cut,
                       std::vector<int>& states, std::vector<uint8_t>& moves, float temperature) {
    check_search(num_states, num_blocks, max_beam_width);
    const SearchFrame frame{num_states, max_beam_width,
                            beam_cut > 0.0f ? logf(beam_cut) * temperature : FLT_MAX, temperature};
    const size_t num_transitions = num_states * (num_bases + 1);
    std::vector<BeamElement> beam_vector((num_blocks + 1) * max_beam_width);
    std::vector<BeamFrontElement> candidates(max_beam_width * (num_bases + 1));
    std::vector<BeamFrontElement> front(max_beam_width * (num_bases + 1));
    std::vector<int32_t> merge_buckets, merge_chain;
    if (max_beam_width > merge_scan_max_width) {
        prepare_merge_table(max_beam_width, merge_buckets, merge_chain);
    }

    size_t width = start_beam_front(back_guide, num_states, max_beam_width, front.data());
    for (size_t element_idx = 0; element_idx < width; ++element_idx) {
        beam_vector[element_idx] = {front[element_idx].state, 0, false};
    }
    for (size_t block_idx = 0; block_idx < num_blocks; ++block_idx) {
        const T* const block_back_scores = back_guide + (block_idx + 1) * num_states;
        expand_candidates(front.data(), width, scores + block_idx * num_transitions,
                          block_back_scores, num_states, candidates.data());
        const size_t count = (num_bases + 1) * width;
        merge_equal_paths(candidates.data(), width, temperature, merge_buckets, merge_chain);
        const float beam_cutoff_score = cut_off(candidates.data(), count, frame);
        width = compact(candidates.data(), count, beam_cutoff_score, max_beam_width, front.data());
        if (block_idx == num_blocks - 1) {
            merge_sort(front.data(), width, 1, score_sort);  // the best final path to slot 0
        }
        store_front(front.data(), width, block_back_scores,
                    beam_vector.data() + (block_idx + 1) * max_beam_width);
    }
    const float final_score = front[0].score;
    trace_back(beam_vector, num_blocks, max_beam_width, states, moves);
    return final_score;
}

template float search_best_path(const float*, const float*, size_t, size_t, size_t, float,
                                std::vector<int>&, std::vector<uint8_t>&, float);
template float search_best_path(const signed char*, const signed char*, size_t, size_t, size_t,
                                float, std::vector<int>&, std::vector<uint8_t>&, float);
template size_t start_beam_front(const float*, size_t, size_t, BeamFrontElement*);
template size_t start_beam_front(const signed char*, size_t, size_t, BeamFrontElement*);

}  // namespace beam_search_detail
