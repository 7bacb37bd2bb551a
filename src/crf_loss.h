// The CRF as a training loss: log Z of a chunk, the posterior of every edge (the gradient of log Z
// with respect to every score), and the log weight of the paths that emit a target sequence, with
// its gradient. No Python and no torch; the tensor module calls it once per chunk.
//
// Layout (as the decoder reads it): `scores` holds num_blocks rows of 5 * num_states, the five
// scores of destination state d at 5d (the stay) and 5d + 1 + b (the step from the source
// b * msb + d / 4, msb = num_states / 4). Block t lies between boundaries t and t + 1. A path
// starts in any state at boundary 0 and ends in any state at boundary num_blocks; its weight is
// the sum of its scores. -inf scores are impossible transitions.
//
//   fwd[0][s] = 0,  fwd[t + 1][d] = logsumexp_j (scores[t][5d + j] + fwd[t][src(d, j)])
//   log Z = logsumexp_s fwd[num_blocks][s]
//   d log Z / d scores[t][5d + j] = exp(fwd[t][src(d, j)] + scores[t][5d + j] + back[t + 1][d]
//                                       - log Z)
//
// Precision does not fall with length: each row of guides is shifted by its maximum, the shifts
// summed in double, and the edge posteriors of a block are normalised by that block alone. The
// float recursions, the gradient folded into the backward one, run in AVX2 where the processor
// reproduces the scalar forms' bits (crf_kernels.h), so the bits depend on neither. Everything is
// computed in `Real` (float or double) on one thread in a fixed order, so the bits never depend on
// the caller's threads or on the other chunks of a batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crf_kernels.h"

namespace crf_loss {

// Real itself, written so that only the scores decide Real and a null output can be passed.
template <typename T>
struct SameType {
    using type = T;
};
template <typename T>
using Same = typename SameType<T>::type;

// A value that the loss refuses: `problem` ("hold NaN", "hold +inf", or a block whose largest
// score is too far from 0 for the precision) at block `block`.
struct BadScores {
    int64_t block;
    std::string problem;
};

// The first block of num_blocks rows of 5 * num_states scores that holds NaN or +inf, or whose
// largest finite score lies beyond +-1e4 (float) or +-1e9 (double).
template <typename Real>
std::optional<BadScores> first_bad_block(const Real* scores, int num_blocks, int num_states);

// The forward guides of the chunk, each row shifted down by its maximum, into `fwd`
// ((num_blocks + 1) * num_states values) and the shifts into `shifts` (num_blocks + 1 values):
// the true guide of row t is fwd[t][s] plus shifts[0] + ... + shifts[t]. Returns log Z, the shifts
// summed in double plus the log-sum of the last row (-inf when no path crosses the chunk). For
// float the decoding path's renormalised recursion (stable_guides.h) runs, so the bits are its.
template <typename Real>
double forward_guides(const Real* scores, int num_blocks, int num_states, Same<Real>* fwd,
                      Same<Real>* shifts);

// Called by checked_forward_guides once the blocks before `end` are done and checked, while the
// scores of the last stretch are in cache.
struct StretchHook {
    void (*call)(void* context, int end) = nullptr;
    void* context = nullptr;
};

// first_bad_block and forward_guides in one pass over the scores from memory: the recursion runs
// a stretch of blocks at a time and the check reads each stretch just after it, from cache (the
// recursion is plain arithmetic whatever the values), then `hook`. Returns the first bad block
// (the guides are then not to be used), else sets `log_z`; guides, shifts and log Z have
// forward_guides' bits.
template <typename Real>
std::optional<BadScores> checked_forward_guides(const Real* scores, int num_blocks, int num_states,
                                                Same<Real>* fwd, Same<Real>* shifts, double& log_z,
                                                StretchHook hook = {});

// `scale` times the edge posteriors into `out` (laid out as the scores), from the scores and the
// guides and shifts of forward_guides, whose log Z must be finite. Runs the backward recursion
// (renormalised likewise) with the posteriors folded into it: its terms of source s in block t,
// exp(scores[t][e] + back[t + 1][d] - m_s) for each edge e from s (into d), m_s their maximum,
// times one factor per state, scale * exp(fwd[t][s] + m_s - c[t]), give the posteriors, with
// c[t] = shifts[t + 1] + logsumexp_s (fwd[t + 1][s] + back[t + 1][s]) normalising each block on
// its own, so that no offset that grows with length enters the exponent (crf_kernels.h,
// edge_posts_scalar). Two rows of backward guides are kept, not all. `hook` as in crf_kernels.h.
template <typename Real>
void scaled_edge_posts(const Real* scores, int num_blocks, int num_states, const Same<Real>* fwd,
                       const Same<Real>* shifts, double scale, Same<Real>* out,
                       RowHook<Real> hook = {});

// log Z of the chunk (-inf when no path crosses it). If `edge_posts` is not null it receives the
// num_blocks * 5 * num_states edge posteriors, laid out as the scores (all 0 when log Z is -inf);
// each block's posteriors sum to 1.
template <typename Real>
double log_partition(const Real* scores, int num_blocks, int num_states, Same<Real>* edge_posts);

// The k-mer states s_0 .. s_{L-k} that a target of L >= k base codes (0..3) passes through.
std::vector<int> target_states(const int64_t* target, int target_length, int num_states);

// The numerator of a target and its gradient (target_log_weight) are in crf_target.h.

// The loss of a target: log Z minus its numerator, +inf when no path emits the target. If `grad`
// is not null it receives the gradient of the loss (num_blocks * 5 * num_states values, laid out
// as the scores): the edge posteriors less the target's posteriors, or all 0 for an infinite loss.
template <typename Real>
double target_loss(const Real* scores, int num_blocks, int num_states,
                   const std::vector<int>& states, Same<Real>* grad);

extern template std::optional<BadScores> first_bad_block(const float*, int, int);
extern template std::optional<BadScores> first_bad_block(const double*, int, int);
extern template double log_partition(const float*, int, int, float*);
extern template double log_partition(const double*, int, int, double*);
extern template double forward_guides(const float*, int, int, float*, float*);
extern template double forward_guides(const double*, int, int, double*, double*);
extern template std::optional<BadScores> checked_forward_guides(const float*, int, int, float*,
                                                                float*, double&, StretchHook);
extern template std::optional<BadScores> checked_forward_guides(const double*, int, int, double*,
                                                                double*, double&, StretchHook);
extern template void scaled_edge_posts(const float*, int, int, const float*, const float*, double,
                                       float*, RowHook<float>);
extern template void scaled_edge_posts(const double*, int, int, const double*, const double*,
                                       double, double*, RowHook<double>);
extern template double target_loss(const float*, int, int, const std::vector<int>&, float*);
extern template double target_loss(const double*, int, int, const std::vector<int>&, double*);

}  // namespace crf_loss
