#include "crf_loss.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "beam_search.h"
#include "crf_kernels.h"
#include "stable_guides.h"

namespace crf_loss {

namespace {

constexpr int transitions = num_bases + 1;  // a stay and four steps into each state
constexpr double minus_infinity = -std::numeric_limits<double>::infinity();

// log(exp(x) + exp(y)) in double; -inf when both are.
double log_add(double x, double y) {
    if (x < y) {
        std::swap(x, y);
    }
    return y == minus_infinity ? x : x + std::log1p(std::exp(y - x));
}

// exp of `count` values (and log, in double): for float, the C library's expf, eight at a time
// where the processor reproduces it exactly, so that the bits are the same either way.
void exp_array(const float* in, float* out, size_t count) {
    static const bool vector = exact_avx2_available();
    if (vector) {
        expf_avx2(in, out, count);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        out[i] = std::exp(in[i]);
    }
}

void exp_array(const double* in, double* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = std::exp(in[i]);
    }
}

void log_array(const double* in, double* out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out[i] = std::log(in[i]);
    }
}

// The work rows of one chunk's recursions: five terms and a maximum, a sum and a log per state.
template <typename Real>
struct Workspace {
    std::vector<Real> terms, tops, sums, logs;
    explicit Workspace(int num_states)
        : terms(size_t(num_states) * transitions),
          tops(size_t(num_states)),
          sums(size_t(num_states)),
          logs(size_t(num_states)) {}
};

// next[d] = logsumexp of the terms of d, the terms given shifted by their maximum `tops[d]`
// (-inf for a destination no path reaches); exponentials replace the terms. Returns the maximum
// of next.
template <typename Real>
Real log_sums(Workspace<Real>& work, Real* next, int num_states) {
    const Real none = -std::numeric_limits<Real>::infinity();
    Real* terms = work.terms.data();
    exp_array(terms, terms, work.terms.size());
    for (int d = 0; d < num_states; ++d) {
        Real sum = 0;
        for (int j = 0; j < transitions; ++j) {
            sum += terms[size_t(d) * transitions + j];
        }
        work.sums[size_t(d)] = work.tops[size_t(d)] == none ? Real(1) : sum;
    }
    log_array(work.sums.data(), work.logs.data(), work.sums.size());
    Real best = none;
    for (int d = 0; d < num_states; ++d) {
        next[d] = work.tops[size_t(d)] + work.logs[size_t(d)];
        best = std::max(best, next[d]);
    }
    return best;
}

// Shifts the five terms of each state by their maximum, which it records.
template <typename Real>
void shift_terms(Workspace<Real>& work, int num_states) {
    const Real none = -std::numeric_limits<Real>::infinity();
    for (int d = 0; d < num_states; ++d) {
        Real* terms = work.terms.data() + size_t(d) * transitions;
        const Real top = *std::max_element(terms, terms + transitions);
        work.tops[size_t(d)] = top;
        for (int j = 0; j < transitions; ++j) {
            terms[j] = top == none ? none : terms[j] - top;
        }
    }
}

// One block of the forward recursion from `prev` into `next`. Returns the maximum of `next`.
template <typename Real>
Real forward_block(const Real* row, const Real* prev, Real* next, int num_states,
                   Workspace<Real>& work) {
    const int msb = num_states / num_bases;
    for (int d = 0; d < num_states; ++d) {
        const Real* scores = row + size_t(d) * transitions;
        Real* terms = work.terms.data() + size_t(d) * transitions;
        terms[0] = scores[0] + prev[d];
        for (int b = 0; b < num_bases; ++b) {
            terms[1 + b] = scores[1 + b] + prev[d / num_bases + b * msb];
        }
    }
    shift_terms(work, num_states);
    return log_sums(work, next, num_states);
}

// One block of the backward recursion from `next` (boundary t + 1) into `prev` (boundary t),
// shifted so that its maximum is 0 (some state at a boundary that a path crosses reaches the
// end, so the maximum is finite).
template <typename Real>
void backward_block(const Real* row, const Real* next, Real* prev, int num_states,
                    Workspace<Real>& work) {
    for (int s = 0; s < num_states; ++s) {
        Real* terms = work.terms.data() + size_t(s) * transitions;
        terms[0] = row[size_t(s) * transitions] + next[s];
        const int dest_a = (s * num_bases) % num_states;
        const size_t trans_a = size_t(dest_a) * transitions + 1 + (s * num_bases) / num_states;
        for (int b = 0; b < num_bases; ++b) {
            terms[1 + b] = row[trans_a + size_t(transitions) * b] + next[dest_a + b];
        }
    }
    shift_terms(work, num_states);
    const Real best = log_sums(work, prev, num_states);
    for (int s = 0; s < num_states; ++s) {
        prev[s] -= best;
    }
}

