// The numerator of the CRF loss: the log weight of the paths that emit a target sequence, and its
// gradient. No Python and no torch.
//
// A target of L bases passes through the k-mer states s_0 .. s_{L-k} (positions 0 .. P - 1). At
// every block a path stays (scores[t][5 s_i]) or steps to the next position
// (scores[t][5 s_{i+1} + 1 + s_i / msb]), from position 0 at boundary 0 to P - 1 at the last:
//
//   alpha[0][0] = 0,  alpha[t + 1][i] = log_add(alpha[t][i] + stay(t, i),
//                                               alpha[t][i - 1] + step(t, i))
//   numerator = alpha[num_blocks][P - 1]
//
// Only positions max(0, P - 1 - (num_blocks - t)) .. min(t, P - 1) lie on such a path at
// boundary t (the band); the rows hold those alone, in double, each shifted by its maximum, the
// shifts summed. Each cell is max + log(1 + exp(min - max)), exp and log taken in the scores'
// precision with the C library's functions (for float eight at a time where crf_kernels.h
// reproduces them), so the bits depend on neither the processor's form nor the caller's threads.
#pragma once

#include <cstddef>
#include <vector>

#include "crf_loss.h"

namespace crf_loss {

// The numerator of `states` (the target's positions; see target_states). -inf when no path emits
// it (more steps than blocks, or scores that forbid it). If `grad` is not null and the value is
// finite, `scale` times the posterior of each transition on the target's paths is subtracted from
// grad at its score. The posteriors of a block are normalised by that block's edges alone (every
// path crosses a block by exactly one), so no offset that grows with length enters them. The
// backward pass reads the forward rows again: all are kept if they fit in max_kept values, else
// one in sqrt(num_blocks + 1) and the others recomputed (the same bits).
template <typename Real>
double target_log_weight(const Real* scores, int num_blocks, int num_states,
                         const std::vector<int>& states, Same<Real>* grad,
                         size_t max_kept = size_t(1) << 22, double scale = 1);

// target_log_weight with the C library's scalar exp and log throughout: the form the vector one
// must reproduce bit for bit.
template <typename Real>
double target_log_weight_scalar(const Real* scores, int num_blocks, int num_states,
                                const std::vector<int>& states, Same<Real>* grad,
                                size_t max_kept = size_t(1) << 22, double scale = 1);

// The forward rows of a target that its gradient reads: every `segment`-th row, row r at
// values[at[r]] with the band's positions of its boundary. `values` is the caller's, with room for
// kept_values() values, so that a batch's rows can be one allocation, made before its threads
// start and backed by huge pages as the guides are, rather than one zero-filled vector per chunk.
struct TargetRows {
    int segment = 1;
    std::vector<size_t> at;
    double* values = nullptr;
};

// How many values target_forward keeps for a target of `positions` k-mers over num_blocks blocks.
size_t kept_values(int num_blocks, size_t positions, size_t max_kept);

// target_log_weight in two halves, for a caller that keeps the forward rows between the value and
// the gradient: the value, with the rows it keeps in kept.values (all if they fit in max_kept
// values, else one in sqrt(num_blocks + 1)); then, for a finite value, the gradient from those rows
// (the same bits as target_log_weight's).
template <typename Real>
double target_forward(const Real* scores, int num_blocks, int num_states,
                      const std::vector<int>& states, TargetRows& kept, size_t max_kept);
template <typename Real>
void target_backward(const Real* scores, int num_blocks, int num_states,
                     const std::vector<int>& states, const TargetRows& kept, Same<Real>* grad,
                     double scale);

// checked_forward_guides and then target_forward (with `kept`, else target_log_weight's value
// alone) in one pass over the scores: the target's recursion runs over each stretch of blocks just
// after the guides' (the same bits as one after the other). `numerator` is set, -inf when no path
// emits the target, unless bad scores are returned.
template <typename Real>
std::optional<BadScores> checked_forward_with_target(const Real* scores, int num_blocks,
                                                     int num_states, Same<Real>* fwd,
                                                     Same<Real>* shifts, double& log_z,
                                                     const std::vector<int>& states,
                                                     TargetRows* kept, size_t max_kept,
                                                     double& numerator);

// scaled_edge_posts and then target_backward in one pass: each block's row of the gradient gets
// the target's posteriors subtracted while it is in cache, before it is written out (the same
// bits as the two one after the other). `kept` as target_forward left it.
template <typename Real>
void scaled_loss_posts(const Real* scores, int num_blocks, int num_states, const Same<Real>* fwd,
                       const Same<Real>* shifts, double scale, const std::vector<int>& states,
                       const TargetRows& kept, Same<Real>* grad);

extern template std::optional<BadScores> checked_forward_with_target(const float*, int, int, float*,
                                                                     float*, double&,
                                                                     const std::vector<int>&,
                                                                     TargetRows*, size_t, double&);
extern template std::optional<BadScores> checked_forward_with_target(const double*, int, int,
                                                                     double*, double*, double&,
                                                                     const std::vector<int>&,
                                                                     TargetRows*, size_t, double&);
extern template void scaled_loss_posts(const float*, int, int, const float*, const float*, double,
                                       const std::vector<int>&, const TargetRows&, float*);
extern template void scaled_loss_posts(const double*, int, int, const double*, const double*,
                                       double, const std::vector<int>&, const TargetRows&, double*);
extern template double target_log_weight(const float*, int, int, const std::vector<int>&, float*,
                                         size_t, double);
extern template double target_log_weight(const double*, int, int, const std::vector<int>&, double*,
                                         size_t, double);
extern template double target_log_weight_scalar(const float*, int, int, const std::vector<int>&,
                                                float*, size_t, double);
extern template double target_log_weight_scalar(const double*, int, int, const std::vector<int>&,
                                                double*, size_t, double);
extern template double target_forward(const float*, int, int, const std::vector<int>&, TargetRows&,
                                      size_t);
extern template double target_forward(const double*, int, int, const std::vector<int>&, TargetRows&,
                                      size_t);
extern template void target_backward(const float*, int, int, const std::vector<int>&,
                                     const TargetRows&, float*, double);
extern template void target_backward(const double*, int, int, const std::vector<int>&,
                                     const TargetRows&, double*, double);

}  // namespace crf_loss
