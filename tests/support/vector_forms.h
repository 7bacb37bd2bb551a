// The vector forms of the recursions, each beside the test that tells whether this processor and C
// library run it exactly, for tests that compare every form with the scalar one.
#pragma once

#include <vector>

#include "crf_kernels.h"

struct VectorForm {
    const char* name;
    bool (*available)();
    decltype(&back_guides_avx2) back_guides;
    decltype(&fwd_guides_avx2) fwd_guides;
    decltype(&posts_avx2) posts;
    decltype(&stable_back_guides_avx2) stable_back_guides;
    decltype(&stable_fwd_guides_avx2) stable_fwd_guides;
    decltype(&best_path_shifted_avx2) best_path_shifted;
    decltype(&edge_posts_avx2) edge_posts;
    decltype(&edge_norm_avx2) edge_norm;
    decltype(&scores_within_avx2) scores_within;
    decltype(&expf_avx2) expf;
    decltype(&logf_avx2) logf;
    decltype(&log_add_rows_avx2) log_add_rows;
    decltype(&edge_weights_avx2) edge_weights;
};

inline const VectorForm vector_forms[] = {
    {"avx2", exact_avx2_available, back_guides_avx2, fwd_guides_avx2, posts_avx2,
     stable_back_guides_avx2, stable_fwd_guides_avx2, best_path_shifted_avx2, edge_posts_avx2,
     edge_norm_avx2, scores_within_avx2, expf_avx2, logf_avx2, log_add_rows_avx2,
     edge_weights_avx2},
    {"avx512", exact_avx512_available, back_guides_avx512, fwd_guides_avx512, posts_avx512,
     stable_back_guides_avx512, stable_fwd_guides_avx512, best_path_shifted_avx512,
     edge_posts_avx512, edge_norm_avx512, scores_within_avx512, expf_avx512, logf_avx512,
     log_add_rows_avx512, edge_weights_avx512},
};

// The forms that this processor and C library run exactly, narrowest first.
inline std::vector<const VectorForm*> exact_vector_forms() {
    std::vector<const VectorForm*> forms;
    for (const VectorForm& form : vector_forms) {
        if (form.available()) {
            forms.push_back(&form);
        }
    }
    return forms;
}
