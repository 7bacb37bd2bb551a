#include "crf_target.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "beam_search.h"
#include "crf_kernels.h"

namespace crf_loss {

namespace {

constexpr int transitions = num_bases + 1;

bool avx512_form() {
    static const bool available = exact_avx512_available();
    return available;
}

// The positions on a target's paths at boundary t: band_lo(t) .. band_hi(t).
int band_lo(int t, int num_blocks, int positions) {
    return std::max(0, positions - 1 - (num_blocks - t));
}
int band_hi(int t, int positions) { return std::min(t, positions - 1); }

bool has_paths(size_t positions, int num_blocks) {
    return positions > 0 && int(positions) - 1 <= num_blocks;
}

// Every `segment`-th row of the band is kept: all of them if they fit in max_kept values, else one
// in sqrt(num_blocks + 1).
struct KeptLayout {
    int segment = 1;
    std::vector<size_t> at;  // where row r starts; at.back() values in all
};

KeptLayout kept_layout(int num_blocks, size_t positions, size_t max_kept) {
    const int P = int(positions);
    const auto cells = [&](int t) { return size_t(band_hi(t, P) - band_lo(t, num_blocks, P) + 1); };
    size_t all = 0;
    for (int t = 0; t <= num_blocks; ++t) all += cells(t);
    KeptLayout layout;
    layout.segment =
        all <= max_kept ? 1 : std::max(1, int(std::ceil(std::sqrt(double(num_blocks) + 1))));
    layout.at.assign(size_t(num_blocks / layout.segment) + 2, 0);
    for (size_t r = 0; r + 1 < layout.at.size(); ++r) {
        layout.at[r + 1] = layout.at[r] + cells(int(r) * layout.segment);
    }
    return layout;
}

// The lattice of one target over one chunk: its band of positions per boundary and the two
// recursions over it, row by row. A row of boundary t holds positions lo(t) .. hi(t), in double:
// the cells that the target's paths cross can lie hundreds of nats below the row's maximum, where
// float would lose the digits of their sums. Only the exponentials and logarithms, of values
// within [-inf, 0] and [1, 2], are taken in Real (their error does not grow with the cells').
template <typename Real>
class TargetPaths {
public:
    static constexpr double none = -std::numeric_limits<double>::infinity();

    TargetPaths(const Real* scores, int num_blocks, int num_states, const std::vector<int>& states,
                bool vector)
        : scores_(scores),
          blocks_(num_blocks),
          positions_(int(states.size())),
          width_(size_t(num_states) * transitions),
          vector_(vector),
          stay_(states.size()),
          step_(states.size(), 0) {
        const int msb = num_states / num_bases;
        for (int i = 0; i < positions_; ++i) {
            stay_[size_t(i)] = size_t(states[size_t(i)]) * transitions;
            if (i > 0) {
                step_[size_t(i)] = stay_[size_t(i)] + 1 + size_t(states[size_t(i) - 1] / msb);
            }
        }
        const size_t widest = size_t(std::min(positions_, blocks_ - positions_ + 2));
        first_.resize(widest);
        second_.resize(widest);
        edges_.resize(widest);
        step_edges_.resize(widest);
        powers_.resize(2 * widest);
    }

    int lo(int t) const { return band_lo(t, blocks_, positions_); }
    int hi(int t) const { return band_hi(t, positions_); }
    int count(int t) const { return hi(t) - lo(t) + 1; }

    // Row t + 1 from row t, shifted by its maximum, which is returned (-inf when no path reaches
    // the row: then the row is left unshifted).
    double forward(const double* prev, int t, double* next) {
        const Real* row = scores_ + size_t(t) * width_;
        const int from = lo(t), to = hi(t), start = lo(t + 1), n = count(t + 1);
        for (int k = 0; k < n; ++k) {
            const int i = start + k;
            first_[size_t(k)] = i <= to ? prev[i - from] + row[stay_[size_t(i)]] : none;
            second_[size_t(k)] = i > from ? prev[i - 1 - from] + row[step_[size_t(i)]] : none;
        }
        log_add_rows(next, n);
        return shift_by_maximum(next, n);
    }

