// AVX2 forms of the CRF recursions that give the scalar code's results bit for bit (and, compiled
// again by crf_avx512.cpp, the same forms with 512-bit exponentials and logarithms).
//
// expf and logf follow, step for step in double precision, the algorithms of the C library's
// scalar functions (GNU libc 2.28 and later, whose algorithms and constants come from Arm's
// optimized-routines, MIT / Apache-2.0), with multiply-adds fused exactly where the library's
// FMA build fuses them. Verified against the library on all 2^32 inputs by the exhaustive test.
//
// Vectorising across states keeps every per-state sum in its slot order, so the recursions are
// exact too; only the row sums of the posteriors, which run across states, stay sequential.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "crf_kernels.h"

// crf_avx512.cpp compiles this file again with the exponentials' and logarithms' double-precision
// steps in 512-bit vectors: the same operations, lane for lane, so the same bits.
#ifdef CRF_FORM_AVX512
#define TARGET_FORM __attribute__((target("avx2,fma,avx512f,avx512vl,avx512dq")))
#define FORM(name) name##_avx512
#else
#define TARGET_FORM __attribute__((target("avx2,fma")))
#define FORM(name) name##_avx2
#endif

namespace {

constexpr int lanes = 8;

// 2^(i/32) for i = 0 .. 31, each minus i << 47 in its bit pattern.
alignas(64) const uint64_t exp_table[32] = {
    0x3ff0000000000000, 0x3fefd9b0d3158574, 0x3fefb5586cf9890f, 0x3fef9301d0125b51,
    0x3fef72b83c7d517b, 0x3fef54873168b9aa, 0x3fef387a6e756238, 0x3fef1e9df51fdee1,
    0x3fef06fe0a31b715, 0x3feef1a7373aa9cb, 0x3feedea64c123422, 0x3feece086061892d,
    0x3feebfdad5362a27, 0x3feeb42b569d4f82, 0x3feeab07dd485429, 0x3feea47eb03a5585,
    0x3feea09e667f3bcd, 0x3fee9f75e8ec5f74, 0x3feea11473eb0187, 0x3feea589994cce13,
    0x3feeace5422aa0db, 0x3feeb737b0cdc5e5, 0x3feec49182a3f090, 0x3feed503b23e255d,
    0x3feee89f995ad3ad, 0x3feeff76f2fb5e47, 0x3fef199bdd85529c, 0x3fef3720dcef9069,
    0x3fef5818dcfba487, 0x3fef7c97337b9b5f, 0x3fefa4afa2a490da, 0x3fefd0765b6e4540};

// 1/c and log(c) for the 16 subintervals of logf's reduction.
alignas(64) const double log_invc[16] = {0x1.661ec79f8f3bep+0, 0x1.571ed4aaf883dp+0,
                                         0x1.49539f0f010bp+0,  0x1.3c995b0b80385p+0,
                                         0x1.30d190c8864a5p+0, 0x1.25e227b0b8eap+0,
                                         0x1.1bb4a4a1a343fp+0, 0x1.12358f08ae5bap+0,
                                         0x1.0953f419900a7p+0, 0x1p+0,
                                         0x1.e608cfd9a47acp-1, 0x1.ca4b31f026aap-1,
                                         0x1.b2036576afce6p-1, 0x1.9c2d163a1aa2dp-1,
                                         0x1.886e6037841edp-1, 0x1.767dcf5534862p-1};
alignas(64) const double log_logc[16] = {-0x1.57bf7808caadep-2, -0x1.2bef0a7c06ddbp-2,
                                         -0x1.01eae7f513a67p-2, -0x1.b31d8a68224e9p-3,
                                         -0x1.6574f0ac07758p-3, -0x1.1aa2bc79c81p-3,
                                         -0x1.a4e76ce8c0e5ep-4, -0x1.1973c5a611cccp-4,
                                         -0x1.252f438e10c1ep-5, 0x0p+0,
                                         0x1.aa5aa5df25984p-5,  0x1.c5e53aa362eb4p-4,
                                         0x1.526e57720db08p-3,  0x1.bc2860d22477p-3,
                                         0x1.1058bc8a07ee1p-2,  0x1.4043057b6ee09p-2};

TARGET_FORM inline __m256d exp_core(__m256d xd) {
    const __m256d inv_ln2_n = _mm256_set1_pd(0x1.71547652b82fep+0 * 32);
    const __m256d shift = _mm256_set1_pd(0x1.8p+52);
    const __m256d c0 = _mm256_set1_pd(0x1.c6af84b912394p-5 / (32.0 * 32.0 * 32.0));
    const __m256d c1 = _mm256_set1_pd(0x1.ebfce50fac4f3p-3 / (32.0 * 32.0));
    const __m256d c2 = _mm256_set1_pd(0x1.62e42ff0c52d6p-1 / 32.0);
    __m256d kd = _mm256_fmadd_pd(inv_ln2_n, xd, shift);  // rounds to an integer, ties to even
    const __m256i ki = _mm256_castpd_si256(kd);
    kd = _mm256_sub_pd(kd, shift);
    const __m256d r = _mm256_fmsub_pd(inv_ln2_n, xd, kd);
    const __m256i index = _mm256_and_si256(ki, _mm256_set1_epi64x(31));
    __m256i t = _mm256_mask_i64gather_epi64(_mm256_setzero_si256(),
                                            reinterpret_cast<const long long*>(exp_table), index,
                                            _mm256_set1_epi64x(-1), 8);
    t = _mm256_add_epi64(t, _mm256_slli_epi64(ki, 47));
    const __m256d s = _mm256_castsi256_pd(t);
    const __m256d z2 = _mm256_fmadd_pd(c0, r, c1);
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(c2, r, _mm256_set1_pd(1.0));
    y = _mm256_fmadd_pd(z2, r2, y);
    return _mm256_mul_pd(y, s);
}

#ifdef CRF_FORM_AVX512
// Every lane: GCC 12 warns about the undefined vector that the unmasked forms of some
// instructions start from.
constexpr __mmask8 all_lanes = 0xff;

// exp_core on eight lanes, the table looked up by permutes instead of a gather.
TARGET_FORM inline __m512d exp_core(__m512d xd) {
    const __m512d inv_ln2_n = _mm512_set1_pd(0x1.71547652b82fep+0 * 32);
    const __m512d shift = _mm512_set1_pd(0x1.8p+52);
    const __m512d c0 = _mm512_set1_pd(0x1.c6af84b912394p-5 / (32.0 * 32.0 * 32.0));
    const __m512d c1 = _mm512_set1_pd(0x1.ebfce50fac4f3p-3 / (32.0 * 32.0));
    const __m512d c2 = _mm512_set1_pd(0x1.62e42ff0c52d6p-1 / 32.0);
    __m512d kd = _mm512_fmadd_pd(inv_ln2_n, xd, shift);  // rounds to an integer, ties to even
    const __m512i ki = _mm512_castpd_si512(kd);
    kd = _mm512_sub_pd(kd, shift);
    const __m512d r = _mm512_fmsub_pd(inv_ln2_n, xd, kd);
    // Entries 0-15 and 16-31 of the table, each picked by the low four bits of the index.
    const __m512i first_half = _mm512_permutex2var_epi64(_mm512_load_si512(exp_table), ki,
                                                         _mm512_load_si512(exp_table + 8));
    const __m512i second_half = _mm512_permutex2var_epi64(_mm512_load_si512(exp_table + 16), ki,
                                                          _mm512_load_si512(exp_table + 24));
    __m512i t = _mm512_mask_blend_epi64(_mm512_test_epi64_mask(ki, _mm512_set1_epi64(16)),
                                        first_half, second_half);
    t = _mm512_add_epi64(t, _mm512_maskz_slli_epi64(all_lanes, ki, 47));
    const __m512d s = _mm512_castsi512_pd(t);
    const __m512d z2 = _mm512_fmadd_pd(c0, r, c1);
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = _mm512_fmadd_pd(c2, r, _mm512_set1_pd(1.0));
    y = _mm512_fmadd_pd(z2, r2, y);
    return _mm512_mul_pd(y, s);
}
#endif

TARGET_FORM inline __m256 exp8(__m256 x) {
#ifdef CRF_FORM_AVX512
    __m256 y = _mm512_maskz_cvtpd_ps(all_lanes, exp_core(_mm512_maskz_cvtps_pd(all_lanes, x)));
#else
    const __m128 low = _mm256_cvtpd_ps(exp_core(_mm256_cvtps_pd(_mm256_castps256_ps128(x))));
    const __m128 high = _mm256_cvtpd_ps(exp_core(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1))));
    __m256 y = _mm256_set_m128(high, low);
