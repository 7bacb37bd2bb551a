// The CRF recursions on raw arrays, in a scalar form and in AVX2 and AVX-512 forms that give the
// same bits.
//
// Guide and posterior arrays hold (num_timesteps + 1) * num_states floats; `scores` holds
// num_timesteps rows of 5 * num_states. Sizes are trusted here: the public routines of
// beam_search.h validate them and choose the form.
#pragma once

#include <cstddef>

void back_guides_scalar(const float* scores, float* back_guides, int num_timesteps, int num_states);
void fwd_guides_scalar(const float* scores, float* fwd_guides, int num_timesteps, int num_states);
void posts_scalar(const float* fwd_guides, const float* back_guides, float* posts,
                  int num_timesteps, int num_states);

// True when the AVX2 forms reproduce the scalar ones exactly: the processor has AVX2 and FMA, and
// the C library's expf is the build whose arithmetic they replicate (checked on two inputs where
// its FMA and SSE2 builds differ).
bool exact_avx2_available();

// The AVX2 forms; they need num_states >= 16 and exact_avx2_available().
void back_guides_avx2(const float* scores, float* back_guides, int num_timesteps, int num_states);
void fwd_guides_avx2(const float* scores, float* fwd_guides, int num_timesteps, int num_states);
void posts_avx2(const float* fwd_guides, const float* back_guides, float* posts, int num_timesteps,
                int num_states);

// expf and logf of `count` floats, eight at a time, with the C library's results bit for bit.
void expf_avx2(const float* in, float* out, size_t count);
void logf_avx2(const float* in, float* out, size_t count);

// out[k] = log(exp(first[k]) + exp(second[k])) for the loss numerator's rows of doubles, as the
// larger term plus log(1 + exp(gap)) with exp and log in float; a gap below -88 (or no term at
// all, both -inf) adds nothing. The vector forms give the scalar form's bits.
void log_add_rows_scalar(const double* first, const double* second, double* out, size_t count);
void log_add_rows_avx2(const double* first, const double* second, double* out, size_t count);

// The weights of a block's edges in the loss numerator's backward pass: stays[k] and steps[k] =
// exp(edges[k] - top) and exp(step_edges[k] - top) in float, those below e^-88 read as 0. Returns
// `sum` plus every double(stays[k]) + double(steps[k]), added in the order of k; the vector forms
// give the scalar form's bits.
double edge_weights_scalar(const double* edges, const double* step_edges, double top, float* stays,
                           float* steps, size_t count, double sum = 0);
double edge_weights_avx2(const double* edges, const double* step_edges, double top, float* stays,
                         float* steps, size_t count);

// The recursions as the decoding layer runs them (see stable_guides.h): a state whose five slots
// are all -inf gets -inf where the forms above give NaN, and with `row_shifts` each row is shifted
// down by its largest entry, written to row_shifts[row]. Same bits as the forms above wherever
// those have no NaN and row_shifts is null.
void stable_back_guides_scalar(const float* scores, float* back_guides, float* row_shifts,
                               int num_timesteps, int num_states);
void stable_fwd_guides_scalar(const float* scores, float* fwd_guides, float* row_shifts,
                              int num_timesteps, int num_states);
void stable_back_guides_avx2(const float* scores, float* back_guides, float* row_shifts,
                             int num_timesteps, int num_states);
void stable_fwd_guides_avx2(const float* scores, float* fwd_guides, float* row_shifts,
                            int num_timesteps, int num_states);

// stable_fwd_guides from the row that fwd_guides already holds (and its shift, row_shifts[0]),
// not from zeros: it writes rows 1 .. num_timesteps. A recursion run a stretch of blocks at a
// time, each stretch from the last row of the one before, gives the bits of one run.
void stable_fwd_guides_from_scalar(const float* scores, float* fwd_guides, float* row_shifts,
                                   int num_timesteps, int num_states);
void stable_fwd_guides_from_avx2(const float* scores, float* fwd_guides, float* row_shifts,
                                 int num_timesteps, int num_states);

// The scores of every block less the increase, in that block, of the best path's score: a
// max-product forward recursion, each row shifted down by its largest entry (shift_row); that
// shift is the block's. Along the best path the shifted scores sum to 0 at every block, so the
// search's path scores over them stay near 0 at any length.
void best_path_shifted_scalar(const float* scores, float* shifted, int num_timesteps,
                              int num_states);
void best_path_shifted_avx2(const float* scores, float* shifted, int num_timesteps, int num_states);

// Shifts a row down by its largest entry when that is finite and not 0, and returns the shift
// (else 0, the row unchanged). The largest entry is found as max_element finds it, so every form
// shifts by the same value.
float shift_row_scalar(float* row, int count);
float shift_row_avx2(float* row, int count);

