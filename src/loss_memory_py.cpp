// Blocks of memory handed out as tensors and kept, once their tensor is freed, for the next tensor
// of about their size. What is kept never exceeds the most that was in use at once in this stretch
// of use or the four before it (a stretch ends when nothing is in use): a loop whose steps take
// turns among a few sizes keeps one step's memory of each, and the memory of one larger step is
// given back four steps later.
#include <c10/core/CPUAllocator.h>
#include <pthread.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <cstdint>
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

// Blocks are mapped from the system directly, so that giving one back returns it to the system
// (a block of the C library's heap may stay in the process), and aligned to huge pages.
void* map_block(size_t capacity) {
    const size_t mapped = capacity + huge_page;
    void* start = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) {
        throw std::bad_alloc();
    }
    const uintptr_t first = reinterpret_cast<uintptr_t>(start);
    const uintptr_t aligned = (first + huge_page - 1) & ~uintptr_t(huge_page - 1);
    if (aligned > first) {
        munmap(start, aligned - first);
    }
    if (const size_t after = first + mapped - (aligned + capacity)) {
        munmap(reinterpret_cast<void*>(aligned + capacity), after);
    }
    void* data = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    // Advice only: where it is refused or unknown nothing changes.
    madvise(data, capacity, MADV_HUGEPAGE);
#endif
    return data;
}

class KeptBlocks {
public:
    KeptBlocks() {
        // A child forked while another thread held the lock would wait for it for ever.
        pthread_atfork([] { kept_blocks().mutex_.lock(); }, [] { kept_blocks().mutex_.unlock(); },
                       [] { kept_blocks().mutex_.unlock(); });
    }

    static KeptBlocks& kept_blocks();

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
        void* data = map_block(capacity);
        std::lock_guard<std::mutex> lock(mutex_);
        lend({data, capacity});
        return data;
    }

    // Called by the tensor's storage when its last user lets go, on any thread.
    void give_back(void* data) {
        std::vector<Block> surplus;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto lent = lent_.find(data);
            const Block block{data, lent->second};
            lent_.erase(lent);
            lent_bytes_ -= block.capacity;
            kept_.push_back(block);
            kept_bytes_ += block.capacity;
            if (lent_bytes_ == 0) {
                recent_peaks_[stretches_++ % recent_peaks_.size()] = peak_;
                peak_ = 0;
            }
            const size_t limit =
                std::max(peak_, *std::max_element(recent_peaks_.begin(), recent_peaks_.end()));
            while (kept_bytes_ > limit) {
                surplus.push_back(kept_.front());
                kept_bytes_ -= kept_.front().capacity;
                kept_.erase(kept_.begin());
            }
        }
        for (const Block& block : surplus) {
            munmap(block.data, block.capacity);
        }
    }

    size_t release() {
        std::vector<Block> kept;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            kept.swap(kept_);
            kept_bytes_ = 0;
            recent_peaks_.fill(0);
            peak_ = lent_bytes_;
        }
        size_t bytes = 0;
        for (const Block& block : kept) {
            bytes += block.capacity;
            munmap(block.data, block.capacity);
        }
        return bytes;
    }

private:
    void lend(const Block& block) {
        lent_.emplace(block.data, block.capacity);
        lent_bytes_ += block.capacity;
        peak_ = std::max(peak_, lent_bytes_);
    }

    std::mutex mutex_;
    std::vector<Block> kept_;  // the oldest first
    std::unordered_map<void*, size_t> lent_;
    size_t kept_bytes_ = 0, lent_bytes_ = 0;
    size_t peak_ = 0;                          // the most lent in this stretch
    std::array<size_t, 4> recent_peaks_ = {};  // and in the four before it
    size_t stretches_ = 0;
};

// Never destroyed: a tensor may be freed after static destructors have run.
KeptBlocks& KeptBlocks::kept_blocks() {
    static KeptBlocks* blocks = new KeptBlocks;
    return *blocks;
}

void give_back(void* data) { KeptBlocks::kept_blocks().give_back(data); }

}  // namespace

at::Tensor empty(at::IntArrayRef sizes, at::ScalarType type) {
    const size_t bytes = size_t(c10::multiply_integers(sizes)) * c10::elementSize(type);
    if (bytes < smallest_kept) {
        return at::empty(sizes, type);
    }
    void* data = KeptBlocks::kept_blocks().take(bytes);
    // Resizable as any tensor's storage: growing it moves the data to memory of torch's allocator
    // and gives the block back.
    c10::Storage storage(c10::Storage::use_byte_size_t(), bytes,
                         c10::DataPtr(data, data, &give_back, c10::Device(c10::kCPU)),
                         c10::GetDefaultCPUAllocator(), /*resizable=*/true);
    return at::empty({0}, at::TensorOptions().dtype(type)).set_(std::move(storage), 0, sizes);
}

size_t release() { return KeptBlocks::kept_blocks().release(); }

}  // namespace loss_memory
