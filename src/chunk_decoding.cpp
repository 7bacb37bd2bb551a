#include "chunk_decoding.h"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <tuple>

namespace chunk_decoding {

namespace {

const char* const too_large = ": the scores are too large for single precision";

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

const float* block_scores(const float* scores, int block, int num_states) {
    return scores + size_t(block) * size_t(num_states) * (num_bases + 1);
}

int window_length(int start, int num_blocks) { return std::min(window_blocks, num_blocks - start); }

// The chunk decoded window by window, or the first window whose posteriors fail the check, with
// its row counted from the start of the chunk.
CheckedRead decode_windows(const float* scores, int num_blocks, int num_states,
                           const DecodeOptions& options, const ParallelFor& parallel) {
    std::vector<Read> windows;
    for (const int start : window_starts(num_blocks)) {
        CheckedRead window =
            decode_scores(block_scores(scores, start, num_states), window_length(start, num_blocks),
                          num_states, options, true, parallel);
        if (window.invalid) {
            window.invalid->row += start;
            return window;
        }
        windows.push_back(std::move(window.read));
    }
    return {join_windows(windows, window_overlap), std::nullopt};
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
    for (int64_t i = 0; i < rows * num_states; ++i) {
        if (std::isnan(guides[i]) || guides[i] == std::numeric_limits<float>::infinity()) {
            return InvalidValues{"back_guides", i / num_states,
                                 std::isnan(guides[i]) ? "hold NaN" : "hold +inf"};
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
                                 bool check) {
    std::vector<float> fwd_guides(guide_size(num_blocks, num_states));
    parallel(0, 2, 1, [&](int64_t begin, int64_t end) {
        for (int64_t which = begin; which < end; ++which) {
            if (which == 0) {
                compute_back_guides(scores, back_guides, num_blocks, num_states);
            } else {
                compute_fwd_guides(scores, fwd_guides.data(), num_blocks, num_states);
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
    const int64_t unnormalised_row = compute_guides_and_posts(
        scores, back_guides.data(), posts.data(), num_blocks, num_states, parallel, check);
    if (unnormalised_row >= 0) {
        if (auto block = first_unusable_block(scores, num_blocks, num_states)) {
            return {{}, block};
        }
        if (num_blocks > window_blocks) {
            return decode_windows(scores, num_blocks, num_states, options, parallel);
        }
        return {{},
                unnormalised(posts.data() + size_t(unnormalised_row) * size_t(num_states),
                             unnormalised_row, num_states, too_large)};
    }
    return {search(scores, back_guides.data(), posts.data(), num_blocks, num_states, options),
            std::nullopt};
}

std::string unnormalised_cause(const float* scores, int num_blocks, int num_states,
                               const ParallelFor& parallel) {
    if (num_blocks <= window_blocks) {
        return too_large;
    }
    for (const int start : window_starts(num_blocks)) {
        const int length = window_length(start, num_blocks);
        std::vector<float> back_guides(guide_size(length, num_states));
        std::vector<float> posts(back_guides.size());
        if (compute_guides_and_posts(block_scores(scores, start, num_states), back_guides.data(),
                                     posts.data(), length, num_states, parallel, true) >= 0) {
            return too_large;
        }
    }
    return ": at " + std::to_string(num_blocks) +
           " blocks the chunk is too long for posteriors in single precision; leave them out to "
           "have them computed here in windows of " +
           std::to_string(window_blocks) + " blocks";
}

std::vector<int> window_starts(int num_blocks) {
    std::vector<int> starts{0};
    while (starts.back() + window_blocks < num_blocks) {
        starts.push_back(starts.back() + window_blocks - window_overlap);
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
