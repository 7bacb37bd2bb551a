// Coverage-guided fuzz target over the numeric core: guides, posteriors, the beam search in both
// instantiations, the traceback and the string assembly, with arbitrary values (NaN, infinities,
// subnormals, huge magnitudes) and parameters, checking the invariants every result must keep.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "beam_search.h"
#include "chunk_decoding.h"
#include "chunk_rule.h"
#include "crf_kernels.h"
#include "decoding.h"
#include "fast_hash.h"
#include "stable_guides.h"

#define FUZZ_CHECK(condition)                                                                 \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "fuzz check failed at line %d: %s\n", __LINE__, #condition); \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

namespace {

// The fuzzer's bytes, read front to back; once they run out, a generator seeded from them goes on,
// so that large problems need not come byte by byte.
struct Input {
    const uint8_t* data;
    size_t size;
    uint64_t generator;
};

uint8_t take_byte(Input& in) {
    if (in.size > 0) {
        --in.size;
        return *in.data++;
    }
    in.generator ^= in.generator << 13;
    in.generator ^= in.generator >> 7;
    in.generator ^= in.generator << 17;
    return uint8_t(in.generator >> 24);
}

uint32_t take_u32(Input& in) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
        v = (v << 8) | take_byte(in);
    }
    return v;
}