    // Block t of the backward pass: from the forward row t (`alpha`) and the backward row t + 1
    // (`beta_next`), subtracts scale times the block's target posteriors from `g`, the block's row
    // of the gradient, and writes the backward row t (shifted by its maximum) into `beta`. The
    // forward row read next, `ahead` (of `ahead_count` values) where given, is fetched meanwhile.
    void backward(const double* alpha, const double* beta_next, int t, double* beta, Real* g,
                  double scale, const double* ahead = nullptr, int ahead_count = 0) {
        const Real* row = scores_ + size_t(t) * width_;
        const int start = lo(t), n = count(t), next_lo = lo(t + 1), next_hi = hi(t + 1);
        // The cells' two terms, and the block's edges (stays, steps) as log weights, with the
        // largest of each kind.
        double top_stay = none, top_step = none;
        for (int k = 0; k < n; ++k) {
            if (ahead && k % 8 == 0 && k < ahead_count) __builtin_prefetch(ahead + k);
            const int i = start + k;
            const double stay =
                i >= next_lo ? row[stay_[size_t(i)]] + beta_next[i - next_lo] : none;
            const double step =
                i < next_hi ? row[step_[size_t(i) + 1]] + beta_next[i + 1 - next_lo] : none;
            first_[size_t(k)] = stay;
            second_[size_t(k)] = step;
            edges_[size_t(k)] = alpha[k] + stay;
            step_edges_[size_t(k)] = alpha[k] + step;
            top_stay = std::max(top_stay, edges_[size_t(k)]);
            top_step = std::max(top_step, step_edges_[size_t(k)]);
        }
        // Their exponentials less the largest, the stays' then the steps' in `powers`.
        const double top = std::max(top_stay, top_step);
        Real* const stays = powers_.data();
        Real* const steps = powers_.data() + n;
        double sum = 0;
        if constexpr (std::is_same_v<Real, float>) {
            sum = !vector_ ? edge_weights_scalar(edges_.data(), step_edges_.data(), top, stays,
                                                 steps, size_t(n))
                           : (avx512_form() ? edge_weights_avx512 : edge_weights_avx2)(
                                 edges_.data(), step_edges_.data(), top, stays, steps, size_t(n));
        } else {
            for (int k = 0; k < n; ++k) {
                stays[k] = std::exp(edges_[size_t(k)] - top);
                steps[k] = std::exp(step_edges_[size_t(k)] - top);
                sum += stays[k] + steps[k];
            }
        }
        const double factor = scale / sum;
        for (int k = 0; k < n; ++k) {
            // Edges of weight 0 are left alone, so that no 0 * inf reaches the gradient.
            const size_t i = size_t(start + k);
            const Real stay = stays[k], step = steps[k];
            if (stay != 0) g[stay_[i]] = Real(double(g[stay_[i]]) - double(stay) * factor);
            if (step != 0) g[step_[i + 1]] = Real(double(g[step_[i + 1]]) - double(step) * factor);
        }
        log_add_rows(beta, n);
        shift_by_maximum(beta, n);
    }

private:
    // out[k] = log(exp(first[k]) + exp(second[k])), as max + log(1 + exp(min - max)).
    void log_add_rows(double* out, int n) {
        if constexpr (std::is_same_v<Real, float>) {
            const auto log_add = !vector_        ? log_add_rows_scalar
                                 : avx512_form() ? log_add_rows_avx512
                                                 : log_add_rows_avx2;
            log_add(first_.data(), second_.data(), out, size_t(n));
        } else {
            for (int k = 0; k < n; ++k) {
                const double a = first_[size_t(k)], b = second_[size_t(k)];
                const double top = std::max(a, b);
                const double gap = top == none ? none : std::min(a, b) - top;
                out[k] = top + std::log(std::exp(gap) + 1.0);
            }
        }
    }

    // The largest of n > 0 values. They hold no NaN, so the order of the comparisons does not
    // change the result: four chains of them run side by side instead of one.
    static double largest(const double* values, int n) {
        double top0 = none, top1 = none, top2 = none, top3 = none;
        int k = 0;
        for (; k + 4 <= n; k += 4) {
            top0 = std::max(top0, values[k]);
            top1 = std::max(top1, values[k + 1]);
            top2 = std::max(top2, values[k + 2]);
            top3 = std::max(top3, values[k + 3]);
        }
        for (; k < n; ++k) top0 = std::max(top0, values[k]);
        return std::max(std::max(top0, top1), std::max(top2, top3));
    }

    static double shift_by_maximum(double* values, int n) {
        const double top = largest(values, n);
        if (top != none) {
            for (int k = 0; k < n; ++k) values[k] -= top;
        }
        return top;
    }

