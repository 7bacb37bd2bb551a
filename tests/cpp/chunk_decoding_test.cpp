// The decoding layer of the tensor module: options, value checks, long chunks and masked
// transitions.
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

    // Scores far beyond what unnormalised guides hold in single precision decode over the stable
    // ones, checked or not, to the same read.
    std::vector<float> huge = normal_scores(30, 4, 2.0f, 2);
    for (float& score : huge) {
        score = score * 1e37f;
    }
    result = decode(huge, 4);
    ASSERT_FALSE(result.invalid);
    EXPECT_EQ(result.read.moves, decode(huge, 4, false).read.moves);
}

TEST(ChunkDecoding, SearchWindowsCoverTheChunkAndJoinLikeOverlappingChunks) {
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

TEST(ChunkDecoding, LongChunksDecodeWholeOverStableGuides) {
    const int blocks = 60000;
    const std::vector<float> scores = normal_scores(blocks, 4, 3.0f, 3);
    // Whole, the unnormalised guides lose the posteriors' precision...
    std::vector<float> back(size_t(blocks + 1) * 4), posts(back.size());
    ASSERT_GE(chunk_decoding::compute_guides_and_posts(scores.data(), back.data(), posts.data(),
                                                       blocks, 4, chunk_decoding::serial_for, true),
              0);
    EXPECT_NE(
        chunk_decoding::unnormalised_cause(scores.data(), blocks, 4, chunk_decoding::serial_for)
            .find("at 60000 blocks the chunk is too long for unnormalised guides"),
        std::string::npos);
    // ...while the renormalised ones keep it: every row passes, and the chunk is searched whole.
    const auto guides = chunk_decoding::decoding_guides_and_posts(
        scores.data(), back.data(), posts.data(), blocks, 4, chunk_decoding::serial_for);
    EXPECT_EQ(guides.form, chunk_decoding::GuideForm::stable);
    EXPECT_EQ(guides.unnormalised_row, -1);
    const CheckedRead result = decode(scores, 4);
    ASSERT_FALSE(result.invalid);
    EXPECT_EQ(result.read.moves.size(), size_t(blocks));
    size_t bases = 0;
    for (const uint8_t move : result.read.moves) {
        bases += move;
    }
    EXPECT_EQ(result.read.sequence.size(), bases);
    EXPECT_EQ(result.read.quality.size(), bases);
    // Up to exact_blocks, honest chunks keep the specified guides.
    const std::vector<float> short_scores(scores.begin(), scores.begin() + 20 * 10000);
    EXPECT_EQ(
        chunk_decoding::decoding_guides_and_posts(short_scores.data(), back.data(), posts.data(),
                                                  10000, 4, chunk_decoding::serial_for)
            .form,
        chunk_decoding::GuideForm::specified);
}

TEST(ChunkDecoding, MaskedTransitionsDecodeAndAChunkWithoutAFinitePathIsRefused) {
    const float masked = -std::numeric_limits<float>::infinity();
    std::vector<float> scores = normal_scores(40, 4, 2.0f, 4);
    for (int j = 0; j < 5; ++j) {
        scores[2 * 20 + j] = masked;  // no way into state 0 in block 2
    }
    const CheckedRead result = decode(scores, 4);
    ASSERT_FALSE(result.invalid) << result.invalid->problem;
    EXPECT_EQ(result.read.moves.size(), 40u);
    std::vector<float> back(41 * 4), posts(back.size());
    chunk_decoding::decoding_guides_and_posts(scores.data(), back.data(), posts.data(), 40, 4,
                                              chunk_decoding::serial_for);
    EXPECT_EQ(posts[3 * 4 + 0], 0.0f);  // state 0 at the boundary after block 2
    for (const float p : posts) {
        EXPECT_FALSE(std::isnan(p));
    }

    // Block 5 only enters state 0 and block 6 only leaves state 1: no finite path runs through.
    std::vector<float> blocked = normal_scores(40, 4, 2.0f, 5);
    for (int i = 0; i < 20; ++i) {
        if (i >= 5) {
            blocked[5 * 20 + i] = masked;  // block 5: only the five ways into state 0
        }
        const int destination = i / 5, slot = i % 5;
        const int source = slot == 0 ? destination : slot - 1;  // k = 1: the source is the base
        if (source != 1) {
            blocked[6 * 20 + i] = masked;
        }
    }
    const CheckedRead refused = decode(blocked, 4);
    ASSERT_TRUE(refused.invalid);
    EXPECT_EQ(refused.invalid->what, "scores");
    EXPECT_EQ(refused.invalid->row, 6);
    EXPECT_NE(refused.invalid->problem.find("leave no path of finite scores"), std::string::npos);
}

}  // namespace