// The backward guides of every boundary, each row shifted so that its maximum is 0.
void backward_guides(const float* scores, int num_blocks, int num_states, float* back) {
    std::vector<float> shifts(size_t(num_blocks) + 1);
    compute_stable_back_guides(scores, back, shifts.data(), num_blocks, num_states);
}

void backward_guides(const double* scores, int num_blocks, int num_states, double* back) {
    const size_t states = size_t(num_states), width = states * transitions;
    Workspace<double> work(num_states);
    std::fill_n(back + size_t(num_blocks) * states, states, 0.0);
    for (int t = num_blocks - 1; t >= 0; --t) {
        backward_block(scores + size_t(t) * width, back + (size_t(t) + 1) * states,
                       back + size_t(t) * states, num_states, work);
    }
}

// The log of the summed weight of all paths at one boundary, less the offsets of its guides but
// for the forward row's own shift: shift + logsumexp_s (fwd[s] + back[s]), the sum in double.
template <typename Real>
Real boundary_norm(const Real* fwd, const Real* back, Real shift, int num_states,
                   std::vector<Real>& terms) {
    Real top = -std::numeric_limits<Real>::infinity();
    for (int s = 0; s < num_states; ++s) {
        terms[size_t(s)] = fwd[s] + back[s];
        top = std::max(top, terms[size_t(s)]);
    }
    for (int s = 0; s < num_states; ++s) {
        terms[size_t(s)] -= top;
    }
    exp_array(terms.data(), terms.data(), size_t(num_states));
    double sum = 0;
    for (int s = 0; s < num_states; ++s) {
        sum += terms[size_t(s)];
    }
    return Real(double(shift) + double(top) + std::log(sum));
}

// The pass over the blocks of edge_posts_scalar, in Real.
template <typename Real>
void edge_posts_form(const Real* scores, const Real* fwd, const Real* back, const Real* norms,
                     Real scale, Real* out, int num_blocks, int num_states) {
    const size_t states = size_t(num_states), width = states * transitions;
    const int msb = num_states / num_bases;
    for (int t = 0; t < num_blocks; ++t) {
        const Real* from = fwd + size_t(t) * states;
        const Real* to = back + (size_t(t) + 1) * states;
        const Real norm = norms[t];
        for (int d = 0; d < num_states; ++d) {
            const Real* row = scores + size_t(t) * width + size_t(d) * transitions;
            Real* posts = out + size_t(t) * width + size_t(d) * transitions;
            posts[0] = std::exp(((row[0] + from[d]) + to[d]) - norm) * scale;
            for (int b = 0; b < num_bases; ++b) {
                const Real x = ((row[1 + b] + from[d / num_bases + b * msb]) + to[d]) - norm;
                posts[1 + b] = std::exp(x) * scale;
            }
        }
    }
}

void edge_posts(const float* scores, const float* fwd, const float* back, const float* norms,
                float scale, float* out, int num_blocks, int num_states) {
    crf_kernels_for(num_states)
        .edge_posts(scores, fwd, back, norms, scale, out, num_blocks, num_states);
}

void edge_posts(const double* scores, const double* fwd, const double* back, const double* norms,
                double scale, double* out, int num_blocks, int num_states) {
    edge_posts_form(scores, fwd, back, norms, scale, out, num_blocks, num_states);
}