#endif
    const __m256 overflow = _mm256_cmp_ps(x, _mm256_set1_ps(0x1.62e42ep6f), _CMP_GT_OQ);
    const __m256 underflow = _mm256_cmp_ps(x, _mm256_set1_ps(-0x1.9fe368p6f), _CMP_LT_OQ);
    const __m256 nan = _mm256_cmp_ps(x, x, _CMP_UNORD_Q);
    if (_mm256_movemask_ps(_mm256_or_ps(_mm256_or_ps(overflow, underflow), nan)) == 0) {
        return y;
    }
    // The library's special cases: overflow to infinity, underflow (and -inf) to 0, x + x for
    // NaN and +inf.
    y = _mm256_blendv_ps(y, _mm256_set1_ps(std::numeric_limits<float>::infinity()), overflow);
    y = _mm256_blendv_ps(y, _mm256_setzero_ps(), underflow);
    return _mm256_blendv_ps(y, _mm256_add_ps(x, x), nan);
}

TARGET_FORM inline __m256d log_core(__m128i ix, __m128i tmp) {
    const __m256d ln2 = _mm256_set1_pd(0x1.62e42fefa39efp-1);
    const __m256d a0 = _mm256_set1_pd(-0x1.00ea348b88334p-2);
    const __m256d a1 = _mm256_set1_pd(0x1.5575b0be00b6ap-2);
    const __m256d a2 = _mm256_set1_pd(-0x1.ffffef20a4123p-2);
    const __m128i i = _mm_and_si128(_mm_srli_epi32(tmp, 19), _mm_set1_epi32(15));
    const __m256d k = _mm256_cvtepi32_pd(_mm_srai_epi32(tmp, 23));
    const __m128i iz = _mm_sub_epi32(ix, _mm_and_si128(tmp, _mm_set1_epi32(int(0xff800000u))));
    const __m256d z = _mm256_cvtps_pd(_mm_castsi128_ps(iz));
    const __m256d all = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
    const __m256d invc = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), log_invc, i, all, 8);
    const __m256d logc = _mm256_mask_i32gather_pd(_mm256_setzero_pd(), log_logc, i, all, 8);
    const __m256d r = _mm256_fmsub_pd(z, invc, _mm256_set1_pd(1.0));
    const __m256d y0 = _mm256_fmadd_pd(k, ln2, logc);
    const __m256d r2 = _mm256_mul_pd(r, r);
    __m256d y = _mm256_fmadd_pd(a1, r, a2);
    y = _mm256_fmadd_pd(a0, r2, y);
    return _mm256_fmadd_pd(y, r2, _mm256_add_pd(y0, r));
}

#ifdef CRF_FORM_AVX512
// log_core on eight lanes, the tables looked up by permutes instead of gathers.
TARGET_FORM inline __m512d log_core(__m256i ix, __m256i tmp) {
    const __m512d ln2 = _mm512_set1_pd(0x1.62e42fefa39efp-1);
    const __m512d a0 = _mm512_set1_pd(-0x1.00ea348b88334p-2);
    const __m512d a1 = _mm512_set1_pd(0x1.5575b0be00b6ap-2);
    const __m512d a2 = _mm512_set1_pd(-0x1.ffffef20a4123p-2);
    const __m512i i = _mm512_maskz_cvtepu32_epi64(
        all_lanes, _mm256_and_si256(_mm256_srli_epi32(tmp, 19), _mm256_set1_epi32(15)));
    const __m512d k = _mm512_maskz_cvtepi32_pd(all_lanes, _mm256_srai_epi32(tmp, 23));
    const __m256i iz =
        _mm256_sub_epi32(ix, _mm256_and_si256(tmp, _mm256_set1_epi32(int(0xff800000u))));
    const __m512d z = _mm512_maskz_cvtps_pd(all_lanes, _mm256_castsi256_ps(iz));
    const __m512d invc =
        _mm512_permutex2var_pd(_mm512_load_pd(log_invc), i, _mm512_load_pd(log_invc + 8));
    const __m512d logc =
        _mm512_permutex2var_pd(_mm512_load_pd(log_logc), i, _mm512_load_pd(log_logc + 8));
    const __m512d r = _mm512_fmsub_pd(z, invc, _mm512_set1_pd(1.0));
    const __m512d y0 = _mm512_fmadd_pd(k, ln2, logc);
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d y = _mm512_fmadd_pd(a1, r, a2);
    y = _mm512_fmadd_pd(a0, r2, y);
    return _mm512_fmadd_pd(y, r2, _mm512_add_pd(y0, r));
}

