// The memory of the loss's large tensors (guides, the numerator's rows, gradients), kept for the
// next call when a tensor is freed. A training loop asks for the same sizes at every step; from
// fresh memory the system zeroes each page on first touch, which cost the loss's backward pass as
// much as a sixth of its time, and more when two threads fault pages at once.
#pragma once

#include <ATen/ATen.h>

#include <cstddef>

namespace loss_memory {

// An uninitialised contiguous tensor. Large ones get memory last held by a freed tensor of about
// their size where one is kept, else fresh memory advised for huge pages.
at::Tensor empty(at::IntArrayRef sizes, at::ScalarType type);

// Gives every kept block back to the system and forgets the largest use seen; returns their bytes.
size_t release();

}  // namespace loss_memory
