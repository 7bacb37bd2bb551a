// The AVX2 forms of crf_avx2.cpp with the double-precision steps of their exponentials and
// logarithms on eight lanes at a time (AVX-512F, VL and DQ) instead of two halves of four, and
// their tables looked up by permutes instead of gathers: the same operations lane for lane, so
// the same bits as the scalar code.
#define CRF_FORM_AVX512
#include "crf_avx2.cpp"