TARGET_FORM inline __m256 log_normal8(__m256i ix) {
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(0x3f330000));
    return _mm512_maskz_cvtpd_ps(all_lanes, log_core(ix, tmp));
}
#else
TARGET_FORM inline __m256 log_normal8(__m256i ix) {
    const __m256i tmp = _mm256_sub_epi32(ix, _mm256_set1_epi32(0x3f330000));
    const __m128 low =
        _mm256_cvtpd_ps(log_core(_mm256_castsi256_si128(ix), _mm256_castsi256_si128(tmp)));
    const __m128 high = _mm256_cvtpd_ps(
        log_core(_mm256_extracti128_si256(ix, 1), _mm256_extracti128_si256(tmp, 1)));
    return _mm256_set_m128(high, low);
}
#endif

TARGET_FORM inline __m256 log8(__m256 x) {
    const __m256i ix = _mm256_castps_si256(x);
    // Positive normal numbers, the common case, need none of the special cases below.
    const __m256i normal = _mm256_and_si256(_mm256_cmpgt_epi32(ix, _mm256_set1_epi32(0x007fffff)),
                                            _mm256_cmpgt_epi32(_mm256_set1_epi32(0x7f800000), ix));
    if (_mm256_movemask_ps(_mm256_castsi256_ps(normal)) == 0xff) {
        return log_normal8(ix);
    }
    // Positive subnormals are scaled into the normal range first.
    const __m256i subnormal =
        _mm256_and_si256(_mm256_cmpgt_epi32(ix, _mm256_setzero_si256()),
                         _mm256_cmpgt_epi32(_mm256_set1_epi32(0x00800000), ix));
    const __m256i scaled =
        _mm256_sub_epi32(_mm256_castps_si256(_mm256_mul_ps(x, _mm256_set1_ps(0x1p23f))),
                         _mm256_set1_epi32(23 << 23));
    __m256 y = log_normal8(_mm256_blendv_epi8(ix, scaled, subnormal));

    // The library's special cases: log(+-0) = -inf, log(+inf) = +inf, and (x - x) / (x - x) for
    // NaN and negative x.
    const __m256 invalid = _mm256_div_ps(_mm256_sub_ps(x, x), _mm256_sub_ps(x, x));
    const __m256i negative_or_nan =
        _mm256_or_si256(_mm256_cmpgt_epi32(_mm256_setzero_si256(), ix),
                        _mm256_castps_si256(_mm256_cmp_ps(x, x, _CMP_UNORD_Q)));
    y = _mm256_blendv_ps(y, invalid, _mm256_castsi256_ps(negative_or_nan));
    y = _mm256_blendv_ps(
        y, x, _mm256_cmp_ps(x, _mm256_set1_ps(std::numeric_limits<float>::infinity()), _CMP_EQ_OQ));
    return _mm256_blendv_ps(y, _mm256_set1_ps(-std::numeric_limits<float>::infinity()),
                            _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_EQ_OQ));
}

// The running maximum of the scalar kernels: a slot replaces it only when strictly greater, so a
// NaN never does.
TARGET_FORM inline __m256 keep_greater(__m256 max_val, __m256 v) {
    return _mm256_blendv_ps(max_val, v, _mm256_cmp_ps(max_val, v, _CMP_LT_OQ));
}

// States are processed in chunks, pass by pass (slots, then their maximum, then one exponential per
// slot, then the log), so that each loop is short and its iterations overlap: one long loop body
// holding all of it would be bound by its latency.
constexpr int chunk = 256;

// The five slots of each state in a chunk, in slot order: stay, then the steps for A, C, G, T.
struct Slots {
    alignas(32) float value[5][chunk];
};

// Scores that the next chunk will read, asked for a cache line at a time while this chunk's
// exponentials run, which issue no loads of their own: the reading of the scores from memory then
// overlaps the arithmetic instead of following it.
struct NextScores {
    const char* next = nullptr;
    const char* end = nullptr;

    NextScores() = default;
    // Up to `wanted` floats from `first`, not past `scores_end`.
    NextScores(const float* first, size_t wanted, const float* scores_end)
        : next(reinterpret_cast<const char*>(first)),
          end(reinterpret_cast<const char*>(first + std::min(wanted, size_t(scores_end - first)))) {
    }

    void ask_for_one_line() {
        if (next < end) {
            _mm_prefetch(next, _MM_HINT_T0);
            next += 64;
        }
    }
};

// out[i] = log_sum_exp of the five slots of state i, with the scalar kernel's maximum and its sum
// in slot order; when `masked`, -inf where all five slots are -inf. Every other exponential step
// asks for a line of `upcoming` (a chunk's 5 * chunk scores are 80 lines, as many as a chunk's
// 160 steps ask for).
TARGET_FORM void log_sum_exp5(const Slots& slots, int count, float* out, NextScores upcoming,
                              bool masked) {
    alignas(32) float max_val[chunk];
    alignas(32) float res[chunk];
    for (int i = 0; i < count; i += lanes) {
        __m256 m = _mm256_load_ps(&slots.value[0][i]);
        for (int k = 1; k < 5; ++k) {
            m = keep_greater(m, _mm256_load_ps(&slots.value[k][i]));
        }
        _mm256_store_ps(&max_val[i], m);
        _mm256_store_ps(&res[i], _mm256_setzero_ps());
    }
    for (int k = 0; k < 5; ++k) {
        for (int i = 0; i < count; i += lanes) {
            if (i % (2 * lanes) == 0) {
                upcoming.ask_for_one_line();
            }
            const __m256 e = exp8(
                _mm256_sub_ps(_mm256_load_ps(&slots.value[k][i]), _mm256_load_ps(&max_val[i])));
            _mm256_store_ps(&res[i], _mm256_add_ps(_mm256_load_ps(&res[i]), e));
        }
    }
    const __m256 negative_infinity = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    for (int i = 0; i < count; i += lanes) {
        const __m256 m = _mm256_load_ps(&max_val[i]);
        __m256 y = _mm256_add_ps(log8(_mm256_load_ps(&res[i])), m);
        if (masked) {
            y = _mm256_blendv_ps(y, negative_infinity,
                                 _mm256_cmp_ps(m, negative_infinity, _CMP_EQ_OQ));
        }
        _mm256_storeu_ps(out + i, y);
    }
}

