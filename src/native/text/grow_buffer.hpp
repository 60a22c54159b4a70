// A growing native buffer whose memory an array can take over. No Python here.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <span>

namespace femap {

// Values gathered for an array that takes their memory over, in the value scan's
// buffer shape (push, size, truncate): grown by realloc, which moves large blocks
// without copying them (so growing never holds two copies); false from push or reserve
// when memory runs out (no error set: it may run on a thread of its own).
template <class T>
class GrowBuffer {
public:
    GrowBuffer() = default;
    GrowBuffer(const GrowBuffer&) = delete;
    GrowBuffer& operator=(const GrowBuffer&) = delete;
    ~GrowBuffer() { std::free(data_); }
    bool push(T v) {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = v;
        return true;
    }
    bool append(std::span<const T> v) {
        if (capacity_ - size_ < v.size() && !grow(size_ + v.size())) return false;
        std::copy(v.begin(), v.end(), data_ + size_);
        size_ += v.size();
        return true;
    }
    size_t size() const { return size_; }
    void truncate(size_t n) { size_ = std::min(size_, n); }
    // Room for n values in all.
    bool reserve(size_t n) { return n <= capacity_ || grow(n); }
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
    bool grow(size_t need = 0) {
        const size_t capacity = std::max<size_t>({1024, 2 * capacity_, need});
        void* d = capacity > SIZE_MAX / sizeof(T) ? nullptr : std::realloc(data_, capacity * sizeof(T));
        if (!d) return false;
        data_ = static_cast<T*>(d);
        capacity_ = capacity;
        return true;
    }
    T* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
};

}  // namespace femap