// The numerator in the linear domain: each row of forward (and backward) weights is scaled by a
// power of two so that its largest entry lies in [0.5, 1), exactly, and the scales and each
// block's largest score are summed in double. Per position a block costs two products and an
// exponential of Real, against two exponentials and a logarithm in double in the log domain.
// Entries below 2^-896 of their row's largest (paths e^-621 times less likely than the best to
// that boundary, as positions far from the likely ones are) are dropped, as rounding drops them
// in the log domain's sums; they would count only where later blocks favour
// them by as much, while every block's weights lie within a float's range of each other. `exact`
// is cleared (and the result is not to be used) where a block's weights do not (scores more than
// about 87 apart in float, 708 in double) or a row loses every entry; the log domain answers.
template <typename Real>
class LinearTarget {
public:
    LinearTarget(const Real* scores, int num_blocks, int num_states, const std::vector<int>& states)
        : scores_(scores),
          blocks_(num_blocks),
          positions_(int(states.size())),
          width_(size_t(num_states) * transitions),
          stay_(states.size()),
          step_(states.size(), 0),
          ws_(states.size() + 2, Real(0)),
          wp_(states.size() + 2, Real(0)) {
        const int msb = num_states / num_bases;
        for (int i = 0; i < positions_; ++i) {
            stay_[size_t(i)] = size_t(states[size_t(i)]) * transitions;
            if (i > 0) {
                step_[size_t(i)] = stay_[size_t(i)] + 1 + size_t(states[size_t(i) - 1] / msb);
            }
        }
    }

    bool feasible() const { return positions_ > 0 && positions_ - 1 <= blocks_; }

    // log of the target's weight; with `grad`, scale times its transitions' posteriors
    // subtracted from grad. max_kept as for target_log_weight.
    double run(Real* grad, double scale, size_t max_kept, bool& exact) {
        exact = true;
        const int T = blocks_;
        const size_t row = size_t(positions_) + 1;  // entry 0 is the position before the first
        const bool keep_all = (size_t(T) + 1) * row <= max_kept;
        const int segment = keep_all ? 1 : std::max(1, int(std::ceil(std::sqrt(double(T) + 1))));
        std::vector<double> kept(grad ? (size_t(T / segment) + 1) * row : 0, 0.0);
        std::vector<double> alpha(row, 0.0), next(row, 0.0);
        alpha[1] = 1;
        double offset = 0;
        for (int t = 0; t < T; ++t) {
            if (grad && t % segment == 0) {
                std::copy(alpha.begin(), alpha.end(), kept.begin() + size_t(t / segment) * row);
            }
            const double top = weights(t, exact);
            if (top == minus_infinity) {
                return minus_infinity;
            }
            const double largest = advance(alpha.data(), next.data(), t);
            if (largest == 0) {
                exact = false;  // no path left, or only paths too unlikely for double
                return minus_infinity;
            }
            offset += top + scale_row(next.data(), lo(t + 1), hi(t + 1), largest);
            alpha.swap(next);
        }
        if (alpha[size_t(positions_)] == 0) {
            exact = false;
            return minus_infinity;
        }
        const double numerator = offset + std::log(alpha[size_t(positions_)]);
        if (!grad || !exact || T == 0) {
            return numerator;
        }
        std::vector<double> rows(size_t(segment) * row), beta(row + 1, 0.0), before(row + 1, 0.0);
        beta[size_t(positions_)] = 1;
        for (int t0 = ((T - 1) / segment) * segment; t0 >= 0 && exact; t0 -= segment) {
            const int t1 = std::min(t0 + segment, T);
            std::copy_n(kept.begin() + size_t(t0 / segment) * row, row, rows.begin());
            for (int t = t0; t + 1 < t1; ++t) {
                weights(t, exact);
                double* out = rows.data() + size_t(t - t0 + 1) * row;
                scale_row(out, lo(t + 1), hi(t + 1),
                          advance(rows.data() + size_t(t - t0) * row, out, t));
            }
            for (int t = t1 - 1; t >= t0; --t) {
                weights(t, exact);
                subtract_posteriors(rows.data() + size_t(t - t0) * row, beta.data(), t,
                                    grad + size_t(t) * width_, scale);
                retreat(beta.data(), before.data(), t, exact);
                beta.swap(before);
            }
        }
        return numerator;
    }

private:
    // Position i of a row is entry i + 1. At boundary t only positions lo(t) .. hi(t) lie on a
    // path from the start to the end.
    int lo(int t) const { return std::max(0, positions_ - 1 - (blocks_ - t)); }
    int hi(int t) const { return std::min(t, positions_ - 1); }