float take_float(Input& in) {
    const uint8_t kind = take_byte(in);
    switch (kind % 16) {
        case 0:
            return std::numeric_limits<float>::quiet_NaN();
        case 1:
            return std::numeric_limits<float>::infinity();
        case 2:
            return -std::numeric_limits<float>::infinity();
        case 3:
            return FLT_MAX;
        case 4:
            return -FLT_MAX;
        case 5:
            return FLT_TRUE_MIN * float(take_byte(in));  // subnormal
        case 6:
            return -0.0f;
        case 7: {
            const uint32_t bits = take_u32(in);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        default:  // ordinary scores, with ties
            return float(int8_t(take_byte(in))) / 8.0f;
    }
}

bool all_finite_and_moderate(const std::vector<float>& values) {
    return std::all_of(values.begin(), values.end(),
                       [](float v) { return std::isfinite(v) && std::fabs(v) < 1e6f; });
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Same bits, or NaN in both (which NaN an addition of two NaNs yields is the compiler's choice).
bool same_values(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!same_bits(a[i], b[i]) && !(std::isnan(a[i]) && std::isnan(b[i]))) {
            return false;
        }
    }
    return true;
}

void check_guides_and_posts(const std::vector<float>& scores, int blocks, int num_states,
                            std::vector<float>& back, std::vector<float>& posts) {
    std::vector<float> fwd = {1.0f, 2.0f, 3.0f};  // stale contents must not matter
    compute_back_guides(scores.data(), back, blocks, num_states, 2.0f);
    compute_fwd_guides(scores.data(), fwd, blocks, num_states, 2.0f);
    compute_posts(scores.data(), fwd, back, posts, blocks, num_states);
    const size_t size = size_t(blocks + 1) * size_t(num_states);
    FUZZ_CHECK(back.size() == size && fwd.size() == size && posts.size() == size);
    // Whichever form ran (vector or scalar), the scalar one gives the same values.
    std::vector<float> scalar_back(size), scalar_fwd(size), scalar_posts(size);
    back_guides_scalar(scores.data(), scalar_back.data(), blocks, num_states);
    fwd_guides_scalar(scores.data(), scalar_fwd.data(), blocks, num_states);
    posts_scalar(scalar_fwd.data(), scalar_back.data(), scalar_posts.data(), blocks, num_states);
    FUZZ_CHECK(same_values(back, scalar_back) && same_values(fwd, scalar_fwd) &&
               same_values(posts, scalar_posts));
    for (int s = 0; s < num_states; ++s) {
        FUZZ_CHECK(back[size_t(blocks) * num_states + s] == 0.0f && fwd[size_t(s)] == 0.0f);
    }
    if (all_finite_and_moderate(scores)) {
        FUZZ_CHECK(all_finite_and_moderate(back) && all_finite_and_moderate(fwd));
        for (int r = 0; r <= blocks; ++r) {
            double sum = 0.0;
            for (int s = 0; s < num_states; ++s) {
                const float p = posts[size_t(r) * num_states + s];
                FUZZ_CHECK(p >= 0.0f && p <= 1.0f + 1e-6f);
                sum += p;
            }
            FUZZ_CHECK(std::fabs(sum - 1.0) < 1e-3);
        }
    }
}

void check_strings(const std::vector<uint8_t>& moves, const std::vector<int>& states,
                   const std::vector<float>& qual, float q_shift, float q_scale) {
    const auto [sequence, quality] = generate_sequence(moves, states, qual, q_shift, q_scale);
    size_t total = 0;
    for (uint8_t move : moves) {
        total += move;
    }
    FUZZ_CHECK(sequence.size() == total && quality.size() == total);
    for (size_t i = 0; i < total; ++i) {
        FUZZ_CHECK(std::strchr("ACGT", sequence[i]) != nullptr && sequence[i] != '\0');
        FUZZ_CHECK(quality[i] >= 34 && quality[i] <= 123);
    }
}

template <typename T, typename P>
bool run_search(const std::vector<T>& scores, const std::vector<T>& guides,
                const std::vector<P>& posts, size_t num_states, size_t blocks, size_t width,
                float beam_cut, float temperature, Decoded& out) {
    try {
        out =
            decode_problem(scores, guides, posts, num_states, blocks, width, beam_cut, temperature);
    } catch (const std::range_error&) {
        FUZZ_CHECK(width == 0 || width > 256);
        return false;
    }
    FUZZ_CHECK(width >= 1 && width <= 256);
    return true;
}

void check_decoded(const Decoded& d, size_t blocks, bool posts_finite) {
    FUZZ_CHECK(d.states.size() == blocks && d.moves.size() == blocks);
    FUZZ_CHECK(blocks == 0 || d.moves[0] == 1);
    for (size_t b = 0; b < blocks; ++b) {
        FUZZ_CHECK(d.moves[b] <= 1);
        FUZZ_CHECK(d.states[b] >= 0 && d.states[b] <= 3);
        float sum = 0.0f;
        for (int base = 0; base < 4; ++base) {
            const float q = d.qual[4 * b + base];
            FUZZ_CHECK(std::isnan(q) || (q >= 0.0f && q <= 1.0f));
            sum += q;
        }
        FUZZ_CHECK(!posts_finite || std::fabs(sum - 1.0f) < 1e-5f);
    }
}

void check_merge_sort(Input& in) {
    const size_t count = take_byte(in) % 40;
    const size_t cutoff = take_byte(in) % 48;
    std::vector<BeamFrontElement> input(count);
    for (size_t i = 0; i < count; ++i) {
        float score = take_float(in);
        if (std::isnan(score)) {
            score = 0.0f;  // NaN is no strict weak ordering for the reference sort
        }
        input[i] = {0, score, state_t(i), 0, false};
    }
    std::vector<BeamFrontElement> expected = input;
    std::stable_sort(expected.begin(), expected.end(), score_sort);
    merge_sort(input.data(), count, cutoff, score_sort);
    for (size_t i = 0; i < std::min(count, cutoff); ++i) {
        FUZZ_CHECK(input[i].state == expected[i].state);
    }
}

// The hashed merge against the scan, on candidates with repeated hashes and arbitrary scores.
void check_merge_forms(Input& in) {
    const size_t w = 1 + take_byte(in) % 64;
    const uint64_t distinct = 1 + take_byte(in) % 8;
    const float temperature = take_float(in);
    std::vector<BeamFrontElement> candidates(5 * w);
    for (size_t i = 0; i < candidates.size(); ++i) {
        candidates[i] = {chainfasthash64(take_byte(in) % distinct, 0), take_float(in),
                         state_t(take_byte(in) % 64), uint8_t(i % w), i >= 4 * w};
    }
    std::vector<BeamFrontElement> scanned = candidates, hashed = candidates;
    std::vector<int32_t> buckets, chain;
    prepare_merge_table(w, buckets, chain);
    merge_equal_paths_scan(scanned.data(), w, temperature);
    merge_equal_paths_hashed(hashed.data(), w, temperature, buckets, chain);
    for (size_t i = 0; i < candidates.size(); ++i) {
        FUZZ_CHECK(same_bits(scanned[i].score, hashed[i].score) ||
                   (std::isnan(scanned[i].score) && std::isnan(hashed[i].score)));
    }
}

// Arbitrary move tables, valid or not: either a refusal or well-formed strings.
void check_arbitrary_moves(Input& in) {
    const size_t blocks = take_byte(in) % 20;
    std::vector<uint8_t> moves(blocks);
    std::vector<int> states(blocks);
    std::vector<float> qual(blocks * 4);
    for (size_t b = 0; b < blocks; ++b) {
        moves[b] = take_byte(in) % 4;
        states[b] = int(take_u32(in));
    }
    for (float& q : qual) {
        q = take_float(in);
    }
    try {
        check_strings(moves, states, qual, take_float(in), take_float(in));
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(blocks > 0 && moves[0] != 1);
    }
}

// Arbitrary shapes and element types: the chunk rule refuses with a ChunkError or returns a size
// whose arrays the recursions can index, with guides and posteriors large enough to read.
void check_chunk_rule(Input& in) {
    const auto any_tensor = [&in](size_t max_dims) {
        chunk_rule::TensorInfo tensor;
        tensor.type = chunk_rule::ElementType(take_byte(in) % 6);
        tensor.type_name = chunk_rule::type_name(tensor.type);
        const size_t dims = take_byte(in) % (max_dims + 1);
        for (size_t i = 0; i < dims; ++i) {
            const uint8_t kind = take_byte(in);
            // a k-mer width, a small size, or anything at all
            tensor.shape.push_back(kind % 3 == 0 ? int64_t(5) << (2 * (kind % 9))
                                   : kind % 3 == 1
                                       ? int64_t(take_byte(in))
                                       : int64_t(uint64_t(take_u32(in)) << (kind % 33)));
        }
        return tensor;
    };
    const chunk_rule::TensorInfo scores = any_tensor(3);
    const chunk_rule::TensorInfo guides = any_tensor(2);
    const chunk_rule::TensorInfo posts = any_tensor(2);
    const uint8_t choice = take_byte(in);
    const bool stored = choice & 1;
    const chunk_rule::Accepts accepts{.int8_scores = bool(choice & 2),
                                      .decoding = bool(choice & 4)};
    try {
        const chunk_rule::ChunkSize size = chunk_rule::check_chunk(
            scores, stored ? &guides : nullptr, stored ? &posts : nullptr, accepts);
        FUZZ_CHECK(scores.shape.size() == 2 && size.num_blocks == scores.shape[0]);
        FUZZ_CHECK(int64_t(size.num_states) * 5 == scores.shape[1]);
        FUZZ_CHECK(int64_t(size.num_blocks) * scores.shape[1] < (int64_t(1) << 31));
        FUZZ_CHECK(!accepts.decoding || size_t(size.num_states) <= max_decoder_states);
        const int64_t needed = (int64_t(size.num_blocks) + 1) * size.num_states;
        FUZZ_CHECK(!stored || (guides.numel() >= needed && posts.numel() >= needed));
    } catch (const chunk_rule::ChunkError& error) {
        FUZZ_CHECK(error.what()[0] != '\0');
    }
}

}  // namespace

