// Decoding chunks of scores into reads, as the tensor module does it: the parameters of a search
// and their ranges, the checks that decide whether a chunk's values can be decoded, guides and
// posteriors computed on the caller's threads (in a form that keeps its precision for long chunks
// and masked transitions), and the whole decode of a score matrix. No Python and no torch: the C++
// tests and the fuzzer call it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "beam_search.h"

namespace chunk_decoding {

// Runs body(begin, end) over pieces of [begin, end), each of at least `grain` items unless the
// range is shorter, possibly at once on several threads; the pieces must be independent.
using ParallelFor = std::function<void(int64_t begin, int64_t end, int64_t grain,
                                       const std::function<void(int64_t, int64_t)>& body)>;

// The whole range as one piece on the calling thread.
void serial_for(int64_t begin, int64_t end, int64_t grain,
                const std::function<void(int64_t, int64_t)>& body);

// The parameters of a guided search and of the quality strings.
struct DecodeOptions {
    size_t beam_size = 5;
    float beam_cut = 100.0f;
    float temperature = 1.0f;
    float q_shift = 0.0f;
    float q_scale = 1.0f;
};

// Throws std::invalid_argument naming the first parameter out of its range: beam_size outside
// 1 .. max_decoder_beam_width, a beam_cut, q_shift or q_scale that is NaN or infinite, or a
// temperature that is not a finite number of at least 0 (0 is the plain maximum).
void check_options(const DecodeOptions& options);
// The first of those checks, for a width that may be negative.
void check_beam_size(int64_t beam_size);

// A decoded read: bases over "ACGT", a FASTQ quality string, one move per block.
struct Read {
    std::string sequence, quality;
    std::vector<uint8_t> moves;
};

// Why a chunk's values cannot be decoded: `what` ("scores", "back_guides" or "posts") holds
// `problem` at `row` (a block of the scores, a boundary of the guides and posteriors).
struct InvalidValues {
    std::string what;
    int64_t row;
    std::string problem;
};

// A read, or why the chunk's values cannot be decoded.
struct CheckedRead {
    Read read;
    std::optional<InvalidValues> invalid;
};

// Rows of posteriors whose sum is further than this from 1 cannot be trusted. Honest rows stay
// closer: rounding the log of the total weight moves a row's sum by about that log times 2^-24
// (2e-3 for a 10,000-block chunk of scores of spread 2 over unnormalised guides).
constexpr double posterior_row_tolerance = 1e-2;

// Which recursions give the guides: the specified ones, with the bits of the `tovrel` module, or
// the stable ones of stable_guides.h, renormalised per row and defined for masked transitions.
enum class GuideForm { specified, stable };

// Chunks of up to this many blocks decode over the specified guides, with the bits of the
// `tovrel` module, whenever their posteriors pass the row check. Longer chunks, whose
// unnormalised guides lose precision in silence, and chunks whose specified posteriors fail the
// check (a masked transition's NaN, large scores) decode over the stable guides.
constexpr int exact_blocks = 10000;

// The first block whose scores hold NaN or +inf, or are all -inf (no path crosses it).
std::optional<InvalidValues> first_unusable_block(const float* scores, int num_blocks,
                                                  int num_states);
// The first boundary whose guides hold NaN or +inf, or are all -inf (no path goes on from it).
std::optional<InvalidValues> first_unusable_guide(const float* guides, int64_t rows,
                                                  int num_states);
// True when `count` posteriors sum to 1 within posterior_row_tolerance.
bool normalised(const float* posts, int count);
// The first of `rows` rows of posteriors whose sum is not within posterior_row_tolerance of 1,
// described with `cause` appended to its sum.
std::optional<InvalidValues> first_unnormalised_row(const float* posts, int64_t rows,
                                                    int num_states, const std::string& cause);

// Backward guides and posteriors of num_blocks rows of scores, into arrays of (num_blocks + 1) *
// num_states, in the given form. The backward and forward recursions run as two pieces of
// `parallel`, and the rows of posteriors as further pieces, with the same bits however they are
// run. With `check`, each row of posteriors is summed while it is still in cache: returns the
// first row that does not sum to 1, or -1.
int64_t compute_guides_and_posts(const float* scores, float* back_guides, float* posts,
                                 int num_blocks, int num_states, const ParallelFor& parallel,
                                 bool check, GuideForm form = GuideForm::specified);

// What decoding_guides_and_posts computed: the form of the guides, and the first row of
// posteriors that fails the row check even in the stable form, or -1.
struct DecodingGuides {
    GuideForm form;
    int64_t unnormalised_row;
};

// The backward guides and posteriors that decode_scores searches over: the specified form up to
// exact_blocks blocks when its posteriors pass the row check, else the stable form (searched over
// scores shifted by compute_best_path_shifted, whose path scores keep their precision).
DecodingGuides decoding_guides_and_posts(const float* scores, float* back_guides, float* posts,
                                         int num_blocks, int num_states,
                                         const ParallelFor& parallel);

// Over stable guides the search runs in windows of search_window blocks, each starting
// search_window_overlap blocks before the previous one ends, joined as a basecaller joins
// overlapping chunks: the merged path scores a search carries still drift with the number of
// blocks it has run, and a window bounds that drift whatever the chunk's length. The guides are
// the whole chunk's, so each window's search still sees the whole future of the chunk.
constexpr int search_window = 10000;
constexpr int search_window_overlap = 1000;

// The start of every search window of a chunk of num_blocks blocks (one window if it is not
// longer than search_window).
std::vector<int> window_starts(int num_blocks);

// Joins reads decoded from overlapping windows of one chunk, each starting `overlap` blocks
// before the previous one ends: the earlier keeps its blocks up to ceil(overlap / 2) before its
// end and the later its blocks from floor(overlap / 2) on; a base belongs to the block whose move
// emitted it.
Read join_windows(const std::vector<Read>& windows, int overlap);

// The first block after which no path of finite scores goes on (every path to its end crosses
// a -inf score), or nothing when one runs through the whole chunk.
std::optional<InvalidValues> first_block_without_finite_path(const float* scores, int num_blocks,
                                                             int num_states);

// The guided search and the strings, from float or 8-bit scores and guides and float or 8-bit
// posteriors (8-bit posteriors are converted as they are read). Options are not checked here.
template <typename T, typename P>
Read search(const T* scores, const T* back_guides, const P* posts, int num_blocks, int num_states,
            const DecodeOptions& options);

// Guides, posteriors (decoding_guides_and_posts) and the guided search of num_blocks rows of
// float scores. With `check`, a chunk whose posteriors do not sum to 1 even over the stable guides
// is not searched: it gives the first block of NaN, +inf or all -inf scores, else the first block
// that no finite path crosses, else the first row that fails (scores too large for single
// precision).
CheckedRead decode_scores(const float* scores, int num_blocks, int num_states,
                          const DecodeOptions& options, bool check, const ParallelFor& parallel);

// Why stored posteriors of these scores fail the row check, measured on the scores: posteriors
// computed here would pass (too long a chunk for unnormalised guides, or posteriors that are not
// these scores'), or the cause decode_scores would give.
std::string unnormalised_cause(const float* scores, int num_blocks, int num_states,
                               const ParallelFor& parallel);

extern template Read search(const float*, const float*, const float*, int, int,
                            const DecodeOptions&);
extern template Read search(const float*, const float*, const int8_t*, int, int,
                            const DecodeOptions&);
extern template Read search(const int8_t*, const int8_t*, const int8_t*, int, int,
                            const DecodeOptions&);

}  // namespace chunk_decoding
