// Hashes, the partial merge sort, the first beam front, the traceback, block quality and strings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "beam_search.h"
#include "decoding.h"
#include "fast_hash.h"

namespace {

const float inf = std::numeric_limits<float>::infinity();
const float nan_value = std::numeric_limits<float>::quiet_NaN();

BeamFrontElement with_score(float score, int id) { return {0, score, state_t(id), 0, false}; }

std::vector<int> front_states(const std::vector<BeamFrontElement>& front, size_t count) {
    std::vector<int> states;
    for (size_t i = 0; i < count; ++i) {
        states.push_back(front[i].state);
    }
    return states;
}

template <typename T>
std::vector<int> starters(const std::vector<T>& guides, size_t width) {
    std::vector<BeamFrontElement> front(width);
    const size_t count =
        beam_search_detail::start_beam_front(guides.data(), guides.size(), width, front.data());
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(front[i].hash, chainfasthash64(0x880355f21e6d1965ULL, uint64_t(front[i].state)));
        EXPECT_EQ(front[i].score, 0.0f);
    }
    return front_states(front, count);
}

// Four per-base probabilities of one block from a window sum, as the traceback derives them.
std::vector<float> block_probs(float window_sum, int base) {
    const float p = powf(std::min(std::max(window_sum, 0.0f), 1.0f), 0.4f);
    std::vector<float> probs(4, (1.0f - p) / 3.0f);
    probs[base] = p;
    return probs;
}

