// 64-bit hashing of byte buffers and of chained values.
//
// The decoder identifies a path by chaining the states it stepped into, so two candidates that emit
// the same bases can be recognised by one 64-bit comparison. All arithmetic wraps modulo 2^64.
#pragma once

#include <cstddef>
#include <cstdint>

// Multiplier of fasthash64 and chainfasthash64; also the seed of every decoder path.
constexpr uint64_t fasthash_multiplier = 0x880355f21e6d1965ULL;

inline uint64_t mix(uint64_t h) {
    h ^= h >> 23;
    h *= 0x2127599bf4325c37ULL;
    h ^= h >> 47;
    return h;
}

// Extends `hash` by one 64-bit value. Inline because the decoder calls it for every step candidate.
inline uint64_t chainfasthash64(uint64_t hash, uint64_t val) {
    return mix((hash ^ mix(val)) * fasthash_multiplier);
}

// Hash of `len` bytes read as little-endian 64-bit words, the last partial word zero-padded.
uint64_t fasthash64(const void* buf, size_t len, uint64_t seed);

// Low 32 bits of (h - (h >> 32)) for h = fasthash64(buf, len, seed).
uint32_t fasthash32(const void* buf, size_t len, uint32_t seed);
