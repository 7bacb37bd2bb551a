// Blocks of memory handed out as tensors and kept, once their tensor is freed, for the next tensor
// of about their size. What is kept never exceeds the most that was in use at once: a loop that
// asks for the same sizes keeps one step's memory between steps, and sizes that no longer come back
// are given to the system as newer ones are kept.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "loss_memory.h"

namespace loss_memory {
namespace {

constexpr size_t huge_page = size_t(1) << 21;
// Below this, the C library's own heap reuses freed memory well enough.
constexpr size_t smallest_kept = size_t(1) << 20;

struct Block {
    void* data;
    size_t capacity;
};

class KeptBlocks {
public:
    // A block of at least `bytes` (a kept one of at most twice that, else a new one).
    void* take(size_t bytes) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            size_t best = kept_.size();
            for (size_t i = 0; i < kept_.size(); ++i) {
                const size_t capacity = kept_[i].capacity;
                if (capacity >= bytes && capacity / 2 <= bytes &&
                    (best == kept_.size() || capacity <= kept_[best].capacity)) {
                    best = i;
                }
            }
            if (best < kept_.size()) {
                const Block block = kept_[best];
                kept_.erase(kept_.begin() + std::ptrdiff_t(best));
                kept_bytes_ -= block.capacity;
                lend(block);
                return block.data;
            }
        }
        const size_t capacity = (bytes + huge_page - 1) / huge_page * huge_page;
        void* data = std::aligned_alloc(huge_page, capacity);
        if (!data) {
            throw std::bad_alloc();
        }
#ifdef MADV_HUGEPAGE
        // Advice only: where it is refused or unknown nothing changes.
        madvise(data, capacity, MADV_HUGEPAGE);
#endif
        std::lock_guard<std::mutex> lock(mutex_);
        lend({data, capacity});
        return data;
    }

    // Called by the tensor's storage when its last user lets go, on any thread.
    void give_back(void* data) {
        std::vector<void*> surplus;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto lent = lent_.find(data);
            const Block block{data, lent->second};
            lent_.erase(lent);
            lent_bytes_ -= block.capacity;
            kept_.push_back(block);
            kept_bytes_ += block.capacity;
            while (kept_bytes_ > peak_lent_bytes_) {
                surplus.push_back(kept_.front().data);
                kept_bytes_ -= kept_.front().capacity;
                kept_.erase(kept_.begin());
            }
        }
        for (void* block : surplus) {
            std::free(block);
        }
    }

    size_t release() {
        std::vector<Block> kept;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            kept.swap(kept_);
            kept_bytes_ = 0;
            peak_lent_bytes_ = lent_bytes_;
        }
        size_t bytes = 0;
        for (const Block& block : kept) {
            bytes += block.capacity;
            std::free(block.data);
        }
        return bytes;
    }

private:
    void lend(const Block& block) {
        lent_.emplace(block.data, block.capacity);
        lent_bytes_ += block.capacity;
        peak_lent_bytes_ = std::max(peak_lent_bytes_, lent_bytes_);
    }

    std::mutex mutex_;
    std::vector<Block> kept_;  // the oldest first
    std::unordered_map<void*, size_t> lent_;
    size_t kept_bytes_ = 0, lent_bytes_ = 0, peak_lent_bytes_ = 0;
};

// Never destroyed: a tensor may be freed after static destructors have run.
KeptBlocks& kept_blocks() {
    static KeptBlocks* blocks = new KeptBlocks;
    return *blocks;
}

}  // namespace

at::Tensor empty(at::IntArrayRef sizes, at::ScalarType type) {
    const size_t bytes = size_t(c10::multiply_integers(sizes)) * c10::elementSize(type);
    if (bytes < smallest_kept) {
        return at::empty(sizes, type);
    }
    return at::from_blob(
        kept_blocks().take(bytes), sizes, [](void* data) { kept_blocks().give_back(data); },
        at::TensorOptions().dtype(type));
}

size_t release() { return kept_blocks().release(); }

}  // namespace loss_memory