    const Real* scores_;
    int blocks_, positions_;
    size_t width_;
    bool vector_;
    std::vector<size_t> stay_, step_;         // score index of the stay in i, of the step into i
    std::vector<double> first_, second_;      // the two terms of each cell
    std::vector<double> edges_, step_edges_;  // log weights of the stays and steps of a block
    std::vector<Real> powers_;                // and what exp is taken of for them
};

// The forward pass of a target over the blocks, as far as it is asked to go, keeping the rows
// that the backward pass reads in `kept` where given. Needs has_paths.
template <typename Real>
class TargetForward {
public:
    TargetForward(const Real* scores, int num_blocks, int num_states,
                  const std::vector<int>& states, TargetRows* kept, size_t max_kept, bool vector)
        : paths_(scores, num_blocks, num_states, states, vector),
          kept_(kept),
          alpha_(size_t(std::min(int(states.size()), num_blocks - int(states.size()) + 2))),
          next_(alpha_.size()) {
        alpha_[0] = 0;
        if (kept_) {
            // Every row if they fit, else the first of each segment (the others are recomputed).
            KeptLayout layout = kept_layout(num_blocks, states.size(), max_kept);
            kept_->segment = layout.segment;
            kept_->at = std::move(layout.at);
            kept_->values[0] = 0;  // row 0: position 0 alone
        }
    }

    // Runs the blocks before `end` not yet run, until no path reaches a boundary.
    void advance(int end) {
        for (; t_ < end && !dead_; ++t_) {
            const double top = paths_.forward(alpha_.data(), t_, next_.data());
            if (top == TargetPaths<Real>::none) {
                dead_ = true;
                return;
            }
            offset_ += top;
            alpha_.swap(next_);
            if (kept_ && (t_ + 1) % kept_->segment == 0) {
                std::copy_n(alpha_.begin(), paths_.count(t_ + 1),
                            kept_->values + kept_->at[size_t((t_ + 1) / kept_->segment)]);
            }
        }
    }

    static void advance_to(void* pass, int end) { static_cast<TargetForward*>(pass)->advance(end); }

    // The log weight of the target's paths through the blocks run (the last row holds position
    // P - 1 alone, shifted to 0), -inf if none.
    double value() const { return dead_ ? -std::numeric_limits<double>::infinity() : offset_; }

private:
    TargetPaths<Real> paths_;
    TargetRows* kept_;
    std::vector<double> alpha_, next_;
    int t_ = 0;
    bool dead_ = false;
    double offset_ = 0;
};

template <typename Real>
double forward_pass(const Real* scores, int num_blocks, int num_states,
                    const std::vector<int>& states, TargetRows* kept, size_t max_kept,
                    bool vector) {
    if (!has_paths(states.size(), num_blocks)) {
        return -std::numeric_limits<double>::infinity();
    }
    TargetForward<Real> pass(scores, num_blocks, num_states, states, kept, max_kept, vector);
    pass.advance(num_blocks);
    return pass.value();
}

// The backward pass of a target a block at a time, from the last block to the first, from the
// forward rows kept: entering a segment it recomputes the segment's rows from the one kept (unless
// all are kept).
template <typename Real>
class TargetBackward {
public:
    TargetBackward(const Real* scores, int num_blocks, int num_states,
                   const std::vector<int>& states, const TargetRows& kept, double scale,
                   bool vector)
        : paths_(scores, num_blocks, num_states, states, vector),
          kept_(kept),
          scale_(scale),
          blocks_(num_blocks),
          widest_(size_t(std::min(int(states.size()), num_blocks - int(states.size()) + 2))),
          rows_(kept.segment == 1 ? 0 : size_t(kept.segment) * widest_),
          beta_(widest_),
          beta_prev_(widest_) {
        beta_[0] = 0;
    }