    // The weights of block t relative to its largest allowed score, which it returns (-inf if
    // none is allowed): ws_[i + 1] the stay in i, wp_[i + 1] the step into i, 0 where not allowed.
    double weights(int t, bool& exact) {
        const Real* row = scores_ + size_t(t) * width_;
        const Real none = -std::numeric_limits<Real>::infinity();
        const int first = lo(t), last = hi(t + 1);
        const size_t* stay = stay_.data();
        const size_t* step = step_.data();
        for (int i = first; i <= last; ++i) {
            ws_[size_t(i) + 1] = row[stay[i]];
            wp_[size_t(i) + 1] = row[step[i]];
        }
        // Only the ends of the band differ: no step into lo(t) (from outside the band), no stay
        // in a position that leaves or has not yet entered it.
        wp_[size_t(first) + 1] = none;
        if (lo(t + 1) > first) {
            ws_[size_t(first) + 1] = none;
        }
        if (last > hi(t)) {
            ws_[size_t(last) + 1] = none;
        }
        Real top = none;
        for (int i = first; i <= last; ++i) {
            top = std::max(top, std::max(ws_[size_t(i) + 1], wp_[size_t(i) + 1]));
        }
        if (top == none) {
            return minus_infinity;
        }
        // exp of less than this is below the normal range (with a margin for rounding).
        const Real lowest = Real(std::log(std::numeric_limits<Real>::min())) + 1;
        const size_t e0 = size_t(first) + 1, count = size_t(last - first) + 1;
        bool small = false;
        for (size_t e = e0; e < e0 + count; ++e) {
            ws_[e] -= top;
            wp_[e] -= top;
            small |= (ws_[e] != none && ws_[e] < lowest) | (wp_[e] != none && wp_[e] < lowest);
        }
        exact = exact && !small;
        exp_array(ws_.data() + e0, ws_.data() + e0, count);
        exp_array(wp_.data() + e0, wp_.data() + e0, count);
        return double(top);
    }

    // One block forward from alpha (boundary t) into next (t + 1); returns next's largest entry.
    double advance(const double* alpha, double* next, int t) const {
        double largest = 0;
        for (size_t e = size_t(lo(t + 1)) + 1; e <= size_t(hi(t + 1)) + 1; ++e) {
            next[e] = alpha[e] * double(ws_[e]) + alpha[e - 1] * double(wp_[e]);
            largest = std::max(largest, next[e]);
        }
        return largest;
    }

    // Below this an entry is dropped: kept, it would make subnormal products with the weights,
    // which cost a hundred times a normal one. For float weights none is then made.
    static constexpr double flush = std::is_same_v<Real, float> ? 0x1p-896 : 0x1p-1022;

    // Scales positions first .. last by the power of two that brings `largest` into [0.5, 1),
    // dropping entries below `flush`; returns the log of what was divided out.
    static double scale_row(double* values, int first, int last, double largest) {
        int exponent = 0;
        std::frexp(largest, &exponent);
        const double factor = std::ldexp(1.0, -exponent);
        for (size_t e = size_t(first) + 1; e <= size_t(last) + 1; ++e) {
            values[e] *= factor;
            values[e] = values[e] < flush ? 0.0 : values[e];
        }
        return exponent * std::log(2.0);
    }

    // The posteriors of block t's target transitions, from alpha at t and beta at t + 1,
    // normalised over the block.
    void subtract_posteriors(const double* alpha, const double* beta, int t, Real* grad,
                             double scale) const {
        const size_t e0 = size_t(lo(t + 1)) + 1, e1 = size_t(hi(t + 1)) + 1;
        double total = 0;
        for (size_t e = e0; e <= e1; ++e) {
            total += (alpha[e] * double(ws_[e]) + alpha[e - 1] * double(wp_[e])) * beta[e];
        }
        const double factor = scale / total;
        for (size_t e = e0; e <= e1; ++e) {
            const size_t i = e - 1;
            if (ws_[e] != 0) {
                Real& g = grad[stay_[i]];
                g = Real(double(g) - alpha[e] * double(ws_[e]) * beta[e] * factor);
            }
            if (wp_[e] != 0) {
                Real& g = grad[step_[i]];
                g = Real(double(g) - alpha[e - 1] * double(wp_[e]) * beta[e] * factor);
            }
        }
    }