std::vector<float> concat(std::initializer_list<std::vector<float>> parts) {
    std::vector<float> all;
    for (const auto& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

std::string quality_of(const std::vector<unsigned char>& moves, const std::vector<int>& states,
                       const std::vector<float>& qual_data, float shift = 0.0f,
                       float scale = 1.0f) {
    return std::get<1>(generate_sequence(moves, states, qual_data, shift, scale));
}

}  // namespace

TEST(Hash, KnownValues) {
    EXPECT_EQ(mix(1), 0x2127599bf4321e79ULL);
    EXPECT_EQ(mix(0), 0ULL);
    const uint64_t seed = 0x880355f21e6d1965ULL;
    EXPECT_EQ(chainfasthash64(seed, 0), 0xadbd19d3220b72e6ULL);
    EXPECT_EQ(chainfasthash64(seed, 1), 0x200523294227c97aULL);
    EXPECT_EQ(chainfasthash64(chainfasthash64(seed, 1), 6), 0xb41f091e2cac9b01ULL);
    EXPECT_EQ(fasthash64("abc", 3, 0), 0xd1f267e04ce87bdfULL);
    EXPECT_EQ(fasthash32("abc", 3, 0), 0x7af613ffU);
    EXPECT_EQ(fasthash64("abcdefghi", 9, 0), 0x28996dfe633c0f9eULL);
    EXPECT_EQ(fasthash64("", 0, 0), 0ULL);
}

TEST(ScoreSort, StrictlyGreaterOnly) {
    EXPECT_TRUE(score_sort(with_score(2, 0), with_score(1, 1)));
    EXPECT_FALSE(score_sort(with_score(1, 0), with_score(2, 1)));
    EXPECT_FALSE(score_sort(with_score(1, 0), with_score(1, 1)));
    EXPECT_FALSE(score_sort(with_score(nan_value, 0), with_score(1, 1)));
    EXPECT_FALSE(score_sort(with_score(1, 0), with_score(nan_value, 1)));
}

TEST(MergeSort, StableAndExactInTheLeadingPart) {
    std::vector<BeamFrontElement> data = {with_score(1, 0), with_score(3, 1), with_score(3, 2),
                                          with_score(2, 3)};
    merge_sort(data.data(), data.size(), 4, score_sort);
    EXPECT_EQ(front_states(data, 4), (std::vector<int>{1, 2, 3, 0}));

    std::mt19937 rng(5);
    for (int trial = 0; trial < 400; ++trial) {
        const size_t count = rng() % 40;
        const size_t cutoff = rng() % 45;
        std::vector<BeamFrontElement> input;
        for (size_t i = 0; i < count; ++i) {
            input.push_back(with_score(float(rng() % 6), int(i)));  // many ties
        }
        std::vector<BeamFrontElement> expected = input;
        std::stable_sort(expected.begin(), expected.end(), score_sort);
        std::vector<BeamFrontElement> sorted = input;
        merge_sort(sorted.data(), count, cutoff, score_sort);
        const size_t exact = std::min(cutoff, count);
        EXPECT_EQ(front_states(sorted, exact), front_states(expected, exact))
            << "count " << count << " cutoff " << cutoff;
    }

    std::vector<BeamFrontElement> one = {with_score(4, 9)};
    merge_sort(one.data(), 1, 1, score_sort);
    EXPECT_EQ(one[0].state, 9);
    merge_sort(one.data(), 0, 1, score_sort);
}

TEST(FirstFront, BestGuidesStartInStateOrder) {
    // Ties at the threshold must not crowd out states with strictly better guides.
    std::vector<float> guides(16, 0.0f);
    guides[9] = 1.0f;
    guides[12] = 2.0f;
    EXPECT_EQ(starters(guides, 4), (std::vector<int>{0, 1, 9, 12}));
    EXPECT_EQ(starters(guides, 2), (std::vector<int>{9, 12}));
    EXPECT_EQ(starters(guides, 1), (std::vector<int>{12}));

    // Distinct guides: exactly the best, ascending.
    std::vector<float> distinct = {5, 1, 7, 3, 8, 2, 6, 4};
    distinct.resize(16, -1.0f);
    EXPECT_EQ(starters(distinct, 3), (std::vector<int>{2, 4, 6}));

    // Not more states than the width: all start, also at the lowest values.
    const std::vector<signed char> bytes = {-128, 127, -128, 0};
    EXPECT_EQ(starters(bytes, 5), (std::vector<int>{0, 1, 2, 3}));
    std::vector<signed char> byte_ties(16, 3);
    byte_ties[15] = 4;
    EXPECT_EQ(starters(byte_ties, 3), (std::vector<int>{0, 1, 15}));
}

TEST(FirstFront, NanNeverStartsAndMinusInfinityOnlyWhenNeeded) {
    std::vector<float> guides(16, nan_value);
    guides[3] = 1.0f;
    guides[7] = -inf;
    guides[8] = 0.5f;
    EXPECT_EQ(starters(guides, 4), (std::vector<int>{3, 8}));  // -inf is below the lowest float
    EXPECT_EQ(starters(guides, 1), (std::vector<int>{3}));
    EXPECT_EQ(starters(std::vector<float>(16, nan_value), 4), std::vector<int>{});
    std::vector<float> mostly_minus_inf(16, -inf);
    mostly_minus_inf[5] = 0.0f;
    EXPECT_EQ(starters(mostly_minus_inf, 3), (std::vector<int>{0, 1, 5}));
}

TEST(TraceBack, WorkedExample) {
    // Three blocks, width 2; only the records on the path matter.
    std::vector<BeamElement> rows(4 * 2, BeamElement{0, 0, false});
    rows[3 * 2 + 0] = {13, 1, false};
    rows[2 * 2 + 1] = {7, 0, true};
    rows[1 * 2 + 0] = {7, 1, false};
    std::vector<int> states;
    std::vector<uint8_t> moves;
    trace_back(rows, 3, 2, states, moves);
    EXPECT_EQ(states, (std::vector<int>{7, 7, 13}));
    EXPECT_EQ(moves, (std::vector<uint8_t>{1, 0, 1}));

    // A first element reached by a stay still counts as a move; zero-filled rows read as steps.
    std::vector<BeamElement> stays(3, BeamElement{2, 0, true});
    stays[2] = {0, 0, false};
    trace_back(stays, 2, 1, states, moves);
    EXPECT_EQ(moves, (std::vector<uint8_t>{1, 1}));
    EXPECT_EQ(states, (std::vector<int>{2, 0}));

    trace_back(stays, 0, 1, states, moves);
    EXPECT_TRUE(states.empty() && moves.empty());
}

TEST(BlockQuality, WindowOfNinePosteriors) {
    auto window = [](int num_states, int state, const std::vector<float>& row) {
        std::vector<float> posts(size_t(num_states), 0.0f);  // boundary 0, not read
        posts.insert(posts.end(), row.begin(), row.end());
        std::vector<int> states = {state};
        std::vector<float> qual;
        compute_block_quality(posts.data(), size_t(num_states), 1, states, qual);
        EXPECT_EQ(states[0], state % 4);
        return qual;
    };
    // CG (6): left shifts 1, 5, 9, 13 and right shifts 8 .. 11; 9 (GC) counts twice.
    std::vector<float> row(16, 0.0f);
    row[9] = 0.25f;
    EXPECT_EQ(window(16, 6, row), block_probs(0.5f, 2));
    // The documented values, to the seven digits given.
    EXPECT_NEAR(block_probs(0.5f, 0)[0], 0.7578583f, 1e-7f);
    EXPECT_NEAR(block_probs(0.5f, 0)[1], 0.08071391f, 1e-8f);
    // CC (5) is a homopolymer: 1, 4, 5, 6, 7, 9 and 13 each count once.
    std::vector<float> cc(16, 0.0f);
    for (int s : {1, 4, 5, 6, 7, 9, 13}) {
        cc[size_t(s)] = 0.1f;
    }
    cc[0] = 0.3f;
    const std::vector<float> qual = window(16, 5, cc);
    EXPECT_NEAR(qual[1], powf(0.7f, 0.4f), 1e-6f);
    // Window sums at or below 0 and at or above 1.
    EXPECT_EQ(window(16, 6, std::vector<float>(16, 0.0f)),
              (std::vector<float>{0.33333334f, 0.33333334f, 0.0f, 0.33333334f}));
    EXPECT_EQ(window(4, 1, {0.25f, 0.25f, 0.25f, 0.25f}), (std::vector<float>{0, 1, 0, 0}));
    EXPECT_NEAR(block_probs(0.9f, 0)[0], 0.9587315f, 1e-7f);
    EXPECT_NEAR(block_probs(0.9f, 0)[1], 0.01375616f, 1e-8f);
}

TEST(BlockQuality, EightBitPosteriorsConvertedAsRead) {
    // Every code of every state, against the float grading of the converted posteriors.
    const size_t num_states = 64, num_blocks = 300;
    std::mt19937 rng(7);
    std::vector<int8_t> codes((num_blocks + 1) * num_states);
    for (int8_t& code : codes) {
        code = int8_t(int(rng() % 256) - 128);
    }
    std::vector<float> converted(codes.size());
    for (size_t i = 0; i < codes.size(); ++i) {
        converted[i] = (float(codes[i]) + 128.0f) / 255.0f;
    }
    std::vector<int> states(num_blocks), states8;
    for (size_t b = 0; b < num_blocks; ++b) {
        states[b] = int(rng() % num_states);
    }
    states8 = states;
    std::vector<float> qual, qual8;
    compute_block_quality(converted.data(), num_states, num_blocks, states, qual);
    compute_block_quality(codes.data(), num_states, num_blocks, states8, qual8);
    EXPECT_EQ(states, states8);
    ASSERT_EQ(qual.size(), qual8.size());
    EXPECT_EQ(0, std::memcmp(qual.data(), qual8.data(), qual.size() * sizeof(float)));
}

TEST(GenerateSequence, QualityCharacters) {
    EXPECT_EQ(generate_sequence({}, {}, {}, 0.0f, 1.0f),
              std::make_tuple(std::string(), std::string()));
    const std::vector<float> half = block_probs(0.5f, 0);
    EXPECT_EQ(generate_sequence({1}, {0}, half, 0.0f, 1.0f),
              std::make_tuple(std::string("A"), std::string("'")));
    EXPECT_EQ(generate_sequence({1}, {2}, block_probs(0.5f, 2), 0.0f, 1.0f),
              std::make_tuple(std::string("G"), std::string("'")));
    const std::vector<float> high = block_probs(0.9f, 0);
    EXPECT_EQ(quality_of({1}, {0}, high), "/");
    EXPECT_EQ(quality_of({1}, {0}, high, 0.0f, 2.0f), "=");
    EXPECT_EQ(quality_of({1}, {0}, high, 5.0f, 1.0f), "4");
    EXPECT_EQ(quality_of({1}, {0}, high, 0.0f, -0.5f), "\"");
    EXPECT_EQ(quality_of({1}, {0}, {1, 0, 0, 0}), "{");
    EXPECT_EQ(quality_of({1}, {0}, {0.25f, 0.25f, 0.25f, 0.25f}), "\"");
    EXPECT_EQ(quality_of({1}, {0}, {0.99f, 0.01f, 0, 0}), "5");
    EXPECT_EQ(quality_of({1}, {0}, {0.999f, 0.001f, 0, 0}), "?");
    EXPECT_EQ(quality_of({1}, {0}, {0.9999f, 0.0001f, 0, 0}), "I");
    EXPECT_EQ(quality_of({1}, {0}, {nan_value, 0, 0, 0}), "{");
}

TEST(GenerateSequence, StaysPoolIntoTheLastBase) {
    const std::vector<float> pooled = concat({block_probs(0.9f, 3), block_probs(0.5f, 3)});
    EXPECT_EQ(generate_sequence({1, 0}, {3, 3}, pooled, 0.0f, 1.0f),
              std::make_tuple(std::string("T"), std::string(")")));
    EXPECT_EQ(generate_sequence({1, 0, 1}, {3, 3, 1}, concat({pooled, block_probs(0.99f, 1)}), 0.0f,
                                1.0f),
              std::make_tuple(std::string("TC"), std::string(")9")));
    // Two bases from one block: only the last is fed; the other has nothing (0 / 0).
    EXPECT_EQ(generate_sequence({1, 2}, {0, 1},
                                concat({block_probs(0.9f, 0), block_probs(0.9f, 1)}), 0.0f, 1.0f),
              std::make_tuple(std::string("ACC"), std::string("/{/")));
    // The third block stays: it pools into the second base.
    EXPECT_EQ(generate_sequence({1, 1, 0, 1}, {0, 1, 1, 2},
                                concat({block_probs(0.9f, 0), block_probs(0.9f, 1),
                                        block_probs(0.5f, 1), block_probs(0.99f, 2)}),
                                0.0f, 1.0f),
              std::make_tuple(std::string("ACG"), std::string("/)9")));
}

TEST(GenerateSequence, RefusesInconsistentInput) {
    const std::vector<float> qual(8, 0.25f);
    EXPECT_THROW(generate_sequence({0, 1}, {0, 0}, qual, 0, 1), std::invalid_argument);
    EXPECT_THROW(generate_sequence({2}, {0}, qual, 0, 1), std::invalid_argument);
    EXPECT_THROW(generate_sequence({1, 1}, {0}, qual, 0, 1), std::invalid_argument);
    EXPECT_THROW(generate_sequence({1, 1, 1}, {0, 0, 0}, qual, 0, 1), std::invalid_argument);
}

namespace {

template <typename T>
Decoded decode(const std::vector<T>& scores, const std::vector<T>& guides,
               const std::vector<float>& posts, size_t num_states, size_t width,
               float beam_cut = 100.0f, float temperature = 1.0f) {
    return decode_problem(scores, guides, posts, num_states, scores.size() / (5 * num_states),
                          width, beam_cut, temperature);
}

// Integer-valued scores and guides, and uniform posteriors, for a small random problem.
void integer_problem(size_t num_states, size_t blocks, unsigned seed, std::vector<float>& scores,
                     std::vector<float>& guides, std::vector<float>& posts) {
    std::mt19937 rng(seed);
    scores.resize(blocks * 5 * num_states);
    for (float& s : scores) {
        s = float(int(rng() % 21) - 10);
    }
    compute_back_guides(scores.data(), guides, int(blocks), int(num_states), 0.0f);
    for (float& g : guides) {
        g = std::round(std::max(-128.0f, std::min(127.0f, g / float(blocks))));
    }
    posts.assign((blocks + 1) * num_states, 1.0f / float(num_states));
}

}  // namespace

TEST(BeamSearch, RefusesWidthsAndStateCountsItCannotHold) {
    std::vector<float> scores(80), guides(32), posts(32);
    std::vector<int> states;
    std::vector<uint8_t> moves;
    std::vector<float> qual(4);
    auto run = [&](size_t num_states, size_t width) {
        beam_search(scores.data(), guides.data(), posts.data(), num_states, 1, width, 100.0f, 2.0f,
                    states, moves, qual, 1.0f);
    };
    try {
        run(16, 257);
        ADD_FAILURE();
    } catch (const std::range_error& e) {
        EXPECT_STREQ(e.what(), "Beamsearch max_beam_width cannot be greater than 256.");
    }
    EXPECT_THROW(run(16, 0), std::range_error);
    EXPECT_THROW(run(16384, 5), std::range_error);
    EXPECT_THROW(run(8, 5), std::range_error);
    EXPECT_TRUE(moves.empty());  // nothing written before the refusal
    EXPECT_NO_THROW(run(16, 256));
}

TEST(BeamSearch, ZeroBlocksAndEmptiedBeams) {
    std::vector<float> guides(16, 0.0f), posts(16, 1.0f / 16);
    std::vector<int> states = {5};
    std::vector<uint8_t> moves = {0};
    std::vector<float> qual;
    EXPECT_EQ(beam_search<float>(nullptr, guides.data(), posts.data(), 16, 0, 5, 100.0f, 2.0f,
                                 states, moves, qual, 1.0f),
              0.0f);
    EXPECT_TRUE(states.empty() && moves.empty());

    // A cut between 0 and 1 keeps nothing after the first block: every row reads as a step to A.
    std::vector<float> scores, back, uniform;
    integer_problem(16, 6, 1, scores, back, uniform);
    const Decoded d = decode(scores, back, uniform, 16, 5, 0.5f);
    EXPECT_EQ(d.states, std::vector<int>(6, 0));
    EXPECT_EQ(d.moves, std::vector<uint8_t>(6, 1));
}

TEST(BeamSearch, EightBitAndFloatAgreeOnTheSameValues) {
    for (unsigned seed = 1; seed <= 20; ++seed) {
        const size_t num_states = size_t(4) << (2 * (seed % 3));
        std::vector<float> scores, guides, posts;
        integer_problem(num_states, 12, seed, scores, guides, posts);
        const std::vector<signed char> scores8(scores.begin(), scores.end());
        const std::vector<signed char> guides8(guides.begin(), guides.end());
        for (size_t width : {size_t(1), size_t(3), size_t(16)}) {
            const Decoded f = decode(scores, guides, posts, num_states, width);
            const Decoded b = decode(scores8, guides8, posts, num_states, width);
            EXPECT_EQ(f.states, b.states);
            EXPECT_EQ(f.moves, b.moves);
            EXPECT_EQ(f.qual, b.qual);
            EXPECT_EQ(f.score, b.score);
            ASSERT_EQ(f.moves.size(), 12u);
            EXPECT_EQ(f.moves[0], 1);
            for (size_t block = 0; block < 12; ++block) {
                EXPECT_LE(f.moves[block], 1);
                EXPECT_GE(f.states[block], 0);
                EXPECT_LE(f.states[block], 3);
                const float* q = &f.qual[4 * block];
                EXPECT_NEAR(q[0] + q[1] + q[2] + q[3], 1.0f, 1e-6f);
            }
        }
    }
}

TEST(BeamSearch, QualityDoesNotDependOnTemperatureForTheSamePath) {
    std::vector<float> scores, guides, posts;
    integer_problem(64, 10, 3, scores, guides, posts);
    // Width 1 never merges, so the path cannot depend on the temperature.
    const Decoded cold = decode(scores, guides, posts, 64, 1, 100.0f, 0.0f);
    const Decoded warm = decode(scores, guides, posts, 64, 1, 100.0f, 1e-30f);
    EXPECT_EQ(cold.moves, warm.moves);
    EXPECT_EQ(cold.qual, warm.qual);
}

TEST(MergeEqualPaths, HashedFormMatchesTheScan) {
    std::mt19937 rng(17);
    std::vector<int32_t> buckets, chain;
    prepare_merge_table(256, buckets, chain);
    for (int trial = 0; trial < 300; ++trial) {
        const size_t w = 1 + rng() % 256;
        // Few distinct hashes, so that fronts hold repeated hashes and chains collide.
        const uint64_t distinct = 1 + rng() % 12;
        std::vector<BeamFrontElement> candidates(5 * w);
        for (size_t i = 0; i < candidates.size(); ++i) {
            const float score = rng() % 5 == 0 ? -FLT_MAX : float(int(rng() % 7) - 3);
            candidates[i] = {chainfasthash64(rng() % distinct, 0), score, state_t(rng() % 64),
                             uint8_t(i % w), i >= 4 * w};
        }
        std::vector<BeamFrontElement> scanned = candidates, hashed = candidates;
        const float temperature = trial % 3 == 0 ? 0.0f : 1.0f;
        merge_equal_paths_scan(scanned.data(), w, temperature);
        merge_equal_paths_hashed(hashed.data(), w, temperature, buckets, chain);
        for (size_t i = 0; i < candidates.size(); ++i) {
            ASSERT_EQ(std::memcmp(&scanned[i].score, &hashed[i].score, sizeof(float)), 0)
                << "trial " << trial << ", candidate " << i;
        }
    }
    // The table is left empty for the next block.
    EXPECT_EQ(std::count(buckets.begin(), buckets.end(), -1), std::ptrdiff_t(buckets.size()));
}
