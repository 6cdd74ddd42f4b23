// Frame buffer pool and the return-on-release buffer lease.
#include "gige/stream/pool.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <new>

#include <fmt/format.h>

namespace corvisk::gige {

namespace {

// Buffers from this size on are mapped from the system; smaller ones come from the heap.
constexpr uint64_t kMapThreshold = 64 * 1024;
// The size of the system's transparent huge pages on x86-64 and most arm64 kernels.
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

// `size` bytes mapped at a huge-page boundary, so that the system can back all of it but the
// tail with huge pages, or nullptr. Maps a huge page more and gives back what lies outside.
void* map_huge_aligned(size_t size) {
    const size_t span = size + kHugePage;
    void* p = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<uintptr_t>(p);
    const uintptr_t aligned = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t end = (aligned + size + page - 1) & ~(page - 1);
    if (aligned > start) {
        ::munmap(p, aligned - start);
    }
    if (start + span > end) {
        ::munmap(reinterpret_cast<void*>(end), start + span - end);
    }
    // Only a hint: a kernel without huge pages, or set never to use them, keeps small ones.
    (void)::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

// Maps every page of [p, p + size) in now. The write populate of newer kernels does it without
// touching the memory from here; older ones get one written byte per page.
void populate(uint8_t* p, size_t size) {
    if (::madvise(p, size, MADV_POPULATE_WRITE) == 0) {
        return;
    }
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    for (size_t at = 0; at < size; at += page) {
        static_cast<volatile uint8_t*>(p)[at] = 0;
    }
}

}  // namespace

std::optional<PayloadBuffer> PayloadBuffer::allocate(uint64_t size, bool prefault, bool huge) {
    PayloadBuffer b;
    if (size == 0) {
        return b;
    }
    if (size > SIZE_MAX / 2) {
        return std::nullopt;
    }
    if (huge && size >= kHugePage) {
        void* p = map_huge_aligned(size);
        if (p == nullptr) {
            return std::nullopt;
        }
        b.data_ = static_cast<uint8_t*>(p);
        b.mapped_ = true;
        if (prefault) {
            populate(b.data_, size);
        }
    } else if (size >= kMapThreshold) {
        const int populate_flag = prefault ? MAP_POPULATE : 0;
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | populate_flag, -1, 0);
        if (p == MAP_FAILED) {
            return std::nullopt;
        }
        b.data_ = static_cast<uint8_t*>(p);
        b.mapped_ = true;
    } else {
        b.data_ = static_cast<uint8_t*>(std::calloc(size, 1));
        if (b.data_ == nullptr) {
            return std::nullopt;
        }
    }
    b.size_ = size;
    return b;
}

PayloadBuffer& PayloadBuffer::operator=(PayloadBuffer&& other) noexcept {
    if (this != &other) {
        reset();
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
        mapped_ = other.mapped_;
    }
    return *this;
}

void PayloadBuffer::reset() {
    if (data_ != nullptr) {
        if (mapped_) {
            ::munmap(data_, size_);
        } else {
            std::free(data_);
        }
    }
    data_ = nullptr;
    size_ = 0;
}

uint64_t default_pool_memory_limit() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) {
        return UINT64_MAX;
    }
    return static_cast<uint64_t>(pages) / 4 * static_cast<uint64_t>(page_size);
}

CameraResult<void> check_pool_memory(uint64_t n_buffers, uint64_t payload_size, uint64_t limit) {
    if (limit == 0) {
        limit = default_pool_memory_limit();
    }
    uint64_t total = 0;
    bool overflow = __builtin_mul_overflow(n_buffers, payload_size, &total);
    if (!overflow && total <= limit) {
        return {};
    }
    return Err{CameraError::io_text(
        ENOMEM,
        fmt::format("frame pool of {} buffers x {} bytes = {} bytes exceeds the pool "
                    "memory limit of {} bytes",
                    n_buffers, payload_size,
                    overflow ? std::string("more than 2^64") : fmt::format("{}", total), limit))};
}

CameraResult<FramePool> FramePool::create(uint64_t n_buffers, uint64_t payload_size,
                                          uint64_t packets_hint, PoolOptions options) {
    auto [home, free] = chan::bounded<BufSlot>(n_buffers);
    try {
        for (uint64_t i = 0; i < n_buffers; ++i) {
            BufSlot slot;
            // Buffers are handed out from the back of the queue when newest_first holds.
            uint64_t rank = options.newest_first ? n_buffers - 1 - i : i;
            bool prefault = payload_size <= options.prefault_bytes &&
                            rank < options.prefault_bytes / payload_size;
            auto data = PayloadBuffer::allocate(payload_size, prefault, options.huge_pages);
            if (!data) {
                return Err{CameraError::io(ENOMEM)};
            }
            slot.data = std::move(*data);
            slot.packets.reserve(packets_hint);
            // Cannot be refused: the capacity equals the number of slots.
            [[maybe_unused]] auto r = home.try_send(std::move(slot));
        }
    } catch (const std::bad_alloc&) {
        return Err{CameraError::io(ENOMEM)};
    } catch (const std::length_error&) {
        return Err{CameraError::io(ENOMEM)};
    }
    return FramePool{std::move(home), std::move(free), options};
}

PooledBuf& PooledBuf::operator=(PooledBuf&& other) noexcept {
    if (this != &other) {
        release();
        slot_ = std::exchange(other.slot_, std::nullopt);
        home_ = std::move(other.home_);
    }
    return *this;
}

std::span<const uint8_t> PooledBuf::bytes() const {
    if (!slot_) {
        return {};
    }
    return slot_->data;
}

void PooledBuf::release() {
    if (!slot_) {
        return;
    }
    BufSlot slot = std::move(*slot_);
    slot_.reset();
    // Full cannot happen while the slot count equals the capacity; Disconnected means the
    // stream is gone. Either way the slot is destroyed here, freeing its memory.
    [[maybe_unused]] auto r = home_.try_send(std::move(slot));
    home_ = PoolSender();
}

}  // namespace corvisk::gige