// The largest of `count` floats as max_element finds it: the first if it is NaN, else the
// largest that is not (of two equal zeros, which one is found does not matter to shift_row).
TARGET_FORM float row_max(const float* row, int count) {
    __m256 lane_max = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    for (int first = 0; first < count; first += lanes) {
        lane_max = keep_greater(lane_max, _mm256_loadu_ps(row + first));
    }
    alignas(32) float lane_maxima[lanes];
    _mm256_store_ps(lane_maxima, lane_max);
    float max_val = row[0];
    if (!std::isnan(max_val)) {
        for (float candidate : lane_maxima) {
            if (max_val < candidate) {
                max_val = candidate;
            }
        }
    }
    return max_val;
}

TARGET_FORM inline __m256 gather(const float* base, __m256i index) {
    return _mm256_mask_i32gather_ps(_mm256_setzero_ps(), base, index,
                                    _mm256_castsi256_ps(_mm256_set1_epi32(-1)), 4);
}

TARGET_FORM inline __m256 add8(const float* a, const float* b) {
    return _mm256_add_ps(_mm256_loadu_ps(a), _mm256_loadu_ps(b));
}

#ifndef CRF_FORM_AVX512
bool bits_equal(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
#endif

}  // namespace

#ifdef CRF_FORM_AVX512
bool exact_avx512_available() {
    return exact_avx2_available() && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
}
#else
bool exact_avx2_available() {
    if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
        return false;
    }
    // The library's FMA and SSE2 builds of expf disagree on these two inputs (and on no others).
    const volatile float first = 0x1.04845ep+5f, second = -0x1.f8cbb2p+5f;
    return bits_equal(expf(first), 0x1.f93e38p+46f) && bits_equal(expf(second), 0x1.f45326p-92f);
}
#endif

TARGET_FORM void FORM(expf)(const float* in, float* out, size_t count) {
    size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        _mm256_storeu_ps(out + i, exp8(_mm256_loadu_ps(in + i)));
    }
    for (; i < count; ++i) {
        out[i] = expf(in[i]);
    }
}

TARGET_FORM void FORM(logf)(const float* in, float* out, size_t count) {
    size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        _mm256_storeu_ps(out + i, log8(_mm256_loadu_ps(in + i)));
    }
    for (; i < count; ++i) {
        out[i] = logf(in[i]);
    }
}

// out[k] = log(exp(first[k]) + exp(second[k])) for the rows of doubles of the loss's numerator,
// as crf_target.cpp's scalar form takes it: the larger term plus log(1 + exp(gap)) with exp and
// log in float, where a gap below -88 (or no term at all) is marked by the argument 1 and its
// exponential, above 1, read as 0. max and min take their operands in the order that gives
// std::max and std::min's choice.
TARGET_FORM void FORM(log_add_rows)(const double* first, const double* second, double* out,
                                    size_t count) {
    constexpr double none = -std::numeric_limits<double>::infinity();
    size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        __m256d top[2];
        __m128 argument[2];
        for (int half = 0; half < 2; ++half) {
            const __m256d a = _mm256_loadu_pd(first + i + 4 * half);
            const __m256d b = _mm256_loadu_pd(second + i + 4 * half);
            top[half] = _mm256_max_pd(b, a);
            const __m256d gap = _mm256_sub_pd(_mm256_min_pd(b, a), top[half]);
            const __m256d marked =
                _mm256_or_pd(_mm256_cmp_pd(gap, _mm256_set1_pd(-88.0), _CMP_LT_OQ),
                             _mm256_cmp_pd(top[half], _mm256_set1_pd(none), _CMP_EQ_OQ));
            argument[half] = _mm256_cvtpd_ps(_mm256_blendv_pd(gap, _mm256_set1_pd(1.0), marked));
        }
        __m256 weight = exp8(_mm256_set_m128(argument[1], argument[0]));
        weight = _mm256_andnot_ps(_mm256_cmp_ps(weight, _mm256_set1_ps(1.0f), _CMP_GT_OQ), weight);
        const __m256 log_sum = log8(_mm256_add_ps(weight, _mm256_set1_ps(1.0f)));
        _mm256_storeu_pd(out + i,
                         _mm256_add_pd(top[0], _mm256_cvtps_pd(_mm256_castps256_ps128(log_sum))));
        _mm256_storeu_pd(out + i + 4,
                         _mm256_add_pd(top[1], _mm256_cvtps_pd(_mm256_extractf128_ps(log_sum, 1))));
    }
    log_add_rows_scalar(first + i, second + i, out + i, count - i);
}

namespace {

// exp(logs[j] - top) for eight lanes in float, those below e^-88 read as 0 (see edge_weights).
TARGET_FORM inline __m128 weight_argument(__m256d gap) {
    return _mm256_cvtpd_ps(_mm256_blendv_pd(gap, _mm256_set1_pd(1.0),
                                            _mm256_cmp_pd(gap, _mm256_set1_pd(-88.0), _CMP_LT_OQ)));
}

TARGET_FORM inline __m256 edge_weights8(const double* logs, __m256d top) {
    const __m128 low = weight_argument(_mm256_sub_pd(_mm256_loadu_pd(logs), top));
    const __m128 high = weight_argument(_mm256_sub_pd(_mm256_loadu_pd(logs + 4), top));
    const __m256 weight = exp8(_mm256_set_m128(high, low));
    return _mm256_andnot_ps(_mm256_cmp_ps(weight, _mm256_set1_ps(1.0f), _CMP_GT_OQ), weight);
}

}  // namespace

// The weights of a block's edges in the loss numerator's backward pass, as crf_target.cpp's scalar
// form takes them: stays[k] = exp(edges[k] - top) and steps[k] = exp(step_edges[k] - top) in
// float, those below e^-88 read as 0; returns the sum of double(stays[k]) + double(steps[k]),
// added in the order of k.
TARGET_FORM double FORM(edge_weights)(const double* edges, const double* step_edges, double top,
                                      float* stays, float* steps, size_t count) {
    const __m256d top_vector = _mm256_set1_pd(top);
    double sum = 0;
    size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        const __m256 stay = edge_weights8(edges + i, top_vector);
        const __m256 step = edge_weights8(step_edges + i, top_vector);
        _mm256_storeu_ps(stays + i, stay);
        _mm256_storeu_ps(steps + i, step);
        alignas(32) double pairs[lanes];
        _mm256_store_pd(pairs, _mm256_add_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(stay)),
                                             _mm256_cvtps_pd(_mm256_castps256_ps128(step))));
        _mm256_store_pd(pairs + 4, _mm256_add_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(stay, 1)),
                                                 _mm256_cvtps_pd(_mm256_extractf128_ps(step, 1))));
        for (double pair : pairs) sum += pair;
    }
    return edge_weights_scalar(edges + i, step_edges + i, top, stays + i, steps + i, count - i,
                               sum);
}