    // One block backward from beta (boundary t + 1) into before (t), scaled.
    void retreat(const double* beta, double* before, int t, bool& exact) const {
        double largest = 0;
        const int first = lo(t), last = hi(t);
        for (size_t e = size_t(first) + 1; e <= size_t(last) + 1; ++e) {
            before[e] = double(ws_[e]) * beta[e] + double(wp_[e + 1]) * beta[e + 1];
            largest = std::max(largest, before[e]);
        }
        if (largest == 0) {
            exact = false;  // a finite numerator has a path through every boundary
            return;
        }
        scale_row(before, first, last, largest);
    }

    const Real* scores_;
    int blocks_, positions_;
    size_t width_;
    std::vector<size_t> stay_, step_;
    std::vector<Real> ws_, wp_;
};

// The forward guides and their shifts (crf_loss::forward_guides); returns the shifts' sum.
double forward_offset(const float* scores, int num_blocks, int num_states, float* fwd,
                      float* shifts) {
    compute_stable_fwd_guides(scores, fwd, shifts, num_blocks, num_states);
    double offset = 0;
    for (int t = 0; t <= num_blocks; ++t) {
        offset += shifts[t];
    }
    return offset;
}

double forward_offset(const double* scores, int num_blocks, int num_states, double* fwd,
                      double* shifts) {
    const size_t states = size_t(num_states), width = states * transitions;
    Workspace<double> work(num_states);
    std::fill_n(fwd, states, 0.0);
    shifts[0] = 0;
    double offset = 0;
    for (int t = 0; t < num_blocks; ++t) {
        double* next = fwd + (size_t(t) + 1) * states;
        const double best = forward_block(scores + size_t(t) * width, fwd + size_t(t) * states,
                                          next, num_states, work);
        // As the float recursion shifts: by a finite maximum only.
        shifts[t + 1] = std::isfinite(best) ? best : 0;
        for (size_t s = 0; s < states; ++s) {
            next[s] -= shifts[t + 1];
        }
        offset += shifts[t + 1];
    }
    return offset;
}

}  // namespace

template <typename Real>
std::optional<BadScores> first_bad_block(const Real* scores, int num_blocks, int num_states) {
    const size_t width = size_t(num_states) * transitions;
    for (int block = 0; block < num_blocks; ++block) {
        const Real* row = scores + size_t(block) * width;
        for (size_t i = 0; i < width; ++i) {
            if (std::isnan(row[i])) {
                return BadScores{block, "hold NaN"};
            }
            if (row[i] == std::numeric_limits<Real>::infinity()) {
                return BadScores{block, "hold +inf"};
            }
        }
    }
    return std::nullopt;
}

template <typename Real>
double forward_guides(const Real* scores, int num_blocks, int num_states, Same<Real>* fwd,
                      Same<Real>* shifts) {
    const double offset = forward_offset(scores, num_blocks, num_states, fwd, shifts);
    const Real* last = fwd + size_t(num_blocks) * size_t(num_states);
    double sum = 0;
    for (int s = 0; s < num_states; ++s) {
        sum += std::exp(double(last[s]));
    }
    return offset + std::log(sum);
}

template <typename Real>
void scaled_edge_posts(const Real* scores, int num_blocks, int num_states, const Same<Real>* fwd,
                       const Same<Real>* shifts, double scale, Same<Real>* out) {
    const size_t states = size_t(num_states);
    std::vector<Real> back((size_t(num_blocks) + 1) * states);
    std::vector<Real> norms(static_cast<size_t>(num_blocks)), terms(states);
    backward_guides(scores, num_blocks, num_states, back.data());
    for (int t = 0; t < num_blocks; ++t) {
        const size_t boundary = (size_t(t) + 1) * states;
        norms[size_t(t)] =
            boundary_norm(fwd + boundary, back.data() + boundary, shifts[t + 1], num_states, terms);
    }
    edge_posts(scores, fwd, back.data(), norms.data(), Real(scale), out, num_blocks, num_states);
}

template <typename Real>
double log_partition(const Real* scores, int num_blocks, int num_states, Same<Real>* edge_posts) {
    const size_t states = size_t(num_states);
    std::vector<Real> fwd((size_t(num_blocks) + 1) * states), shifts(size_t(num_blocks) + 1);
    const double log_z = forward_guides(scores, num_blocks, num_states, fwd.data(), shifts.data());
    if (edge_posts) {
        if (std::isfinite(log_z)) {
            scaled_edge_posts(scores, num_blocks, num_states, fwd.data(), shifts.data(), 1.0,
                              edge_posts);
        } else {
            std::fill_n(edge_posts, size_t(num_blocks) * states * transitions, Real(0));
        }
    }
    return log_z;
}

