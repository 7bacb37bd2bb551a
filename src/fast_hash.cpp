#include "fast_hash.h"

namespace {

// Assembles up to eight bytes little-endian, whatever the byte order of the machine.
uint64_t load_le(const unsigned char* bytes, size_t count) {
    uint64_t v = 0;
    for (size_t i = 0; i < count; ++i) {
        v |= uint64_t(bytes[i]) << (8 * i);
    }
    return v;
}

}  // namespace

uint64_t fasthash64(const void* buf, size_t len, uint64_t seed) {
    const uint64_t m = fasthash_multiplier;
    const unsigned char* pos = static_cast<const unsigned char*>(buf);
    const unsigned char* end = pos + (len / 8) * 8;
    uint64_t h = seed ^ (len * m);

    for (; pos != end; pos += 8) {
        h = (h ^ mix(load_le(pos, 8))) * m;
    }

    const size_t remainder = len % 8;
    if (remainder > 0) {
        h = (h ^ mix(load_le(end, remainder))) * m;
    }
    return mix(h);
}

uint32_t fasthash32(const void* buf, size_t len, uint32_t seed) {
    const uint64_t h = fasthash64(buf, len, seed);
    return uint32_t(h - (h >> 32));
}
