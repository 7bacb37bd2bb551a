#include "chunk_decoding.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <tuple>

#include "stable_guides.h"

namespace chunk_decoding {

namespace {

const char* const too_large =
    ": the scores are too large for single precision, even with the guides renormalised per block";

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

void require_finite(float value, const char* name) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(name) + " must be a finite number, not " +
                                    number(value) + ".");
    }
}

// The sum of a row of posteriors, eight lanes at a time (SSE2, which every x86-64 processor has),
// so that it runs at the speed of the loads; single precision is ample against
// posterior_row_tolerance.
float row_sum(const float* values, int count) {
    __m128 low = _mm_setzero_ps();
    __m128 high = _mm_setzero_ps();
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        low = _mm_add_ps(low, _mm_loadu_ps(values + i));
        high = _mm_add_ps(high, _mm_loadu_ps(values + i + 4));
    }
    alignas(16) float lanes[4];
    _mm_store_ps(lanes, _mm_add_ps(low, high));
    float sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    for (; i < count; ++i) {
        sum += values[i];
    }
    return sum;
}

// Why row `row` of posteriors, at `values`, cannot be trusted.
InvalidValues unnormalised(const float* values, int64_t row, int num_states,
                           const std::string& cause) {
    const float total = row_sum(values, num_states);
    const std::string sum = std::isnan(total) ? "NaN" : number(double(total));
    return InvalidValues{"posts", row, "sum to " + sum + ", not 1" + cause};
}

size_t guide_size(int num_blocks, int num_states) {
    return size_t(num_blocks + 1) * size_t(num_states);
}

// The search over stable guides: over scores shifted by the best path's gain per block, in
// windows (see search_window).
Read search_stable(const float* scores, std::vector<float>& back_guides, const float* posts,
                   int num_blocks, int num_states, const DecodeOptions& options) {
    const size_t width = size_t(num_states) * (num_bases + 1);
    std::vector<float> shifted(size_t(num_blocks) * width);
    compute_best_path_shifted(scores, shifted.data(), num_blocks, num_states);
    // A guide of -inf (no way on to the end) meets the -FLT_MAX that a merge leaves its loser
    // with, and -FLT_MAX - -inf is +inf: kept without a cut, such a candidate would win. A finite
    // guide far below every other keeps the search's arithmetic finite and the candidate last.
    std::replace(back_guides.begin(), back_guides.end(), -std::numeric_limits<float>::infinity(),
                 -FLT_MAX / 2);
    std::vector<Read> windows;
    for (const int start : window_starts(num_blocks)) {
        const int length = std::min(search_window, num_blocks - start);
        const size_t row = size_t(start) * size_t(num_states);
        windows.push_back(search(shifted.data() + size_t(start) * width, back_guides.data() + row,
                                 posts + row, length, num_states, options));
    }
    return join_windows(windows, search_window_overlap);
}

}  // namespace

void serial_for(int64_t begin, int64_t end, int64_t /*grain*/,
                const std::function<void(int64_t, int64_t)>& body) {
    if (begin < end) {
        body(begin, end);
    }
}

void check_beam_size(int64_t beam_size) {
    if (beam_size < 1 || uint64_t(beam_size) > max_decoder_beam_width) {
        throw std::invalid_argument("beam_size must be between 1 and " +
                                    std::to_string(max_decoder_beam_width) + ", not " +
                                    std::to_string(beam_size) + ".");
    }
}

void check_options(const DecodeOptions& options) {
    check_beam_size(int64_t(std::min<size_t>(options.beam_size, INT64_MAX)));
    require_finite(options.beam_cut, "beam_cut");
    if (!std::isfinite(options.temperature) || options.temperature < 0.0f) {
        throw std::invalid_argument("temperature must be a finite number of at least 0, not " +
                                    number(options.temperature) + ".");
    }
    require_finite(options.q_shift, "q_shift");
    require_finite(options.q_scale, "q_scale");
}

std::optional<InvalidValues> first_unusable_block(const float* scores, int num_blocks,
                                                  int num_states) {
    const size_t width = size_t(num_states) * (num_bases + 1);
    const float infinity = std::numeric_limits<float>::infinity();
    for (int block = 0; block < num_blocks; ++block) {
        const float* row = scores + size_t(block) * width;
        bool all_negative_infinity = true;
        for (size_t i = 0; i < width; ++i) {
            if (std::isnan(row[i])) {
                return InvalidValues{"scores", block, "hold NaN"};
            }
            if (row[i] == infinity) {
                return InvalidValues{"scores", block, "hold +inf"};
            }
            all_negative_infinity = all_negative_infinity && row[i] == -infinity;
        }
        if (all_negative_infinity) {
            return InvalidValues{"scores", block, "are all -inf, so no path crosses the block"};
        }
    }
    return std::nullopt;
}