// The edge posteriors of a CRF loss (crf_loss.h), times `scale`, into `out` laid out as the
// scores, from the forward guides `fwd` of stable_fwd_guides and their `fwd_shifts`: the backward
// recursion of stable_back_guides (rows shifted) runs with the posteriors folded into it. Its five
// terms of source s, x_j = scores[t][e_j] + back[t + 1][dest_j], give e_j = exp(x_j - m_s), m_s
// their maximum, and the posterior of edge e_j is e_j * (w_s * scale), with one exponential per
// state, not per edge:
//   w_s = exp((fwd[t][s] + m_s) - norm[t])  (0 when all five terms are -inf),
//   norm[T - 1] = edge_norm(fwd[T], back[T], fwd_shifts[T])  (back[T] all 0),
//   norm[t - 1] = ((fwd_shifts[t] + norm[t]) - back_shift[t]) + log(mass[t])  (in double),
// in that order of operations in every form; back_shift[t] is the shift of backward row t, and
// mass[t] = sum_s w_s * (e_0 + ... + e_4), the unscaled sum of block t's posteriors (about 1),
// is made of products in double added in the AVX2 form's lanes (state o * msb + r in lane
// 4 (r mod 2) + o, states in order) and the lanes combined as in edge_norm. That is the log-sum
// of fwd + back at boundary t without a pass of its own: each block is normalised on its own, so
// that no offset that grows with length enters it.
// `hook`, if set, is called with each block's row of posteriors once it is complete and before it
// is written out, from the last block to the first: what it changes in the row is written in
// place of it, while the row is still in cache.
template <typename Real>
struct RowHook {
    void (*call)(void* context, int block, Real* row) = nullptr;
    void* context = nullptr;
};
void edge_posts_scalar(const float* scores, const float* fwd, const float* fwd_shifts, float scale,
                       float* out, int num_timesteps, int num_states, RowHook<float> hook = {});
void edge_posts_avx2(const float* scores, const float* fwd, const float* fwd_shifts, float scale,
                     float* out, int num_timesteps, int num_states, RowHook<float> hook = {});

// norm[T - 1] above, from the forward and backward rows at a boundary and the forward row's shift:
// shift + top + log(sum_s exp((fwd[s] + back[s]) - top)), top the largest
// fwd[s] + back[s]: the exponentials in float, their sum in double, element s added to partial
// sum s mod 8 and the eight combined as ((p0 + p4) + (p1 + p5)) + ((p2 + p6) + (p3 + p7)), so
// that eight lanes of a vector give the same bits.
float edge_norm_scalar(const float* fwd, const float* back, float shift, int num_states);
float edge_norm_avx2(const float* fwd, const float* back, float shift, int num_states);

// True when a row of `count` scores (a multiple of 8 for the AVX2 form) holds no NaN and its
// largest score is -inf or within +-limit: the common case of the loss's check of its scores, whose
// other cases the caller looks into score by score.
bool scores_within_scalar(const float* row, size_t count, float limit);
bool scores_within_avx2(const float* row, size_t count, float limit);

// The AVX-512 forms: each AVX2 form above with the double-precision steps of its exponentials and
// logarithms eight lanes at a time. They need num_states >= 16 and exact_avx512_available(): the
// AVX2 forms' conditions and AVX-512F, VL and DQ.
bool exact_avx512_available();
void back_guides_avx512(const float* scores, float* back_guides, int num_timesteps, int num_states);
void fwd_guides_avx512(const float* scores, float* fwd_guides, int num_timesteps, int num_states);
void posts_avx512(const float* fwd_guides, const float* back_guides, float* posts,
                  int num_timesteps, int num_states);
void expf_avx512(const float* in, float* out, size_t count);
void logf_avx512(const float* in, float* out, size_t count);
void log_add_rows_avx512(const double* first, const double* second, double* out, size_t count);
double edge_weights_avx512(const double* edges, const double* step_edges, double top, float* stays,
                           float* steps, size_t count);
void stable_back_guides_avx512(const float* scores, float* back_guides, float* row_shifts,
                               int num_timesteps, int num_states);
void stable_fwd_guides_avx512(const float* scores, float* fwd_guides, float* row_shifts,
                              int num_timesteps, int num_states);
void stable_fwd_guides_from_avx512(const float* scores, float* fwd_guides, float* row_shifts,
                                   int num_timesteps, int num_states);
void best_path_shifted_avx512(const float* scores, float* shifted, int num_timesteps,
                              int num_states);
float shift_row_avx512(float* row, int count);
void edge_posts_avx512(const float* scores, const float* fwd, const float* fwd_shifts, float scale,
                       float* out, int num_timesteps, int num_states, RowHook<float> hook = {});
float edge_norm_avx512(const float* fwd, const float* back, float shift, int num_states);
bool scores_within_avx512(const float* row, size_t count, float limit);

// Validates the sizes of a recursion (throws std::invalid_argument or std::length_error) and
// returns the length of its guide array.
size_t guide_array_size(int num_timesteps, int num_states);

// One form of the recursions. Every form gives the scalar form's bits.
struct CrfKernels {
    const char* name;
    int min_states;  // the smallest state count the form handles
    void (*back_guides)(const float* scores, float* back_guides, int num_timesteps, int num_states);
    void (*fwd_guides)(const float* scores, float* fwd_guides, int num_timesteps, int num_states);
    void (*posts)(const float* fwd_guides, const float* back_guides, float* posts,
                  int num_timesteps, int num_states);
    void (*stable_back_guides)(const float* scores, float* back_guides, float* row_shifts,
                               int num_timesteps, int num_states);
    void (*stable_fwd_guides)(const float* scores, float* fwd_guides, float* row_shifts,
                              int num_timesteps, int num_states);
    void (*stable_fwd_guides_from)(const float* scores, float* fwd_guides, float* row_shifts,
                                   int num_timesteps, int num_states);
    void (*best_path_shifted)(const float* scores, float* shifted, int num_timesteps,
                              int num_states);
    void (*edge_posts)(const float* scores, const float* fwd, const float* fwd_shifts, float scale,
                       float* out, int num_timesteps, int num_states, RowHook<float> hook);
    bool (*scores_within)(const float* row, size_t count, float limit);
};

// The form for `num_states` states: the fastest this processor runs exactly, else the scalar one.
// The processor is examined once per process; the table is constant afterwards.
const CrfKernels& crf_kernels_for(int num_states);