// Renormalised guides of scores without NaN or +inf hold no NaN, and every row's largest entry
// is 0, or -inf where no path of finite scores reaches the row.
void check_stable_guides(const std::vector<float>& scores, size_t blocks, size_t num_states) {
    for (const float score : scores) {
        if (std::isnan(score) || score == std::numeric_limits<float>::infinity()) {
            return;
        }
    }
    std::vector<float> guides((blocks + 1) * num_states), shifts(blocks + 1);
    for (const auto recursion : {compute_stable_back_guides, compute_stable_fwd_guides}) {
        recursion(scores.data(), guides.data(), shifts.data(), int(blocks), int(num_states));
        for (size_t row = 0; row <= blocks; ++row) {
            const float* first = guides.data() + row * num_states;
            for (size_t s = 0; s < num_states; ++s) {
                FUZZ_CHECK(!std::isnan(first[s]));
            }
            const float top = *std::max_element(first, first + num_states);
            FUZZ_CHECK(top == 0.0f || top == -std::numeric_limits<float>::infinity());
            FUZZ_CHECK(std::isfinite(shifts[row]));
        }
    }
}

// The decoding of a chunk as the bindings run it: options refused or kept as a whole, then either
// a read with one move per block and a base per move, or the first block or row that cannot be
// trusted. Checking the values never changes a read that passes.
void check_chunk_decoding(const std::vector<float>& scores, size_t blocks, size_t num_states,
                          const chunk_decoding::DecodeOptions& options) {
    try {
        chunk_decoding::check_options(options);
    } catch (const std::invalid_argument&) {
        FUZZ_CHECK(options.beam_size < 1 || options.beam_size > max_decoder_beam_width ||
                   !std::isfinite(options.beam_cut) || !std::isfinite(options.q_shift) ||
                   !std::isfinite(options.q_scale) || !std::isfinite(options.temperature) ||
                   options.temperature < 0);
        return;
    }
    const chunk_decoding::CheckedRead checked = chunk_decoding::decode_scores(
        scores.data(), int(blocks), int(num_states), options, true, chunk_decoding::serial_for);
    if (checked.invalid) {
        FUZZ_CHECK(checked.invalid->row >= 0 && size_t(checked.invalid->row) <= blocks);
        FUZZ_CHECK(!checked.invalid->what.empty() && !checked.invalid->problem.empty());
        return;
    }
    const chunk_decoding::Read& read = checked.read;
    FUZZ_CHECK(read.moves.size() == blocks);
    FUZZ_CHECK(read.quality.size() == read.sequence.size());
    size_t moved = 0;
    for (uint8_t move : read.moves) {
        FUZZ_CHECK(move <= 1);
        moved += move;
    }
    FUZZ_CHECK(moved == read.sequence.size());
    for (size_t i = 0; i < read.sequence.size(); ++i) {
        FUZZ_CHECK(std::strchr("ACGT", read.sequence[i]) != nullptr && read.sequence[i] != 0);
        FUZZ_CHECK(read.quality[i] >= '!' && read.quality[i] <= '~');
    }
    const chunk_decoding::CheckedRead unchecked = chunk_decoding::decode_scores(
        scores.data(), int(blocks), int(num_states), options, false, chunk_decoding::serial_for);
    FUZZ_CHECK(!unchecked.invalid && unchecked.read.sequence == read.sequence &&
               unchecked.read.quality == read.quality && unchecked.read.moves == read.moves);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in = {data, size, 0x9e3779b97f4a7c15ULL ^ fasthash64(data, size, 7)};
    FUZZ_CHECK(fasthash32(data, size, 7) ==
               uint32_t(fasthash64(data, size, 7) - (fasthash64(data, size, 7) >> 32)));

    // The width check: only 5 * 4^k passes.
    const size_t width = take_u32(in) % 30000;
    try {
        const int n = get_num_states(width);
        FUZZ_CHECK(size_t(n) * 5 == width && is_kmer_state_count(size_t(n)));
    } catch (const std::runtime_error&) {
        FUZZ_CHECK(width % 5 != 0 || !is_kmer_state_count(width / 5));
    }

    const size_t num_states = size_t(4) << (2 * (take_byte(in) % 5));  // 4 .. 1024
    // Up to 64 blocks, fewer for the largest state counts so that every input runs quickly.
    const size_t blocks = take_byte(in) % (std::min<size_t>(64, 16384 / num_states) + 1);
    const bool eight_bit = take_byte(in) & 1;
    const uint8_t sources = take_byte(in);  // guides and posteriors: computed or arbitrary
    // Mostly narrow beams (fast), sometimes anything from 0 to 300.
    const size_t beam_width = take_byte(in) < 192
                                  ? take_byte(in) % 18
                                  : (size_t(take_byte(in)) << 8 | take_byte(in)) % 301;
    const float beam_cut = take_float(in);
    const float temperature = take_float(in);
    const float q_shift = take_float(in);
    const float q_scale = take_float(in);

    const size_t row = num_states * 5;
    std::vector<float> scores(blocks * row);
    for (float& s : scores) {
        s = eight_bit ? float(int8_t(take_byte(in))) : take_float(in);
    }
    std::vector<float> guides, posts;
    check_guides_and_posts(scores, int(blocks), int(num_states), guides, posts);
    if (sources & 1) {
        for (float& g : guides) {
            g = eight_bit ? float(int8_t(take_byte(in))) : take_float(in);
        }
    }
    std::vector<int8_t> post_codes;  // 8-bit posteriors: p = (q + 128) / 255
    if (sources & 2) {
        for (float& p : posts) {
            if (eight_bit) {
                const uint8_t byte = take_byte(in);
                post_codes.push_back(int8_t(int(byte) - 128));
                p = float(byte) / 255.0f;
            } else {
                p = take_float(in);
            }
        }
    }
    if (eight_bit) {
        for (float& g : guides) {  // computed guides, brought into the 8-bit range
            g = std::isnan(g) ? 0.0f : std::round(std::min(127.0f, std::max(-128.0f, g)));
        }
    }
    const bool posts_finite =
        std::all_of(posts.begin(), posts.end(), [](float p) { return std::isfinite(p); });

    Decoded decoded;
    if (run_search(scores, guides, posts, num_states, blocks, beam_width, beam_cut, temperature,
                   decoded)) {
        check_decoded(decoded, blocks, posts_finite);
        check_strings(decoded.moves, decoded.states, decoded.qual, q_shift, q_scale);
        if (eight_bit) {
            // The 8-bit instantiation must decode exactly like float on the same values.
            const std::vector<signed char> scores8(scores.begin(), scores.end());
            const std::vector<signed char> guides8(guides.begin(), guides.end());
            Decoded bytes;
            FUZZ_CHECK(run_search(scores8, guides8, posts, num_states, blocks, beam_width, beam_cut,
                                  temperature, bytes));
            FUZZ_CHECK(bytes.states == decoded.states && bytes.moves == decoded.moves);
            FUZZ_CHECK(same_bits(bytes.score, decoded.score));
            for (size_t i = 0; i < decoded.qual.size(); ++i) {
                FUZZ_CHECK(same_bits(bytes.qual[i], decoded.qual[i]));
            }
            if (!post_codes.empty()) {
                // Posteriors read as 8-bit codes, converted one by one, grade alike.
                Decoded codes;
                FUZZ_CHECK(run_search(scores8, guides8, post_codes, num_states, blocks, beam_width,
                                      beam_cut, temperature, codes));
                FUZZ_CHECK(codes.states == decoded.states && codes.moves == decoded.moves);
                for (size_t i = 0; i < decoded.qual.size(); ++i) {
                    FUZZ_CHECK(same_bits(codes.qual[i], decoded.qual[i]));
                }
            }
        }
    }
    check_stable_guides(scores, blocks, num_states);
    check_chunk_decoding(scores, blocks, num_states,
                         {.beam_size = beam_width,
                          .beam_cut = beam_cut,
                          .temperature = temperature,
                          .q_shift = q_shift,
                          .q_scale = q_scale});
    check_merge_sort(in);
    check_arbitrary_moves(in);
    check_merge_forms(in);
    check_chunk_rule(in);
    return 0;
}