std::optional<InvalidValues> first_unusable_guide(const float* guides, int64_t rows,
                                                  int num_states) {
    const float infinity = std::numeric_limits<float>::infinity();
    for (int64_t row = 0; row < rows; ++row) {
        const float* first = guides + row * num_states;
        bool all_negative_infinity = true;
        for (int s = 0; s < num_states; ++s) {
            if (std::isnan(first[s]) || first[s] == infinity) {
                return InvalidValues{"back_guides", row,
                                     std::isnan(first[s]) ? "hold NaN" : "hold +inf"};
            }
            all_negative_infinity = all_negative_infinity && first[s] == -infinity;
        }
        if (all_negative_infinity) {
            return InvalidValues{"back_guides", row,
                                 "are all -inf: no path of finite scores runs through the chunk"};
        }
    }
    return std::nullopt;
}

bool normalised(const float* posts, int count) {
    return std::fabs(row_sum(posts, count) - 1.0f) <= float(posterior_row_tolerance);
}

std::optional<InvalidValues> first_unnormalised_row(const float* posts, int64_t rows,
                                                    int num_states, const std::string& cause) {
    for (int64_t row = 0; row < rows; ++row) {
        if (!normalised(posts + row * num_states, num_states)) {
            return unnormalised(posts + row * num_states, row, num_states, cause);
        }
    }
    return std::nullopt;
}

int64_t compute_guides_and_posts(const float* scores, float* back_guides, float* posts,
                                 int num_blocks, int num_states, const ParallelFor& parallel,
                                 bool check, GuideForm form) {
    std::vector<float> fwd_guides(guide_size(num_blocks, num_states));
    // The shifts only matter for the total weight, which decoding never needs.
    std::vector<float> back_shifts, fwd_shifts;
    if (form == GuideForm::stable) {
        back_shifts.resize(size_t(num_blocks) + 1);
        fwd_shifts.resize(size_t(num_blocks) + 1);
    }
    parallel(0, 2, 1, [&](int64_t begin, int64_t end) {
        for (int64_t which = begin; which < end; ++which) {
            if (form == GuideForm::specified) {
                if (which == 0) {
                    compute_back_guides(scores, back_guides, num_blocks, num_states);
                } else {
                    compute_fwd_guides(scores, fwd_guides.data(), num_blocks, num_states);
                }
            } else if (which == 0) {
                compute_stable_back_guides(scores, back_guides, back_shifts.data(), num_blocks,
                                           num_states);
            } else {
                compute_stable_fwd_guides(scores, fwd_guides.data(), fwd_shifts.data(), num_blocks,
                                          num_states);
            }
        }
    });
    // Rows are normalised independently, so they split between the threads with the same bits.
    const size_t row = size_t(num_states);
    const int64_t rows = int64_t(num_blocks) + 1;
    const int64_t rows_in_cache = 16;
    std::atomic<int64_t> first_unnormalised{rows};
    parallel(0, rows, 256, [&](int64_t begin, int64_t end) {
        for (int64_t first = begin; first < end; first += rows_in_cache) {
            const int64_t stop = std::min(end, first + rows_in_cache);
            compute_posts(fwd_guides.data() + size_t(first) * row,
                          back_guides + size_t(first) * row, posts + size_t(first) * row,
                          int(stop - first - 1), num_states);
            for (int64_t r = first; check && r < stop; ++r) {
                if (!normalised(posts + size_t(r) * row, num_states)) {
                    int64_t known = first_unnormalised.load();
                    while (r < known && !first_unnormalised.compare_exchange_weak(known, r)) {
                    }
                    break;
                }
            }
        }
    });
    return first_unnormalised.load() < rows ? first_unnormalised.load() : -1;
}

DecodingGuides decoding_guides_and_posts(const float* scores, float* back_guides, float* posts,
                                         int num_blocks, int num_states,
                                         const ParallelFor& parallel) {
    if (num_blocks <= exact_blocks &&
        compute_guides_and_posts(scores, back_guides, posts, num_blocks, num_states, parallel,
                                 true) < 0) {
        return {GuideForm::specified, -1};
    }
    return {GuideForm::stable,
            compute_guides_and_posts(scores, back_guides, posts, num_blocks, num_states, parallel,
                                     true, GuideForm::stable)};
}

std::optional<InvalidValues> first_block_without_finite_path(const float* scores, int num_blocks,
                                                             int num_states) {
    std::vector<float> fwd_guides(guide_size(num_blocks, num_states));
    std::vector<float> shifts(size_t(num_blocks) + 1);
    compute_stable_fwd_guides(scores, fwd_guides.data(), shifts.data(), num_blocks, num_states);
    const float negative_infinity = -std::numeric_limits<float>::infinity();
    for (int block = 0; block < num_blocks; ++block) {
        const float* row = fwd_guides.data() + size_t(block + 1) * size_t(num_states);  // after it
        if (std::all_of(row, row + num_states, [&](float g) { return g == negative_infinity; })) {
            return InvalidValues{"scores", block,
                                 "leave no path of finite scores: every path through the chunk "
                                 "up to this block crosses a -inf score or sums below the "
                                 "range of single precision"};
        }
    }
    return std::nullopt;
}