namespace {

// The backward recursion's lanes: lane 4p + o holds state o * msb + s + p, two neighbouring
// states s, s + 1 (s even) for each oldest base o. All eight step to the same destinations
// 4s + b and 4s + 4 + b, so for each base b their step scores are two runs of four floats (at
// 20s + 1 + 5b and 20s + 21 + 5b) and their guides two values.
struct BackLanes {
    int msb;
    __m256i stay_offset;  // the index of its stay's score less 5s

    TARGET_FORM explicit BackLanes(int num_states) : msb(num_states / 4) {
        const __m256i state =  // the lane's state less s
            _mm256_setr_epi32(0, msb, 2 * msb, 3 * msb, 1, msb + 1, 2 * msb + 1, 3 * msb + 1);
        stay_offset = _mm256_mullo_epi32(state, _mm256_set1_epi32(5));
    }
};

// The lanes of pair s (s even) from a row of states: four pairs of neighbours, loaded whole and
// interleaved (a gather of the same eight values is several times slower).
TARGET_FORM inline __m256 load_back_lanes(const float* row, int msb, int s) {
    const __m128 oldest_01 =
        _mm_loadh_pi(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(row + s))),
                     reinterpret_cast<const __m64*>(row + msb + s));
    const __m128 oldest_23 =
        _mm_loadh_pi(_mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(row + 2 * msb + s))),
                     reinterpret_cast<const __m64*>(row + 3 * msb + s));
    const __m128 firsts = _mm_shuffle_ps(oldest_01, oldest_23, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 seconds = _mm_shuffle_ps(oldest_01, oldest_23, _MM_SHUFFLE(3, 1, 3, 1));
    return _mm256_set_m128(seconds, firsts);
}

// The five slots of the `count` lanes of a chunk from pair `pair_start`: each state's score plus
// the next boundary's guide of its destination.
TARGET_FORM inline void back_slots(const BackLanes& lanes_of, const float* timestep_scores,
                                   const float* next_guides, int pair_start, int count,
                                   Slots& slots) {
    for (int i = 0; i < count; i += lanes) {
        const int s = pair_start + i / 4;
        const __m256 stay = gather(timestep_scores + 5 * s, lanes_of.stay_offset);
        const __m256 stay_guides = load_back_lanes(next_guides, lanes_of.msb, s);
        _mm256_store_ps(&slots.value[0][i], _mm256_add_ps(stay, stay_guides));
        const float* step_scores = timestep_scores + 20 * s + 1;
        const __m256 guides = _mm256_loadu_ps(next_guides + 4 * s);
        for (int base = 0; base < 4; ++base) {
            const __m256 step =
                _mm256_loadu2_m128(step_scores + 20 + 5 * base, step_scores + 5 * base);
            const __m256 step_guides = _mm256_permutevar8x32_ps(
                guides,
                _mm256_setr_epi32(base, base, base, base, 4 + base, 4 + base, 4 + base, 4 + base));
            _mm256_store_ps(&slots.value[1 + base][i], _mm256_add_ps(step, step_guides));
        }
    }
}

// Back from lanes to states: each oldest base gets a pair of neighbours.
TARGET_FORM inline void store_back_lanes(const float* result, int msb, int pair_start, int count,
                                         float* guides) {
    for (int i = 0; i < count; i += lanes) {
        const int s = pair_start + i / 4;
        const __m128 first = _mm_load_ps(&result[i]);       // s for o = 0 .. 3
        const __m128 second = _mm_load_ps(&result[i + 4]);  // s + 1 for o = 0 .. 3
        const __m128 low = _mm_unpacklo_ps(first, second);
        const __m128 high = _mm_unpackhi_ps(first, second);
        _mm_storel_pi(reinterpret_cast<__m64*>(guides + s), low);
        _mm_storeh_pi(reinterpret_cast<__m64*>(guides + msb + s), low);
        _mm_storel_pi(reinterpret_cast<__m64*>(guides + 2 * msb + s), high);
        _mm_storeh_pi(reinterpret_cast<__m64*>(guides + 3 * msb + s), high);
    }
}

// The backward recursion; `masked` and `row_shifts` as for stable_back_guides_scalar.
TARGET_FORM void backward_recursion(const float* scores, float* back_guides, float* row_shifts,
                                    int num_timesteps, int num_states, bool masked) {
    const size_t row = size_t(num_states);
    const BackLanes lanes_of(num_states);
    const int msb = lanes_of.msb;
    std::fill(back_guides + size_t(num_timesteps) * row,
              back_guides + size_t(num_timesteps + 1) * row, 0.0f);
    if (row_shifts != nullptr) {
        row_shifts[num_timesteps] = 0.0f;
    }
    Slots slots;
    alignas(32) float result[chunk];
    for (int timestep = num_timesteps - 1; timestep >= 0; --timestep) {
        const float* next_timestep_guides = back_guides + size_t(timestep + 1) * row;
        float* this_timestep_guides = back_guides + size_t(timestep) * row;
        const float* timestep_scores = scores + size_t(timestep) * row * 5;
        // A chunk covers chunk / 8 pairs of neighbouring states.
        for (int pair_start = 0; pair_start < msb; pair_start += chunk / 4) {
            const int count = std::min(chunk, 4 * (msb - pair_start));
            back_slots(lanes_of, timestep_scores, next_timestep_guides, pair_start, count, slots);
            // Each chunk asks for its share of the row before, which comes next.
            NextScores upcoming;
            if (timestep > 0) {
                const float* share = scores + (size_t(timestep - 1) * row + 4 * pair_start) * 5;
                upcoming = NextScores(share, 5 * size_t(count), timestep_scores);
            }
            log_sum_exp5(slots, count, result, upcoming, masked);
            store_back_lanes(result, msb, pair_start, count, this_timestep_guides);
        }
        if (row_shifts != nullptr) {
            row_shifts[timestep] = FORM(shift_row)(this_timestep_guides, num_states);
        }
    }
}

