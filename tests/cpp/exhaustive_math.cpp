// Compares a vector form's expf or logf with the C library's on a range of float bit patterns, bit
// for bit (NaN payloads included).
// Usage: exhaustive_math avx2|avx512 exp|log FIRST END  (END exclusive, up to 2^32).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "crf_kernels.h"
#include "vector_forms.h"

int main(int argc, char** argv) {
    const VectorForm* form = nullptr;
    for (const VectorForm& known : vector_forms) {
        if (argc == 5 && std::string(argv[1]) == known.name) {
            form = &known;
        }
    }
    if (form == nullptr) {
        std::fprintf(stderr, "usage: %s avx2|avx512 exp|log FIRST END\n", argv[0]);
        return 2;
    }
    const std::string function = argv[2];
    const uint64_t first = std::strtoull(argv[3], nullptr, 0);
    const uint64_t end = std::strtoull(argv[4], nullptr, 0);
    if (!form->available()) {
        std::printf("the %s form is not exact here: nothing to compare\n", form->name);
        return 0;
    }
    const bool exp = function == "exp";
    const size_t chunk = size_t(1) << 16;
    std::vector<float> in(chunk), vector_out(chunk);
    uint64_t mismatches = 0;
    for (uint64_t start = first; start < end; start += chunk) {
        const size_t count = size_t(std::min<uint64_t>(chunk, end - start));
        for (size_t i = 0; i < count; ++i) {
            const uint32_t bits = uint32_t(start + i);
            std::memcpy(&in[i], &bits, sizeof bits);
        }
        (exp ? form->expf : form->logf)(in.data(), vector_out.data(), count);
        for (size_t i = 0; i < count; ++i) {
            const float scalar = exp ? expf(in[i]) : logf(in[i]);
            if (std::memcmp(&scalar, &vector_out[i], sizeof scalar) != 0) {
                if (mismatches < 10) {
                    std::printf("%sf(%a) [0x%08x]: library %a, vector %a\n", function.c_str(),
                                double(in[i]), unsigned(start + i), double(scalar),
                                double(vector_out[i]));
                }
                ++mismatches;
            }
        }
    }
    std::printf("%sf: %llu mismatches over [0x%llx, 0x%llx)\n", function.c_str(),
                static_cast<unsigned long long>(mismatches), static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(end));
    return mismatches == 0 ? 0 : 1;
}
