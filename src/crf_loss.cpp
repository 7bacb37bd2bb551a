#include "crf_loss.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <type_traits>

#include "beam_search.h"
#include "crf_kernels.h"
#include "crf_target.h"
#include "stable_guides.h"

namespace crf_loss {

namespace {

constexpr int transitions = num_bases + 1;  // a stay and four steps into each state
constexpr double minus_infinity = -std::numeric_limits<double>::infinity();

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

// The largest magnitude of a block's best score that keeps a block's posteriors within about
// 1e-3 of exact arithmetic in float (measured), and far closer in double.
template <typename Real>
constexpr Real max_block_score = std::is_same_v<Real, float> ? Real(1e4) : Real(1e9);

}  // namespace

template <typename Real>
std::optional<BadScores> first_bad_block(const Real* scores, int num_blocks, int num_states) {
    const size_t width = size_t(num_states) * transitions;
    for (int block = 0; block < num_blocks; ++block) {
        const Real* row = scores + size_t(block) * width;
        Real largest = -std::numeric_limits<Real>::infinity();
        for (size_t i = 0; i < width; ++i) {
            if (std::isnan(row[i])) {
                return BadScores{block, "hold NaN"};
            }
            if (row[i] == std::numeric_limits<Real>::infinity()) {
                return BadScores{block, "hold +inf"};
            }
            largest = std::max(largest, row[i]);
        }
        // The guides are added to the scores: where a block's best scores are this large, the
        // sums lose the digits that the posteriors are made of (the model is the same with the
        // block's scores shifted towards 0). -inf everywhere is a block no path crosses.
        if (std::isfinite(largest) && std::abs(largest) > max_block_score<Real>) {
            return BadScores{block, std::is_same_v<Real, float>
                                        ? "reach beyond +-1e4 (too far from 0 for float32)"
                                        : "reach beyond +-1e9 (too far from 0 for float64)"};
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
double target_loss(const Real* scores, int num_blocks, int num_states,
                   const std::vector<int>& states, Same<Real>* grad) {
    const double log_z = log_partition(scores, num_blocks, num_states, grad);
    const double numerator = target_log_weight(scores, num_blocks, num_states, states, grad);
    if (numerator == minus_infinity) {
        if (grad) {
            std::fill_n(grad, size_t(num_blocks) * num_states * transitions, Real(0));
        }
        return std::numeric_limits<double>::infinity();
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
template double target_loss(const float*, int, int, const std::vector<int>&, float*);
template double target_loss(const double*, int, int, const std::vector<int>&, double*);

}  // namespace crf_loss

void edge_posts_scalar(const float* scores, const float* fwd, const float* back, const float* norms,
                       float scale, float* out, int num_timesteps, int num_states) {
    crf_loss::edge_posts_form(scores, fwd, back, norms, scale, out, num_timesteps, num_states);
}