std::vector<int> target_states(const int64_t* target, int target_length, int num_states) {
    int k = 0;
    while ((1 << (2 * k)) < num_states) {
        ++k;
    }
    std::vector<int> states;
    int state = 0;
    for (int i = 0; i < target_length; ++i) {
        state = (state * num_bases) % num_states + int(target[i]);
        if (i >= k - 1) {
            states.push_back(state);
        }
    }
    return states;
}

template <typename Real>
double target_log_weight(const Real* scores, int num_blocks, int num_states,
                         const std::vector<int>& states, Same<Real>* grad, size_t max_kept,
                         double scale) {
    const int positions = int(states.size());
    const int T = num_blocks;
    if (positions == 0 || positions - 1 > T) {
        return minus_infinity;
    }
    const size_t width = size_t(num_states) * transitions;
    const int msb = num_states / num_bases;
    // Score index of the stay in position i, and of the step from position i - 1 into i.
    std::vector<size_t> stay(positions), step(positions, 0);
    for (int i = 0; i < positions; ++i) {
        stay[i] = size_t(states[i]) * transitions;
        if (i > 0) {
            step[i] = stay[i] + 1 + size_t(states[i - 1] / msb);
        }
    }
    // At boundary t only positions lo(t) .. hi(t) lie on a path from the start to the end.
    auto lo = [&](int t) { return std::max(0, positions - 1 - (T - t)); };
    auto hi = [&](int t) { return std::min(t, positions - 1); };
    auto advance = [&](const double* prev, double* next, int t) {
        const Real* row = scores + t * width;
        for (int i = lo(t + 1); i <= hi(t + 1); ++i) {
            const double stays = i <= hi(t) ? prev[i] + double(row[stay[i]]) : minus_infinity;
            const double steps =
                i >= 1 && i - 1 >= lo(t) ? prev[i - 1] + double(row[step[i]]) : minus_infinity;
            next[i] = log_add(stays, steps);
        }
    };

    // The forward rows at every `segment`-th boundary are kept (all of them if they fit in
    // max_kept values); the backward pass recomputes the others a segment at a time.
    const size_t row_size = size_t(positions);
    const bool keep_all = (size_t(T) + 1) * row_size <= max_kept;
    const int segment = keep_all ? 1 : std::max(1, int(std::ceil(std::sqrt(double(T) + 1))));
    std::vector<double> kept(grad ? (size_t(T / segment) + 1) * row_size : 0, minus_infinity);
    std::vector<double> alpha(row_size, minus_infinity), next(row_size, minus_infinity);
    alpha[0] = 0;
    if (grad) {
        std::copy(alpha.begin(), alpha.end(), kept.begin());
    }
    for (int t = 0; t < T; ++t) {
        advance(alpha.data(), next.data(), t);
        alpha.swap(next);
        if (grad && (t + 1) % segment == 0) {
            std::copy(alpha.begin(), alpha.end(),
                      kept.begin() + size_t((t + 1) / segment) * row_size);
        }
    }
    const double numerator = alpha[positions - 1];
    if (!grad || numerator == minus_infinity || T == 0) {
        return numerator;
    }

    std::vector<double> rows(size_t(segment) * row_size, minus_infinity);
    std::vector<double> beta(row_size, minus_infinity), beta_prev(row_size, minus_infinity);
    beta[positions - 1] = 0;
    for (int t0 = ((T - 1) / segment) * segment; t0 >= 0; t0 -= segment) {
        const int t1 = std::min(t0 + segment, T);
        std::copy_n(kept.begin() + size_t(t0 / segment) * row_size, row_size, rows.begin());
        for (int t = t0; t + 1 < t1; ++t) {
            advance(rows.data() + size_t(t - t0) * row_size,
                    rows.data() + size_t(t - t0 + 1) * row_size, t);
        }
        for (int t = t1 - 1; t >= t0; --t) {
            const double* a = rows.data() + size_t(t - t0) * row_size;
            const Real* row = scores + t * width;
            Real* g = grad + t * width;
            for (int i = lo(t); i <= hi(t); ++i) {
                const double stays =
                    i >= lo(t + 1) ? double(row[stay[i]]) + beta[i] : minus_infinity;
                const double steps =
                    i + 1 < positions ? double(row[step[i + 1]]) + beta[i + 1] : minus_infinity;
                if (stays != minus_infinity) {
                    g[stay[i]] =
                        Real(double(g[stay[i]]) - scale * std::exp(a[i] + stays - numerator));
                }
                if (steps != minus_infinity) {
                    g[step[i + 1]] =
                        Real(double(g[step[i + 1]]) - scale * std::exp(a[i] + steps - numerator));
                }
                beta_prev[i] = log_add(stays, steps);
            }
            beta.swap(beta_prev);
        }
    }
    return numerator;
}

