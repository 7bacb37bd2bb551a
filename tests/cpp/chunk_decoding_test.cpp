// The decoding layer of the tensor module: options, value checks, and long chunks in windows.
#include "chunk_decoding.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

using chunk_decoding::CheckedRead;
using chunk_decoding::DecodeOptions;
using chunk_decoding::Read;

std::vector<float> normal_scores(int blocks, int num_states, float spread, unsigned seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> normal(0.0f, spread);
    std::vector<float> scores(size_t(blocks) * 5 * size_t(num_states));
    for (float& score : scores) {
        score = normal(generator);
    }
    return scores;
}

CheckedRead decode(const std::vector<float>& scores, int num_states, bool check = true) {
    const int blocks = int(scores.size() / (5 * size_t(num_states)));
    return chunk_decoding::decode_scores(scores.data(), blocks, num_states, DecodeOptions{}, check,
                                         chunk_decoding::serial_for);
}

TEST(ChunkDecoding, OptionsOutOfRangeAreRefusedByName) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<DecodeOptions, std::string>> cases = {
        {{.beam_size = 0}, "beam_size must be between 1 and 256, not 0."},
        {{.beam_size = 257}, "beam_size must be between 1 and 256, not 257."},
        {{.beam_cut = nan}, "beam_cut must be a finite number, not nan."},
        {{.temperature = -1.0f}, "temperature must be a finite number of at least 0, not -1."},
        {{.temperature = inf}, "temperature must be a finite number of at least 0, not inf."},
        {{.q_shift = -inf}, "q_shift must be a finite number, not -inf."},
        {{.q_scale = nan}, "q_scale must be a finite number, not nan."},
    };
    for (const auto& [options, message] : cases) {
        try {
            chunk_decoding::check_options(options);
            ADD_FAILURE() << message;
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(error.what(), message);
        }
    }
    chunk_decoding::check_options({.beam_size = 256, .beam_cut = -5.0f, .temperature = 0.0f});
}

TEST(ChunkDecoding, UnusableValuesNameTheirBlockOrRow) {
    std::vector<float> scores = normal_scores(30, 4, 2.0f, 1);
    scores[7 * 20 + 3] = std::numeric_limits<float>::quiet_NaN();
    CheckedRead result = decode(scores, 4);
    ASSERT_TRUE(result.invalid);
    EXPECT_EQ(result.invalid->what, "scores");
    EXPECT_EQ(result.invalid->row, 7);
    EXPECT_EQ(result.invalid->problem, "hold NaN");

    std::vector<float> huge = normal_scores(30, 4, 2.0f, 2);
    for (float& score : huge) {
        score = score * 1e37f;
    }
    result = decode(huge, 4);
    ASSERT_TRUE(result.invalid);
    EXPECT_EQ(result.invalid->what, "posts");
    EXPECT_NE(result.invalid->problem.find("too large for single precision"), std::string::npos);
    // Unchecked, the same values decode as the arithmetic makes them.
    EXPECT_FALSE(decode(huge, 4, false).invalid);
}

TEST(ChunkDecoding, WindowsCoverTheChunkAndJoinLikeOverlappingChunks) {
    EXPECT_EQ(chunk_decoding::window_starts(10000), std::vector<int>{0});
    EXPECT_EQ(chunk_decoding::window_starts(10001), (std::vector<int>{0, 9000}));
    EXPECT_EQ(chunk_decoding::window_starts(28000), (std::vector<int>{0, 9000, 18000}));

    // Blocks 0-5 and 2-7 of one read, overlapping by 4: the first keeps 0-3, the second 4-7.
    const Read first{"ACG", "abc", {1, 0, 1, 1, 0, 0}};
    const Read second{"GTA", "def", {1, 1, 0, 1, 0, 0}};
    const Read joined = chunk_decoding::join_windows({first, second}, 4);
    EXPECT_EQ(joined.moves, (std::vector<uint8_t>{1, 0, 1, 1, 0, 1, 0, 0}));
    EXPECT_EQ(joined.sequence, "ACGA");
    EXPECT_EQ(joined.quality, "abcf");
    EXPECT_THROW(chunk_decoding::join_windows({Read{"A", "a", {1}}, second}, 4),
                 std::invalid_argument);
}

TEST(ChunkDecoding, HonestChunksTooLongForSinglePrecisionDecodeInWindows) {
    const int blocks = 60000;
    const std::vector<float> scores = normal_scores(blocks, 4, 3.0f, 3);
    // Whole, the unnormalised guides lose the posteriors' precision...
    std::vector<float> back(size_t(blocks + 1) * 4), posts(back.size());
    ASSERT_GE(chunk_decoding::compute_guides_and_posts(scores.data(), back.data(), posts.data(),
                                                       blocks, 4, chunk_decoding::serial_for, true),
              0);
    EXPECT_NE(
        chunk_decoding::unnormalised_cause(scores.data(), blocks, 4, chunk_decoding::serial_for)
            .find("at 60000 blocks the chunk is too long"),
        std::string::npos);
    // ...so the chunk is decoded in windows: every block once, one base per move.
    const CheckedRead result = decode(scores, 4);
    ASSERT_FALSE(result.invalid);
    EXPECT_EQ(result.read.moves.size(), size_t(blocks));
    size_t bases = 0;
    for (const uint8_t move : result.read.moves) {
        bases += move;
    }
    EXPECT_EQ(result.read.sequence.size(), bases);
    EXPECT_EQ(result.read.quality.size(), bases);
    // The first window keeps its blocks up to half the overlap before its end.
    const int kept = chunk_decoding::window_blocks - chunk_decoding::window_overlap / 2;
    const std::vector<float> window(scores.begin(),
                                    scores.begin() + 5 * 4 * chunk_decoding::window_blocks);
    const CheckedRead first = decode(window, 4);
    EXPECT_EQ(std::vector<uint8_t>(result.read.moves.begin(), result.read.moves.begin() + kept),
              std::vector<uint8_t>(first.read.moves.begin(), first.read.moves.begin() + kept));
}

}  // namespace
