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

// exp and log of `count` values, in double.
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

// Shifts a row down by its largest entry when that is finite and not 0 (as shift_row_scalar).
// Returns the shift, 0 when the row is left as it was.
template <typename Real>
Real shift_row(Real* row, int count) {
    const Real shift = *std::max_element(row, row + count);
    if (!std::isfinite(shift) || shift == 0) {
        return 0;
    }
    for (int i = 0; i < count; ++i) {
        row[i] -= shift;
    }
    return shift;
}

// norm[T - 1] of edge_posts_scalar (crf_kernels.h: edge_norm_scalar), in Real.
template <typename Real>
Real edge_norm_form(const Real* fwd, const Real* back, Real shift, int num_states) {
    Real top = -std::numeric_limits<Real>::infinity();
    for (int s = 0; s < num_states; ++s) {
        top = std::max(top, fwd[s] + back[s]);
    }
    double partial[8] = {};
    for (int s = 0; s < num_states; ++s) {
        partial[s % 8] += double(std::exp((fwd[s] + back[s]) - top));
    }
    const double sum = ((partial[0] + partial[4]) + (partial[1] + partial[5])) +
                       ((partial[2] + partial[6]) + (partial[3] + partial[7]));
    return Real(double(shift) + double(top) + std::log(sum));
}

// edge_posts_scalar (crf_kernels.h) in Real: the backward recursion, two rows of it kept, with
// each block's edge posteriors computed from its terms.
template <typename Real>
void edge_posts_form(const Real* scores, const Real* fwd, const Real* fwd_shifts, Real scale,
                     Real* out, int num_blocks, int num_states, RowHook<Real> hook) {
    const size_t states = size_t(num_states), width = states * transitions;
    std::vector<Real> rows(2 * states, Real(0));
    Real* next = rows.data();
    Real* prev = rows.data() + states;
    const int msb = num_states / num_bases;
    Real norm =
        edge_norm_form(fwd + size_t(num_blocks) * states, next, fwd_shifts[num_blocks], num_states);
    for (int t = num_blocks - 1; t >= 0; --t) {
        const Real* from = fwd + size_t(t) * states;
        double mass[8] = {};  // in the AVX2 form's lanes (crf_kernels.h)
        const Real* row = scores + size_t(t) * width;
        Real* posts = out + size_t(t) * width;
        for (int s = 0; s < num_states; ++s) {
            // The stay into s, then the steps from s into the four states that drop its oldest
            // base, with the indices of their scores.
            size_t edge[transitions];
            int dest[transitions];
            edge[0] = size_t(s) * transitions;
            dest[0] = s;
            const int dest_a = (s * num_bases) % num_states;
            for (int b = 0; b < num_bases; ++b) {
                dest[1 + b] = dest_a + b;
                edge[1 + b] = size_t(dest_a + b) * transitions + 1 + (s * num_bases) / num_states;
            }
            Real terms[transitions];
            for (int j = 0; j < transitions; ++j) {
                terms[j] = row[edge[j]] + next[dest[j]];
            }
            Real top = *std::max_element(terms, terms + transitions);
            const bool dead = top == -std::numeric_limits<Real>::infinity();  // no way to the end
            if (dead) {
                top = 0;  // every term's exponential is then 0, and prev[s] -inf
            }
            Real sum = 0;
            for (int j = 0; j < transitions; ++j) {
                terms[j] = std::exp(terms[j] - top);
                sum += terms[j];
            }
            prev[s] = std::log(sum) + top;
            const Real weight = dead ? Real(0) : std::exp((from[s] + top) - norm);
            mass[4 * ((s % msb) % 2) + s / msb] += double(weight) * double(sum);
            const Real factor = weight * scale;
            for (int j = 0; j < transitions; ++j) {
                posts[edge[j]] = terms[j] * factor;
            }
        }
        if (hook.call != nullptr) {
            hook.call(hook.context, t, posts);
        }
        const Real back_shift = shift_row(prev, num_states);
        const double block_mass = ((mass[0] + mass[4]) + (mass[1] + mass[5])) +
                                  ((mass[2] + mass[6]) + (mass[3] + mass[7]));
        norm = Real(((double(fwd_shifts[t]) + double(norm)) - double(back_shift)) +
                    std::log(block_mass));
        std::swap(next, prev);
    }
}