template <typename Real>
double target_numerator(const Real* scores, int num_blocks, int num_states,
                        const std::vector<int>& states) {
    LinearTarget<Real> linear(scores, num_blocks, num_states, states);
    if (!linear.feasible()) {
        return minus_infinity;
    }
    bool exact = true;
    const double numerator = linear.run(nullptr, 1, 0, exact);
    return exact ? numerator
                 : target_log_weight(scores, num_blocks, num_states, states,
                                     static_cast<Real*>(nullptr));
}

template <typename Real>
void loss_gradient(const Real* scores, int num_blocks, int num_states, const Same<Real>* fwd,
                   const Same<Real>* shifts, const std::vector<int>& states, double scale,
                   Same<Real>* grad) {
    scaled_edge_posts(scores, num_blocks, num_states, fwd, shifts, scale, grad);
    LinearTarget<Real> linear(scores, num_blocks, num_states, states);
    bool exact = true;
    linear.run(grad, scale, size_t(1) << 22, exact);
    if (!exact) {  // the log domain, from the edge posteriors again
        scaled_edge_posts(scores, num_blocks, num_states, fwd, shifts, scale, grad);
        target_log_weight(scores, num_blocks, num_states, states, grad, size_t(1) << 22, scale);
    }
}

template <typename Real>
double target_loss(const Real* scores, int num_blocks, int num_states,
                   const std::vector<int>& states, Same<Real>* grad) {
    const size_t states_size = size_t(num_states);
    std::vector<Real> fwd((size_t(num_blocks) + 1) * states_size), shifts(size_t(num_blocks) + 1);
    const double log_z = forward_guides(scores, num_blocks, num_states, fwd.data(), shifts.data());
    const double numerator = target_numerator(scores, num_blocks, num_states, states);
    const size_t size = size_t(num_blocks) * states_size * transitions;
    if (numerator == minus_infinity) {
        if (grad) {
            std::fill_n(grad, size, Real(0));
        }
        return std::numeric_limits<double>::infinity();
    }
    if (grad) {
        loss_gradient(scores, num_blocks, num_states, fwd.data(), shifts.data(), states, 1.0, grad);
    }
    return log_z - numerator;
}

template std::optional<BadScores> first_bad_block(const float*, int, int);
template std::optional<BadScores> first_bad_block(const double*, int, int);
template double log_partition(const float*, int, int, float*);
template double log_partition(const double*, int, int, double*);
template double forward_guides(const float*, int, int, float*, float*);
template double forward_guides(const double*, int, int, double*, double*);
template void scaled_edge_posts(const float*, int, int, const float*, const float*, double, float*);
template void scaled_edge_posts(const double*, int, int, const double*, const double*, double,
                                double*);
template double target_log_weight(const float*, int, int, const std::vector<int>&, float*, size_t,
                                  double);
template double target_log_weight(const double*, int, int, const std::vector<int>&, double*, size_t,
                                  double);
template double target_numerator(const float*, int, int, const std::vector<int>&);
template double target_numerator(const double*, int, int, const std::vector<int>&);
template void loss_gradient(const float*, int, int, const float*, const float*,
                            const std::vector<int>&, double, float*);
template void loss_gradient(const double*, int, int, const double*, const double*,
                            const std::vector<int>&, double, double*);
template double target_loss(const float*, int, int, const std::vector<int>&, float*);
template double target_loss(const double*, int, int, const std::vector<int>&, double*);

}  // namespace crf_loss

void edge_posts_scalar(const float* scores, const float* fwd, const float* back, const float* norms,
                       float scale, float* out, int num_timesteps, int num_states) {
    crf_loss::edge_posts_form(scores, fwd, back, norms, scale, out, num_timesteps, num_states);
}