// The five scores of each of eight consecutive destinations (40 contiguous floats) as five vectors
// of eight: slot k of lane l is scores[5l + k]. Each 128-bit half takes four destinations (20
// floats, five rows of four) and transposes them with immediate blends along the diagonals and
// one in-lane rotation per slot: row r holds slot (4r + i) % 5 of destination (4r + i) / 5 at
// position i.
TARGET_FORM inline void transpose_scores(const float* scores, __m256 (&slot)[5]) {
    __m256 r[5];
    for (int j = 0; j < 5; ++j) {
        r[j] = _mm256_loadu2_m128(scores + 20 + 4 * j, scores + 4 * j);
    }
    // Slot 0 of destinations 0..3 is at row 0 position 0, row 1 position 1, row 2 position 2, row
    // 3 position 3; each other slot is one such diagonal, rotated.
    slot[0] =
        _mm256_blend_ps(_mm256_blend_ps(r[0], r[1], 0x22), _mm256_blend_ps(r[2], r[3], 0x88), 0xcc);
    const __m256 s1 =
        _mm256_blend_ps(_mm256_blend_ps(r[0], r[1], 0x44), _mm256_blend_ps(r[2], r[4], 0x11), 0x99);
    slot[1] = _mm256_permute_ps(s1, _MM_SHUFFLE(0, 3, 2, 1));
    const __m256 s2 =
        _mm256_blend_ps(_mm256_blend_ps(r[0], r[1], 0x88), _mm256_blend_ps(r[3], r[4], 0x22), 0x33);
    slot[2] = _mm256_permute_ps(s2, _MM_SHUFFLE(1, 0, 3, 2));
    const __m256 s3 =
        _mm256_blend_ps(_mm256_blend_ps(r[0], r[2], 0x11), _mm256_blend_ps(r[3], r[4], 0x44), 0x66);
    slot[3] = _mm256_permute_ps(s3, _MM_SHUFFLE(2, 1, 0, 3));
    slot[4] =
        _mm256_blend_ps(_mm256_blend_ps(r[1], r[2], 0x22), _mm256_blend_ps(r[3], r[4], 0x88), 0xcc);
}

// The forward recursion; `masked` and `row_shifts` as for stable_fwd_guides_scalar. It starts
// from zeros, or with `from_given` from the row (and shift) that fwd_guides holds.
TARGET_FORM void forward_recursion(const float* scores, float* fwd_guides, float* row_shifts,
                                   int num_timesteps, int num_states, bool masked,
                                   bool from_given = false) {
    const size_t row = size_t(num_states);
    if (!from_given) {
        std::fill(fwd_guides, fwd_guides + row, 0.0f);
        if (row_shifts != nullptr) {
            row_shifts[0] = 0.0f;
        }
    }
    const int msb = num_states / 4;
    // Destinations d .. d + 7 come from d / 4 and d / 4 + 1 in their first and second halves.
    const __m256i halves = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    const float* const scores_end = scores + size_t(num_timesteps) * row * 5;
    Slots slots;
    for (int timestep = 0; timestep < num_timesteps; ++timestep) {
        const float* last_timestep_guides = fwd_guides + size_t(timestep) * row;
        float* this_timestep_guides = fwd_guides + size_t(timestep + 1) * row;
        const float* timestep_scores = scores + size_t(timestep) * row * 5;
        for (int chunk_start = 0; chunk_start < num_states; chunk_start += chunk) {
            const int count = std::min(chunk, num_states - chunk_start);
            for (int i = 0; i < count; i += lanes) {
                const int d = chunk_start + i;
                __m256 slot[5];
                transpose_scores(timestep_scores + 5 * d, slot);
                _mm256_store_ps(&slots.value[0][i],
                                _mm256_add_ps(slot[0], _mm256_loadu_ps(last_timestep_guides + d)));
                for (int base = 0; base < 4; ++base) {
                    const __m128 sources =
                        _mm_castpd_ps(_mm_load_sd(reinterpret_cast<const double*>(
                            last_timestep_guides + d / 4 + base * msb)));
                    const __m256 guides =
                        _mm256_permutevar8x32_ps(_mm256_castps128_ps256(sources), halves);
                    _mm256_store_ps(&slots.value[1 + base][i],
                                    _mm256_add_ps(slot[1 + base], guides));
                }
            }
            // The scores read next follow this chunk's.
            const float* following = timestep_scores + 5 * size_t(chunk_start + count);
            log_sum_exp5(slots, count, this_timestep_guides + chunk_start,
                         NextScores(following, 5 * size_t(chunk), scores_end), masked);
        }
        if (row_shifts != nullptr) {
            row_shifts[timestep + 1] = FORM(shift_row)(this_timestep_guides, num_states);
        }
    }
}

}  // namespace

TARGET_FORM void FORM(best_path_shifted)(const float* scores, float* shifted, int num_timesteps,
                                         int num_states) {
    const size_t row = size_t(num_states);
    const int msb = num_states / 4;
    const __m256i halves = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1);
    std::vector<float> before(row, 0.0f), after(row);
    for (int timestep = 0; timestep < num_timesteps; ++timestep) {
        const float* timestep_scores = scores + size_t(timestep) * row * 5;
        for (int d = 0; d < num_states; d += lanes) {
            __m256 slot[5];
            transpose_scores(timestep_scores + 5 * d, slot);
            __m256 best = _mm256_add_ps(slot[0], _mm256_loadu_ps(before.data() + d));
            for (int base = 0; base < 4; ++base) {
                const __m128 sources = _mm_castpd_ps(_mm_load_sd(
                    reinterpret_cast<const double*>(before.data() + d / 4 + base * msb)));
                const __m256 guides =
                    _mm256_permutevar8x32_ps(_mm256_castps128_ps256(sources), halves);
                best = keep_greater(best, _mm256_add_ps(slot[1 + base], guides));
            }
            _mm256_storeu_ps(after.data() + d, best);
        }
        const __m256 shift = _mm256_set1_ps(FORM(shift_row)(after.data(), num_states));
        float* out = shifted + size_t(timestep) * row * 5;
        for (size_t i = 0; i < row * 5; i += lanes) {
            _mm256_storeu_ps(out + i, _mm256_sub_ps(_mm256_loadu_ps(timestep_scores + i), shift));
        }
        before.swap(after);
    }
}

namespace {

// A finished block's row of posteriors on its way to the gradient, a vector at a time between the
// next block's exponentials: its writes to memory then overlap the arithmetic instead of stalling
// it in a burst at the end of each block.
struct PendingRow {
    const float* from = nullptr;
    float* to = nullptr;
    size_t left = 0;  // a multiple of 8