void edge_posts(const float* scores, const float* fwd, const float* fwd_shifts, float scale,
                float* out, int num_blocks, int num_states, RowHook<float> hook) {
    crf_kernels_for(num_states)
        .edge_posts(scores, fwd, fwd_shifts, scale, out, num_blocks, num_states, hook);
}

void edge_posts(const double* scores, const double* fwd, const double* fwd_shifts, double scale,
                double* out, int num_blocks, int num_states, RowHook<double> hook) {
    edge_posts_form(scores, fwd, fwd_shifts, scale, out, num_blocks, num_states, hook);
}

// The forward recursion over `count` blocks from the row of guides that fwd[0] holds (its shift
// in shifts[0]) into rows 1 .. count, each shifted by its maximum when that is finite.
void forward_stretch(const float* scores, int count, int num_states, float* fwd, float* shifts) {
    crf_kernels_for(num_states).stable_fwd_guides_from(scores, fwd, shifts, count, num_states);
}

void forward_stretch(const double* scores, int count, int num_states, double* fwd, double* shifts) {
    const size_t states = size_t(num_states), width = states * transitions;
    Workspace<double> work(num_states);
    for (int t = 0; t < count; ++t) {
        double* next = fwd + (size_t(t) + 1) * states;
        const double best = forward_block(scores + size_t(t) * width, fwd + size_t(t) * states,
                                          next, num_states, work);
        // As the float recursion shifts: by a finite maximum only.
        shifts[t + 1] = std::isfinite(best) ? best : 0;
        for (size_t s = 0; s < states; ++s) {
            next[s] -= shifts[t + 1];
        }
    }
}

// Blocks whose scores (about 128 KiB) stay in the second-level cache between the recursion and
// the check that reads them next: the recursion hides the reading from memory in its arithmetic,
// the check alone could not.
template <typename Real>
int stretch_blocks(int num_states) {
    const size_t width = size_t(num_states) * transitions * sizeof(Real);
    return int(std::max<size_t>(1, (size_t(128) << 10) / width));
}

// The largest magnitude of a block's best score that keeps a block's posteriors within about
// 1e-3 of exact arithmetic in float (measured), and far closer in double.
template <typename Real>
constexpr Real max_block_score = std::is_same_v<Real, float> ? Real(1e4) : Real(1e9);

// The largest of `count` scores, NaN or +inf if one is: eight independent lanes, which the
// compiler turns into vector instructions (a scan that stops at the first NaN does not vectorise).
template <typename Real>
Real largest_score(const Real* row, size_t count) {
    Real top[8];
    std::fill_n(top, 8, -std::numeric_limits<Real>::infinity());
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        for (int l = 0; l < 8; ++l) {
            const Real x = row[i + l];
            // A NaN, once taken, stays: no comparison with it is true.
            top[l] = x > top[l] || x != x ? x : top[l];
        }
    }
    for (; i < count; ++i) {
        top[0] = row[i] > top[0] || row[i] != row[i] ? row[i] : top[0];
    }
    Real largest = top[0];
    for (int l = 1; l < 8; ++l) {
        if (largest == largest) {  // a NaN found in an earlier lane stays
            largest = top[l] > largest || top[l] != top[l] ? top[l] : largest;
        }
    }
    return largest;
}

template <typename Real>
bool scores_within_form(const Real* row, size_t count) {
    const Real top = largest_score(row, count);
    return top == -std::numeric_limits<Real>::infinity() || std::abs(top) <= max_block_score<Real>;
}

bool scores_within(const float* row, size_t count, int num_states) {
    return crf_kernels_for(num_states).scores_within(row, count, max_block_score<float>);
}

bool scores_within(const double* row, size_t count, int) { return scores_within_form(row, count); }

}  // namespace

