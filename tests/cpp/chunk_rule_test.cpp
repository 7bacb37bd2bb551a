// The rule that decides from shapes and element types alone whether a chunk can be decoded.
#include "chunk_rule.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using chunk_rule::Accepts;
using chunk_rule::ElementType;
using chunk_rule::Problem;
using chunk_rule::TensorInfo;

TensorInfo tensor(std::vector<int64_t> shape, ElementType type = ElementType::float32) {
    return {std::move(shape), type, std::string("torch.") + chunk_rule::type_name(type)};
}

struct Case {
    const char* name;
    TensorInfo scores;
    std::optional<TensorInfo> guides, posts;
    Accepts accepts;
    std::optional<Problem> problem;  // none: the chunk passes
    std::string text;                // the refusal, or the state count of a chunk that passes
};

TEST(ChunkRule, EachRuleRefusesInItsOwnWords) {
    const TensorInfo long_int = {{10, 80}, ElementType::other, "torch.int64"};
    const std::vector<Case> cases = {
        {"k=2", tensor({10, 80}), {}, {}, {}, {}, "16"},
        {"k=6", tensor({2, 5 * 4096}, ElementType::bfloat16), {}, {}, {}, {}, "4096"},
        {"no blocks", tensor({0, 20}), {}, {}, {}, {}, "4"},
        {"1-D",
         tensor({100}),
         {},
         {},
         {},
         Problem::shape,
         "scores must be 2-D (blocks, 5 * 4**k), not of shape (100,)"},
        {"3-D",
         tensor({2, 3, 20}),
         {},
         {},
         {},
         Problem::shape,
         "scores must be 2-D (blocks, 5 * 4**k), not of shape (2, 3, 20)"},
        {"negative",
         tensor({-1, 20}),
         {},
         {},
         {},
         Problem::shape,
         "a shape cannot hold the negative size -1"},
        {"int64",
         long_int,
         {},
         {},
         {},
         Problem::element_type,
         "scores must be float32, float16, bfloat16, float64 or int8, not torch.int64"},
        {"int8 scored",
         tensor({10, 80}, ElementType::int8),
         {},
         {},
         {false, false},
         Problem::element_type,
         "scores must be float32, float16, bfloat16 or float64, not torch.int8"},
        {"width",
         tensor({10, 40}),
         {},
         {},
         {},
         Problem::width,
         "40 scores per block is not 5 * 4**k"},
        {"k=7",
         tensor({2, 5 * 16384}),
         {},
         {},
         {},
         Problem::k_limit,
         "16384 states; at most 4096 (k <= 6) can be decoded"},
        {"k=7 scored", tensor({2, 5 * 16384}), {}, {}, {false, false}, {}, "16384"},
        {"rows",
         tensor({1LL << 31, 20}),
         {},
         {},
         {},
         Problem::size,
         "2147483648 blocks of 4 states are too large: their arrays need 2^31 entries or more; "
         "cut the chunk into shorter ones"},
        {"guides alone",
         tensor({10, 80}),
         tensor({176}),
         {},
         {},
         Problem::guides,
         "back_guides and posts must come together"},
        {"short posts",
         tensor({10, 80}),
         tensor({11, 16}),
         tensor({175}),
         {},
         Problem::guides,
         "posts holds 175 elements, fewer than the 176 it must hold for these scores"},
        {"int8 posts",
         tensor({10, 80}),
         tensor({176}),
         tensor({176}, ElementType::int8),
         {},
         Problem::mixed_kinds,
         "posts are torch.int8 and scores torch.float32: all must be floating or all int8"},
        {"float guides of int8",
         tensor({10, 80}, ElementType::int8),
         tensor({176}),
         tensor({176}, ElementType::int8),
         {},
         Problem::mixed_kinds,
         "back_guides are torch.float32 and scores torch.int8: all must be floating or all int8"},
        {"int64 guides",
         tensor({10, 80}),
         long_int,
         tensor({176}),
         {},
         Problem::element_type,
         "back_guides must be float32, float16, bfloat16 or float64 as the scores, not "
         "torch.int64"},
        {"mixed floats",
         tensor({10, 80}),
         tensor({176}, ElementType::float64),
         tensor({11, 16}, ElementType::float16),
         {},
         {},
         "16"},
        {"int8 all",
         tensor({10, 80}, ElementType::int8),
         tensor({176}, ElementType::int8),
         tensor({176}, ElementType::int8),
         {},
         {},
         "16"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            const auto size = chunk_rule::check_chunk(c.scores, c.guides ? &*c.guides : nullptr,
                                                      c.posts ? &*c.posts : nullptr, c.accepts);
            EXPECT_FALSE(c.problem) << "passed";
            EXPECT_EQ(std::to_string(size.num_states), c.text);
            EXPECT_EQ(size.num_blocks, c.scores.shape[0]);
        } catch (const chunk_rule::ChunkError& error) {
            EXPECT_EQ(c.problem, error.problem);
            EXPECT_EQ(error.what(), c.text);
        }
    }
}

TEST(ChunkRule, OnlyTheRowsReadAreSizedAndGuided) {
    const TensorInfo scores = tensor({1LL << 40, 20});
    const TensorInfo guides = tensor({44});
    const auto size = chunk_rule::check_chunk(scores, &guides, &guides, {}, 10);
    EXPECT_EQ(size.num_blocks, 10);
    EXPECT_THROW(chunk_rule::check_chunk(scores, &guides, &guides, {}, 11), chunk_rule::ChunkError);
}

TEST(ChunkRule, ElementTypesRoundTripByName) {
    for (const ElementType type :
         {ElementType::float32, ElementType::float16, ElementType::bfloat16, ElementType::float64,
          ElementType::int8}) {
        EXPECT_EQ(chunk_rule::type_named(chunk_rule::type_name(type)), type);
    }
    EXPECT_EQ(chunk_rule::type_named("complex64"), ElementType::other);
    const TensorInfo huge = tensor({1LL << 40, 1LL << 40});
    EXPECT_EQ(huge.numel(), INT64_MAX);
}

}  // namespace
