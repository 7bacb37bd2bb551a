// Shared by the C++ tests and the fuzzer: one decode of a whole problem through beam_search, with
// everything it produces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "beam_search.h"

struct Decoded {
    std::vector<int> states;
    std::vector<uint8_t> moves;
    std::vector<float> qual;
    float score = 0.0f;
};

// Decodes num_blocks blocks of `scores` with their `guides` and `posts` (float, or 8-bit codes)
// by beam_search at `width`; its exceptions pass through.
template <typename T, typename P>
Decoded decode_problem(const std::vector<T>& scores, const std::vector<T>& guides,
                       const std::vector<P>& posts, size_t num_states, size_t num_blocks,
                       size_t width, float beam_cut = 100.0f, float temperature = 1.0f) {
    Decoded decoded;
    decoded.qual.assign(num_blocks * 4, 0.0f);
    decoded.score =
        beam_search(scores.data(), guides.data(), posts.data(), num_states, num_blocks, width,
                    beam_cut, 2.0f, decoded.states, decoded.moves, decoded.qual, temperature);
    return decoded;
}