    TARGET_FORM void start(const float* row, float* destination, size_t count) {
        finish();
        from = row;
        to = destination;
        left = count;
    }
    TARGET_FORM void write_one() {
        if (left != 0) {
            _mm256_storeu_ps(to, _mm256_loadu_ps(from));
            from += lanes;
            to += lanes;
            left -= lanes;
        }
    }
    TARGET_FORM void finish() {
        while (left != 0) {
            write_one();
        }
    }
};

}  // namespace

TARGET_FORM float FORM(edge_norm)(const float* fwd, const float* back, float shift,
                                  int num_states) {
    __m256 lane_top = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    for (int s = 0; s < num_states; s += lanes) {
        lane_top = _mm256_max_ps(lane_top, add8(fwd + s, back + s));
    }
    alignas(32) float tops[lanes];
    _mm256_store_ps(tops, lane_top);
    // Which of two equal zeros is the top changes no difference below.
    const float top = *std::max_element(tops, tops + lanes);
    const __m256 top_vector = _mm256_set1_ps(top);
    __m256d low = _mm256_setzero_pd(), high = _mm256_setzero_pd();  // partial sums 0-3, 4-7
    for (int s = 0; s < num_states; s += lanes) {
        const __m256 e = exp8(_mm256_sub_ps(add8(fwd + s, back + s), top_vector));
        low = _mm256_add_pd(low, _mm256_cvtps_pd(_mm256_castps256_ps128(e)));
        high = _mm256_add_pd(high, _mm256_cvtps_pd(_mm256_extractf128_ps(e, 1)));
    }
    alignas(32) double pairs[4];
    _mm256_store_pd(pairs, _mm256_add_pd(low, high));
    const double sum = (pairs[0] + pairs[1]) + (pairs[2] + pairs[3]);
    return float(double(shift) + double(top) + std::log(sum));
}

TARGET_FORM void FORM(edge_posts)(const float* scores, const float* fwd, const float* fwd_shifts,
                                  float scale, float* out, int num_timesteps, int num_states,
                                  RowHook<float> hook) {
    const size_t row = size_t(num_states);
    const BackLanes lanes_of(num_states);
    const int msb = lanes_of.msb;
    const __m256 scale_vector = _mm256_set1_ps(scale);
    const __m256 negative_infinity = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    // Two rows of posteriors: one being computed, the one before on its way out.
    std::vector<float> rows(2 * row, 0.0f), block_rows(10 * row);
    PendingRow pending;
    float* next = rows.data();
    float* prev = rows.data() + row;
    Slots slots;
    alignas(32) float tops[chunk], dead[chunk], sums[chunk], result[chunk];
    float block_norm = FORM(edge_norm)(fwd + size_t(num_timesteps) * row, next,
                                       fwd_shifts[num_timesteps], num_states);
    for (int timestep = num_timesteps - 1; timestep >= 0; --timestep) {
        const float* from = fwd + size_t(timestep) * row;
        const __m256 norm = _mm256_set1_ps(block_norm);
        __m256d mass_low = _mm256_setzero_pd(), mass_high = _mm256_setzero_pd();  // lanes 0-3, 4-7
        const float* timestep_scores = scores + size_t(timestep) * row * 5;
        // The posteriors of a block are gathered in cache and written out during the next block:
        // written straight to `out`, each line of the gradient would be read first, scattered.
        float* timestep_out = block_rows.data() + size_t(timestep % 2) * 5 * row;
        for (int pair_start = 0; pair_start < msb; pair_start += chunk / 4) {
            const int count = std::min(chunk, 4 * (msb - pair_start));
            back_slots(lanes_of, timestep_scores, next, pair_start, count, slots);
            // As in backward_recursion, the exponentials ask for this chunk's share of the row
            // before.
            NextScores upcoming;
            if (timestep > 0) {
                const float* share = scores + (size_t(timestep - 1) * row + 4 * pair_start) * 5;
                upcoming = NextScores(share, 5 * size_t(count), timestep_scores);
            }
            // The largest term of each lane, 0 where all are -inf (their exponentials are 0).
            for (int i = 0; i < count; i += lanes) {
                __m256 m = _mm256_load_ps(&slots.value[0][i]);
                for (int k = 1; k < 5; ++k) {
                    m = keep_greater(m, _mm256_load_ps(&slots.value[k][i]));
                }
                const __m256 no_way = _mm256_cmp_ps(m, negative_infinity, _CMP_EQ_OQ);
                _mm256_store_ps(&tops[i], _mm256_blendv_ps(m, _mm256_setzero_ps(), no_way));
                _mm256_store_ps(&dead[i], no_way);
                _mm256_store_ps(&sums[i], _mm256_setzero_ps());
            }
            // The exponentials replace the terms; their sums in slot order.
            for (int k = 0; k < 5; ++k) {
                for (int i = 0; i < count; i += lanes) {
                    if (i % (2 * lanes) == 0) {
                        upcoming.ask_for_one_line();
                    }
                    const __m256 e = exp8(_mm256_sub_ps(_mm256_load_ps(&slots.value[k][i]),
                                                        _mm256_load_ps(&tops[i])));
                    pending.write_one();  // a block has as many vectors as exponential steps
                    _mm256_store_ps(&slots.value[k][i], e);
                    _mm256_store_ps(&sums[i], _mm256_add_ps(_mm256_load_ps(&sums[i]), e));
                }
            }
            for (int i = 0; i < count; i += lanes) {
                const int s = pair_start + i / 4;
                const __m256 top = _mm256_load_ps(&tops[i]);
                const __m256 sum = _mm256_load_ps(&sums[i]);
                _mm256_store_ps(&result[i], _mm256_add_ps(log8(sum), top));
                const __m256 from_guides = load_back_lanes(from, msb, s);
                const __m256 weight =
                    _mm256_blendv_ps(exp8(_mm256_sub_ps(_mm256_add_ps(from_guides, top), norm)),
                                     _mm256_setzero_ps(), _mm256_load_ps(&dead[i]));
                mass_low = _mm256_add_pd(
                    mass_low, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(weight)),
                                            _mm256_cvtps_pd(_mm256_castps256_ps128(sum))));
                mass_high = _mm256_add_pd(
                    mass_high, _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(weight, 1)),
                                             _mm256_cvtps_pd(_mm256_extractf128_ps(sum, 1))));
                const __m256 factor = _mm256_mul_ps(weight, scale_vector);
                float* step_out = timestep_out + 20 * s + 1;
                for (int base = 0; base < 4; ++base) {
                    _mm256_storeu2_m128(
                        step_out + 20 + 5 * base, step_out + 5 * base,
                        _mm256_mul_ps(_mm256_load_ps(&slots.value[1 + base][i]), factor));
                }
                // The stays, one lane at a time: lane 4p + o is the stay of o * msb + s + p.
                alignas(32) float stays[lanes];
                _mm256_store_ps(stays, _mm256_mul_ps(_mm256_load_ps(&slots.value[0][i]), factor));
                for (int l = 0; l < lanes; ++l) {
                    timestep_out[5 * size_t((l % 4) * msb + s + l / 4)] = stays[l];
                }
            }
            store_back_lanes(result, msb, pair_start, count, prev);
        }
        if (hook.call != nullptr) {
            hook.call(hook.context, timestep, timestep_out);
        }
        pending.start(timestep_out, out + size_t(timestep) * row * 5, row * 5);
        const float back_shift = FORM(shift_row)(prev, num_states);
        alignas(32) double pairs[4];
        _mm256_store_pd(pairs, _mm256_add_pd(mass_low, mass_high));
        const double mass = (pairs[0] + pairs[1]) + (pairs[2] + pairs[3]);
        block_norm =
            float(((double(fwd_shifts[timestep]) + double(block_norm)) - double(back_shift)) +
                  std::log(mass));
        std::swap(next, prev);
    }
    pending.finish();
}