template <typename Real>
std::optional<BadScores> first_bad_block(const Real* scores, int num_blocks, int num_states) {
    const size_t width = size_t(num_states) * transitions;
    for (int block = 0; block < num_blocks; ++block) {
        const Real* row = scores + size_t(block) * width;
        if (scores_within(row, width, num_states)) {
            continue;  // the common case, checked without a branch per score
        }
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

namespace {

// forward_guides, and with `check` first_bad_block of each stretch of blocks just after the
// recursion has read it.
template <typename Real>
std::optional<BadScores> forward_pass(const Real* scores, int num_blocks, int num_states, Real* fwd,
                                      Real* shifts, bool check, double& log_z,
                                      StretchHook hook = {}) {
    const size_t states = size_t(num_states), width = states * transitions;
    if constexpr (std::is_same_v<Real, float>) {
        guide_array_size(num_blocks, num_states);  // as the decoding path validates the sizes
    }
    std::fill_n(fwd, states, Real(0));
    shifts[0] = 0;
    const int stretch = check ? stretch_blocks<Real>(num_states) : std::max(num_blocks, 1);
    for (int first = 0; first < num_blocks && num_states > 0; first += stretch) {
        const int count = std::min(stretch, num_blocks - first);
        const Real* part = scores + size_t(first) * width;
        forward_stretch(part, count, num_states, fwd + size_t(first) * states, shifts + first);
        if (check) {
            if (std::optional<BadScores> bad = first_bad_block(part, count, num_states)) {
                bad->block += first;
                return bad;
            }
        }
        if (hook.call != nullptr) {
            hook.call(hook.context, first + count);
        }
    }
    double offset = 0;
    for (int t = 0; t <= num_blocks; ++t) {
        offset += shifts[t];
    }
    const Real* last = fwd + size_t(num_blocks) * states;
    double sum = 0;
    for (int s = 0; s < num_states; ++s) {
        sum += std::exp(double(last[s]));
    }
    log_z = offset + std::log(sum);
    return std::nullopt;
}

}  // namespace

template <typename Real>
double forward_guides(const Real* scores, int num_blocks, int num_states, Same<Real>* fwd,
                      Same<Real>* shifts) {
    double log_z = 0;
    forward_pass(scores, num_blocks, num_states, fwd, shifts, false, log_z);
    return log_z;
}

template <typename Real>
std::optional<BadScores> checked_forward_guides(const Real* scores, int num_blocks, int num_states,
                                                Same<Real>* fwd, Same<Real>* shifts, double& log_z,
                                                StretchHook hook) {
    return forward_pass(scores, num_blocks, num_states, fwd, shifts, true, log_z, hook);
}

template <typename Real>
void scaled_edge_posts(const Real* scores, int num_blocks, int num_states, const Same<Real>* fwd,
                       const Same<Real>* shifts, double scale, Same<Real>* out,
                       RowHook<Real> hook) {
    edge_posts(scores, fwd, shifts, Real(scale), out, num_blocks, num_states, hook);
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
template std::optional<BadScores> checked_forward_guides(const float*, int, int, float*, float*,
                                                         double&, StretchHook);
template std::optional<BadScores> checked_forward_guides(const double*, int, int, double*, double*,
                                                         double&, StretchHook);
template void scaled_edge_posts(const float*, int, int, const float*, const float*, double, float*,
                                RowHook<float>);
template void scaled_edge_posts(const double*, int, int, const double*, const double*, double,
                                double*, RowHook<double>);
template double target_loss(const float*, int, int, const std::vector<int>&, float*);
template double target_loss(const double*, int, int, const std::vector<int>&, double*);

}  // namespace crf_loss

bool scores_within_scalar(const float* row, size_t count, float limit) {
    const float top = crf_loss::largest_score(row, count);
    return top == -std::numeric_limits<float>::infinity() || std::abs(top) <= limit;
}

void edge_posts_scalar(const float* scores, const float* fwd, const float* fwd_shifts, float scale,
                       float* out, int num_timesteps, int num_states, RowHook<float> hook) {
    crf_loss::edge_posts_form(scores, fwd, fwd_shifts, scale, out, num_timesteps, num_states, hook);
}

float edge_norm_scalar(const float* fwd, const float* back, float shift, int num_states) {
    return crf_loss::edge_norm_form(fwd, back, shift, num_states);
}
