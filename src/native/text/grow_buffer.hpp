// Growing native buffers: the append interface, and a buffer whose memory an array
// can take over. No Python here.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <span>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace femap {

// Asks the kernel to back the whole pages inside [p, p + bytes) with huge pages where
// it can, as NumPy does for its large arrays: fresh memory then faults in 2 MiB at a
// time instead of 4 KiB, many times faster (on virtual machines above all). Only for
// buffers of 2 MiB or more; advice only, nothing fails.
inline void advise_huge_pages(void* p, size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t kPage = 4096;
    if (!p || bytes < (size_t(2) << 20)) return;
    const uintptr_t b = (reinterpret_cast<uintptr_t>(p) + kPage - 1) & ~(kPage - 1);
    const uintptr_t e = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kPage - 1);
    if (e > b) madvise(reinterpret_cast<void*>(b), e - b, MADV_HUGEPAGE);
#else
    (void)p, (void)bytes;
#endif
}

// Memory of finished buffers kept for the next ones: their pages, already faulted
// in, are written again instead of fresh ones (a fresh 4 KiB page costs a microsecond
// or more to fault in, more than filling it). At most kKept blocks of at most
// kLargest bytes each are kept; any thread may take and give.
class ScratchPool {
public:
    static constexpr size_t kKept = 4, kLargest = size_t(4) << 20;
    ScratchPool() = default;
    ScratchPool(const ScratchPool&) = delete;
    ScratchPool& operator=(const ScratchPool&) = delete;
    ~ScratchPool() {
        for (void* b : blocks_) std::free(b);
    }
    // The smallest kept block of at least `bytes` (malloc'd, `size` bytes), now the
    // caller's; nullptr when none is.
    void* take(size_t bytes, size_t& size) noexcept {
        std::lock_guard lock(mutex_);
        size_t best = kKept;
        for (size_t k = 0; k < kKept; ++k)
            if (blocks_[k] && sizes_[k] >= bytes && (best == kKept || sizes_[k] < sizes_[best])) best = k;
        if (best == kKept) return nullptr;
        size = std::exchange(sizes_[best], 0);
        return std::exchange(blocks_[best], nullptr);
    }
    // Keeps p (malloc'd, `size` bytes) in place of an empty or smaller slot, or frees it.
    void give(void* p, size_t size) noexcept {
        if (p && size <= kLargest) {
            std::lock_guard lock(mutex_);
            const size_t slot = size_t(std::min_element(sizes_, sizes_ + kKept) - sizes_);  // empty ones have size 0
            if (sizes_[slot] < size) {
                std::swap(blocks_[slot], p);
                sizes_[slot] = size;
            }
        }
        std::free(p);
    }

private:
    std::mutex mutex_;
    void* blocks_[kKept] = {};
    size_t sizes_[kKept] = {};
};

inline ScratchPool& scratch_pool() {
    static ScratchPool pool;
    return pool;
}

// Writes the n identifiers first, first + 1, ... of a range line (as int32 wraps them).
template <class T>
void write_id_run(T* out, int32_t first, size_t n) noexcept {
    for (size_t k = 0; k < n; ++k) out[k] = static_cast<T>(static_cast<int32_t>(first + int64_t(k)));
}

// push and append over malloc'd memory the buffer owns, which Derived::grow(need) makes
// room in (realloc_for: doubling, 1024 values at least): the buffer shape the value
// scan and the array sinks write into.
template <class Derived, class T>
class Appender {
public:
    Appender() = default;
    Appender(const Appender&) = delete;
    Appender& operator=(const Appender&) = delete;
    ~Appender() { std::free(data_); }
    bool push(T v) {
        if (size_ == capacity_ && !self().grow(size_ + 1)) return false;
        data_[size_++] = v;
        return true;
    }
    bool append(std::span<const T> v) {
        if (capacity_ - size_ < v.size() && !self().grow(size_ + v.size())) return false;
        std::copy(v.begin(), v.end(), data_ + size_);
        size_ += v.size();
        return true;
    }
    // Appends the n identifiers first, first + 1, ... (write_id_run).
    bool append_run(int32_t first, size_t n) {
        if (capacity_ - size_ < n && !self().grow(size_ + n)) return false;
        write_id_run(data_ + size_, first, n);
        size_ += n;
        return true;
    }
    size_t size() const { return size_; }
    std::span<const T> values() const { return {data_, size_}; }
    void truncate(size_t n) { size_ = std::min(size_, n); }
    // Room for n values in all.
    bool reserve(size_t n) { return n <= capacity_ || self().grow(n); }

protected:
    // Room for `need` values by realloc (large blocks move without a copy, so growing
    // never holds two copies); false when memory runs out, the buffer as it was.
    bool realloc_for(size_t need) noexcept {
        const size_t capacity = std::max<size_t>({1024, 2 * capacity_, need});
        void* d = capacity > SIZE_MAX / sizeof(T) ? nullptr : std::realloc(data_, capacity * sizeof(T));
        if (!d) return false;
        advise_huge_pages(d, capacity * sizeof(T));
        data_ = static_cast<T*>(d);
        capacity_ = capacity;
        return true;
    }
    T* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;

private:
    Derived& self() { return static_cast<Derived&>(*this); }
};

// Values gathered for an array that takes their memory over; false from push or
// reserve when memory runs out (no error set: it may run on a thread of its own).
template <class T>
class GrowBuffer : public Appender<GrowBuffer<T>, T> {
    friend class Appender<GrowBuffer<T>, T>;
    using Appender<GrowBuffer<T>, T>::data_, Appender<GrowBuffer<T>, T>::size_, Appender<GrowBuffer<T>, T>::capacity_;

public:
    GrowBuffer() = default;
    GrowBuffer(GrowBuffer&& o) noexcept {
        data_ = std::exchange(o.data_, nullptr);
        size_ = std::exchange(o.size_, 0);
        capacity_ = std::exchange(o.capacity_, 0);
    }
    // The memory (malloc'd, `size()` values), now the caller's to free.
    T* release() {
        if (capacity_ > size_)  // give back what a reservation left over
            if (void* d = std::realloc(data_, std::max<size_t>(size_, 1) * sizeof(T))) data_ = static_cast<T*>(d);
        T* d = data_;
        data_ = nullptr;
        size_ = capacity_ = 0;
        return d;
    }

private:
    bool grow(size_t need) { return this->realloc_for(need); }
};

}  // namespace femap