TARGET_FORM bool FORM(scores_within)(const float* row, size_t count, float limit) {
    // Four maxima and four NaN masks side by side, so that no lane waits on the one before it.
    const __m256 none = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    __m256 top[4] = {none, none, none, none};
    __m256 nan[4] = {_mm256_setzero_ps(), _mm256_setzero_ps(), _mm256_setzero_ps(),
                     _mm256_setzero_ps()};
    size_t i = 0;
    for (; i + 4 * lanes <= count; i += 4 * lanes) {
        for (int k = 0; k < 4; ++k) {
            const __m256 x = _mm256_loadu_ps(row + i + size_t(k) * lanes);
            top[k] = _mm256_max_ps(top[k], x);
            nan[k] = _mm256_or_ps(nan[k], _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
        }
    }
    for (; i < count; i += lanes) {
        const __m256 x = _mm256_loadu_ps(row + i);
        top[0] = _mm256_max_ps(top[0], x);
        nan[0] = _mm256_or_ps(nan[0], _mm256_cmp_ps(x, x, _CMP_UNORD_Q));
    }
    const __m256 any_nan = _mm256_or_ps(_mm256_or_ps(nan[0], nan[1]), _mm256_or_ps(nan[2], nan[3]));
    if (_mm256_movemask_ps(any_nan) != 0) {
        return false;
    }
    alignas(32) float tops[lanes];
    _mm256_store_ps(tops,
                    _mm256_max_ps(_mm256_max_ps(top[0], top[1]), _mm256_max_ps(top[2], top[3])));
    const float largest = *std::max_element(tops, tops + lanes);
    return largest == -std::numeric_limits<float>::infinity() || std::abs(largest) <= limit;
}

TARGET_FORM float FORM(shift_row)(float* row, int count) {
    const float shift = row_max(row, count);
    if (!std::isfinite(shift) || shift == 0.0f) {
        return 0.0f;
    }
    const __m256 shift_vector = _mm256_set1_ps(shift);
    for (int first = 0; first < count; first += lanes) {
        _mm256_storeu_ps(row + first, _mm256_sub_ps(_mm256_loadu_ps(row + first), shift_vector));
    }
    return shift;
}

void FORM(back_guides)(const float* scores, float* guides, int num_timesteps, int num_states) {
    backward_recursion(scores, guides, nullptr, num_timesteps, num_states, false);
}

void FORM(fwd_guides)(const float* scores, float* guides, int num_timesteps, int num_states) {
    forward_recursion(scores, guides, nullptr, num_timesteps, num_states, false);
}

void FORM(stable_back_guides)(const float* scores, float* guides, float* row_shifts,
                              int num_timesteps, int num_states) {
    backward_recursion(scores, guides, row_shifts, num_timesteps, num_states, true);
}

void FORM(stable_fwd_guides)(const float* scores, float* guides, float* row_shifts,
                             int num_timesteps, int num_states) {
    forward_recursion(scores, guides, row_shifts, num_timesteps, num_states, true);
}

void FORM(stable_fwd_guides_from)(const float* scores, float* guides, float* row_shifts,
                                  int num_timesteps, int num_states) {
    forward_recursion(scores, guides, row_shifts, num_timesteps, num_states, true, true);
}

TARGET_FORM void FORM(posts)(const float* fwd_guides, const float* back_guides, float* posts,
                             int num_timesteps, int num_states) {
    const size_t row = size_t(num_states);
    for (size_t timestep = 0; timestep <= size_t(num_timesteps); ++timestep) {
        const float* from_states = fwd_guides + timestep * row;
        const float* to_states = back_guides + timestep * row;
        float* timestep_posts = posts + timestep * row;

        // The maximum as the scalar kernel finds it: the first entry if it is NaN, else the
        // largest entry that is not (which of two equal zeros wins changes no result).
        __m256 lane_max = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
        for (size_t first = 0; first < row; first += lanes) {
            lane_max = keep_greater(lane_max, add8(from_states + first, to_states + first));
        }
        alignas(32) float lane_maxima[lanes];
        _mm256_store_ps(lane_maxima, lane_max);
        float max_val = from_states[0] + to_states[0];
        if (!std::isnan(max_val)) {
            for (float candidate : lane_maxima) {
                if (max_val < candidate) {
                    max_val = candidate;
                }
            }
        }

        // The exponentials in vectors, their sum in index order.
        const __m256 max_vector = _mm256_set1_ps(max_val);
        for (size_t first = 0; first < row; first += lanes) {
            _mm256_storeu_ps(
                timestep_posts + first,
                exp8(_mm256_sub_ps(add8(from_states + first, to_states + first), max_vector)));
        }
        float res = 0.0f;
        for (size_t i = 0; i < row; ++i) {
            res += timestep_posts[i];
        }
        const __m256 log_total = _mm256_set1_ps(logf(res) + max_val);
        for (size_t first = 0; first < row; first += lanes) {
            _mm256_storeu_ps(
                timestep_posts + first,
                exp8(_mm256_sub_ps(add8(from_states + first, to_states + first), log_total)));
        }
    }
}
