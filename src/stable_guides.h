// Guides for decoding at any length and with masked transitions.
//
// The guides of compute_back_guides and compute_fwd_guides are not normalised: their magnitude
// grows with the number of blocks they cover, and with it the rounding of every difference
// between two states, which is all that the search and the posteriors read. A -inf score is an
// impossible transition, and a state that every slot reaches through one gets -inf - -inf = NaN
// there, which spreads to every later row.
//
// These forms run the same recursions, slot for slot, with two differences:
// - a state whose five slots are all -inf (no path of finite scores reaches it) gets -inf;
// - with `row_shifts`, each row, once computed, is shifted down by its largest entry (when that
//   is finite), so that every row's best state is at 0 and precision does not fall with length.
//   row_shifts[r] is the shift of row r: the true guide of row r is its entry plus the sum of the
//   shifts of the rows from the recursion's first row (0 forward, num_blocks backward) to r.
// Without row_shifts the results have the bits of the specified recursions wherever those hold no
// NaN. Arrays as for compute_back_guides: (num_blocks + 1) * num_states floats, row_shifts
// num_blocks + 1 floats; sizes are checked as there.
#pragma once

void compute_stable_back_guides(const float* scores, float* back_guides, float* row_shifts,
                                int num_blocks, int num_states);
void compute_stable_fwd_guides(const float* scores, float* fwd_guides, float* row_shifts,
                               int num_blocks, int num_states);

// The scores of every block less the increase of the best path's score in that block (a
// max-product forward recursion renormalised per row), into `shifted` (num_blocks * 5 *
// num_states floats). Every path's score changes by the same amount, so the best path and the
// posteriors are those of `scores`, but the best partial path scores 0 at every block: a search
// over these scores keeps its path scores, and its precision, near 0 at any length.
void compute_best_path_shifted(const float* scores, float* shifted, int num_blocks, int num_states);