    // Subtracts scale times the target's posteriors of block t from `row`, the block's gradient.
    void block(int t, Real* row) {
        const int segment = kept_.segment, t0 = (t / segment) * segment;
        const double* start = kept_.values + kept_.at[size_t(t0 / segment)];
        const double* alpha = start;
        if (segment > 1) {
            const int t1 = std::min(t0 + segment, blocks_);
            if (t == t1 - 1) {
                std::copy_n(start, paths_.count(t0), rows_.begin());
                for (int u = t0; u + 1 < t1; ++u) {
                    paths_.forward(rows_.data() + size_t(u - t0) * widest_, u,
                                   rows_.data() + size_t(u - t0 + 1) * widest_);
                }
            }
            alpha = rows_.data() + size_t(t - t0) * widest_;
        } else if (t > 0) {
            // The kept rows are read from the last to the first, against the direction in which
            // the processor fetches ahead: the next one is asked for while this one is used, a
            // line at a time among the work (a burst of them would wait for one another).
            paths_.backward(alpha, beta_.data(), t, beta_prev_.data(), row, scale_,
                            kept_.values + kept_.at[size_t(t - 1)], paths_.count(t - 1));
            beta_.swap(beta_prev_);
            return;
        }
        paths_.backward(alpha, beta_.data(), t, beta_prev_.data(), row, scale_);
        beta_.swap(beta_prev_);
    }

    static void block_of(void* pass, int t, Real* row) {
        static_cast<TargetBackward*>(pass)->block(t, row);
    }

private:
    TargetPaths<Real> paths_;
    const TargetRows& kept_;
    double scale_;
    int blocks_;
    size_t widest_;
    std::vector<double> rows_, beta_, beta_prev_;
};

template <typename Real>
void backward_pass(const Real* scores, int num_blocks, int num_states,
                   const std::vector<int>& states, const TargetRows& kept, Real* grad, double scale,
                   bool vector) {
    TargetBackward<Real> pass(scores, num_blocks, num_states, states, kept, scale, vector);
    const size_t width = size_t(num_states) * transitions;
    for (int t = num_blocks - 1; t >= 0; --t) {
        pass.block(t, grad + size_t(t) * width);
    }
}

template <typename Real>
double numerator_and_gradient(const Real* scores, int num_blocks, int num_states,
                              const std::vector<int>& states, Real* grad, size_t max_kept,
                              double scale, bool vector) {
    TargetRows kept;
    std::vector<double> values(grad ? kept_values(num_blocks, states.size(), max_kept) : 0);
    kept.values = values.data();
    const double numerator = forward_pass(scores, num_blocks, num_states, states,
                                          grad ? &kept : nullptr, max_kept, vector);
    if (grad && std::isfinite(numerator) && num_blocks > 0) {
        backward_pass(scores, num_blocks, num_states, states, kept, grad, scale, vector);
    }
    return numerator;
}

bool vector_form() {
    static const bool vector = exact_avx2_available();
    return vector;
}

}  // namespace

size_t kept_values(int num_blocks, size_t positions, size_t max_kept) {
    return has_paths(positions, num_blocks) ? kept_layout(num_blocks, positions, max_kept).at.back()
                                            : 0;
}

template <typename Real>
double target_log_weight(const Real* scores, int num_blocks, int num_states,
                         const std::vector<int>& states, Same<Real>* grad, size_t max_kept,
                         double scale) {
    return numerator_and_gradient(scores, num_blocks, num_states, states, grad, max_kept, scale,
                                  vector_form());
}

template <typename Real>
double target_log_weight_scalar(const Real* scores, int num_blocks, int num_states,
                                const std::vector<int>& states, Same<Real>* grad, size_t max_kept,
                                double scale) {
    return numerator_and_gradient(scores, num_blocks, num_states, states, grad, max_kept, scale,
                                  false);
}

template <typename Real>
double target_forward(const Real* scores, int num_blocks, int num_states,
                      const std::vector<int>& states, TargetRows& kept, size_t max_kept) {
    return forward_pass(scores, num_blocks, num_states, states, &kept, max_kept, vector_form());
}

template <typename Real>
void target_backward(const Real* scores, int num_blocks, int num_states,
                     const std::vector<int>& states, const TargetRows& kept, Same<Real>* grad,
                     double scale) {
    if (has_paths(states.size(), num_blocks) && num_blocks > 0 && !kept.at.empty()) {
        backward_pass(scores, num_blocks, num_states, states, kept, grad, scale, vector_form());
    }
}

template <typename Real>
std::optional<BadScores> checked_forward_with_target(const Real* scores, int num_blocks,
                                                     int num_states, Same<Real>* fwd,
                                                     Same<Real>* shifts, double& log_z,
                                                     const std::vector<int>& states,
                                                     TargetRows* kept, size_t max_kept,
                                                     double& numerator) {
    numerator = -std::numeric_limits<double>::infinity();
    if (!has_paths(states.size(), num_blocks)) {
        return checked_forward_guides(scores, num_blocks, num_states, fwd, shifts, log_z);
    }
    TargetForward<Real> target(scores, num_blocks, num_states, states, kept, max_kept,
                               vector_form());
    std::optional<BadScores> bad =
        checked_forward_guides(scores, num_blocks, num_states, fwd, shifts, log_z,
                               StretchHook{&TargetForward<Real>::advance_to, &target});
    if (!bad) {
        target.advance(num_blocks);
        numerator = target.value();
    }
    return bad;
}

template <typename Real>
void scaled_loss_posts(const Real* scores, int num_blocks, int num_states, const Same<Real>* fwd,
                       const Same<Real>* shifts, double scale, const std::vector<int>& states,
                       const TargetRows& kept, Same<Real>* grad) {
    if (!has_paths(states.size(), num_blocks) || num_blocks == 0 || kept.at.empty()) {
        scaled_edge_posts(scores, num_blocks, num_states, fwd, shifts, scale, grad);
        return;
    }
    TargetBackward<Real> target(scores, num_blocks, num_states, states, kept, scale, vector_form());
    scaled_edge_posts(scores, num_blocks, num_states, fwd, shifts, scale, grad,
                      RowHook<Real>{&TargetBackward<Real>::block_of, &target});
}

template double target_log_weight(const float*, int, int, const std::vector<int>&, float*, size_t,
                                  double);
template double target_log_weight(const double*, int, int, const std::vector<int>&, double*, size_t,
                                  double);
template double target_log_weight_scalar(const float*, int, int, const std::vector<int>&, float*,
                                         size_t, double);
template double target_log_weight_scalar(const double*, int, int, const std::vector<int>&, double*,
                                         size_t, double);
template double target_forward(const float*, int, int, const std::vector<int>&, TargetRows&,
                               size_t);
template double target_forward(const double*, int, int, const std::vector<int>&, TargetRows&,
                               size_t);
template void target_backward(const float*, int, int, const std::vector<int>&, const TargetRows&,
                              float*, double);
template void target_backward(const double*, int, int, const std::vector<int>&, const TargetRows&,
                              double*, double);

template void scaled_loss_posts(const float*, int, int, const float*, const float*, double,
                                const std::vector<int>&, const TargetRows&, float*);
template void scaled_loss_posts(const double*, int, int, const double*, const double*, double,
                                const std::vector<int>&, const TargetRows&, double*);

template std::optional<BadScores> checked_forward_with_target(const float*, int, int, float*,
                                                              float*, double&,
                                                              const std::vector<int>&, TargetRows*,
                                                              size_t, double&);
template std::optional<BadScores> checked_forward_with_target(const double*, int, int, double*,
                                                              double*, double&,
                                                              const std::vector<int>&, TargetRows*,
                                                              size_t, double&);

}  // namespace crf_loss