template <typename T, typename P>
Read search(const T* scores, const T* back_guides, const P* posts, int num_blocks, int num_states,
            const DecodeOptions& options) {
    Read read;
    std::vector<int> states;
    std::vector<float> qual_data(size_t(num_blocks) * num_bases);
    beam_search(scores, back_guides, posts, size_t(num_states), size_t(num_blocks),
                options.beam_size, options.beam_cut, 2.0f, states, read.moves, qual_data,
                options.temperature);
    std::tie(read.sequence, read.quality) =
        generate_sequence(read.moves, states, qual_data, options.q_shift, options.q_scale);
    return read;
}

CheckedRead decode_scores(const float* scores, int num_blocks, int num_states,
                          const DecodeOptions& options, bool check, const ParallelFor& parallel) {
    std::vector<float> back_guides(guide_size(num_blocks, num_states));
    std::vector<float> posts(back_guides.size());
    const DecodingGuides guides = decoding_guides_and_posts(
        scores, back_guides.data(), posts.data(), num_blocks, num_states, parallel);
    if (check && guides.unnormalised_row >= 0) {
        if (auto block = first_unusable_block(scores, num_blocks, num_states)) {
            return {{}, block};
        }
        if (auto block = first_block_without_finite_path(scores, num_blocks, num_states)) {
            return {{}, block};
        }
        return {{},
                unnormalised(posts.data() + size_t(guides.unnormalised_row) * size_t(num_states),
                             guides.unnormalised_row, num_states, too_large)};
    }
    if (guides.form == GuideForm::stable) {
        return {search_stable(scores, back_guides, posts.data(), num_blocks, num_states, options),
                std::nullopt};
    }
    return {search(scores, back_guides.data(), posts.data(), num_blocks, num_states, options),
            std::nullopt};
}

std::string unnormalised_cause(const float* scores, int num_blocks, int num_states,
                               const ParallelFor& parallel) {
    std::vector<float> back_guides(guide_size(num_blocks, num_states));
    std::vector<float> posts(back_guides.size());
    const DecodingGuides guides = decoding_guides_and_posts(
        scores, back_guides.data(), posts.data(), num_blocks, num_states, parallel);
    if (guides.unnormalised_row < 0) {
        const std::string computed_here =
            guides.form == GuideForm::stable && num_blocks > exact_blocks
                ? ": at " + std::to_string(num_blocks) +
                      " blocks the chunk is too long for unnormalised guides in single precision"
                : ": posteriors computed here from these scores sum to 1";
        return computed_here +
               "; leave them out to have them computed here, renormalised per block";
    }
    if (auto block = first_unusable_block(scores, num_blocks, num_states)) {
        return ": the scores at block " + std::to_string(block->row) + " " + block->problem;
    }
    if (auto block = first_block_without_finite_path(scores, num_blocks, num_states)) {
        return ": the scores up to block " + std::to_string(block->row) +
               " leave no path of finite scores";
    }
    return too_large;
}

std::vector<int> window_starts(int num_blocks) {
    std::vector<int> starts{0};
    while (starts.back() + search_window < num_blocks) {
        starts.push_back(starts.back() + search_window - search_window_overlap);
    }
    return starts;
}

Read join_windows(const std::vector<Read>& windows, int overlap) {
    Read joined;
    for (size_t i = 0; i < windows.size(); ++i) {
        const Read& window = windows[i];
        const size_t blocks = window.moves.size();
        const size_t start = i > 0 ? size_t(overlap / 2) : 0;
        const size_t end = i + 1 < windows.size() ? blocks - size_t((overlap + 1) / 2) : blocks;
        if (end < start || end > blocks) {
            throw std::invalid_argument("join_windows: a window is shorter than the overlap.");
        }
        const auto first = window.moves.begin();
        const size_t first_base = size_t(std::count(first, first + long(start), uint8_t(1)));
        const size_t bases = size_t(std::count(first + long(start), first + long(end), uint8_t(1)));
        joined.sequence.append(window.sequence, first_base, bases);
        joined.quality.append(window.quality, first_base, bases);
        joined.moves.insert(joined.moves.end(), first + long(start), first + long(end));
    }
    return joined;
}

template Read search(const float*, const float*, const float*, int, int, const DecodeOptions&);
template Read search(const float*, const float*, const int8_t*, int, int, const DecodeOptions&);
template Read search(const int8_t*, const int8_t*, const int8_t*, int, int, const DecodeOptions&);

}  // namespace chunk_decoding