// exp is taken of values at most 0. In float, those below -88 give 0: their exp lies below
// float's normal range (a weight under 1e-38 against the largest of its row or block, 1), and the
// vector kernels would hand each of them to the scalar function. They are marked by the argument 1
// (never one otherwise), whose exp, above 1, is read as 0; the vector forms mark and read them
// alike.
void log_add_rows_scalar(const double* first, const double* second, double* out, size_t count) {
    constexpr double none = -std::numeric_limits<double>::infinity();
    for (size_t i = 0; i < count; ++i) {
        const double top = std::max(first[i], second[i]);
        const double gap = top == none ? none : std::min(first[i], second[i]) - top;
        float weight = std::exp(gap < -88.0 ? 1.0f : float(gap));
        weight = weight > 1.0f ? 0.0f : weight;
        out[i] = top + double(std::log(weight + 1.0f));
    }
}

double edge_weights_scalar(const double* edges, const double* step_edges, double top, float* stays,
                           float* steps, size_t count, double sum) {
    for (size_t k = 0; k < count; ++k) {
        const double stay = edges[k] - top, step = step_edges[k] - top;
        stays[k] = std::exp(stay < -88.0 ? 1.0f : float(stay));
        steps[k] = std::exp(step < -88.0 ? 1.0f : float(step));
        stays[k] = stays[k] > 1.0f ? 0.0f : stays[k];
        steps[k] = steps[k] > 1.0f ? 0.0f : steps[k];
        sum += double(stays[k]) + double(steps[k]);
    }
    return sum;
}
