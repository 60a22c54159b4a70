// Lines of reals read ahead on a second thread while a long value section is
// scanned: the text from where the scan has got to is cut into stretches; the thread
// reads the next one ahead of the scan that no one has begun (its plain lines of
// reals, as read_real_lines reads them), the scan reads those it gets to first and
// finds the thread's ready when it gets there. Where the thread is still reading one,
// the scan reads further stretches ahead the same way meanwhile, so neither processor
// waits while the other is slower (on a virtual machine one of them often is). No
// Python here.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "field_split.hpp"

namespace femap {

class ReadAhead {
public:
    static constexpr size_t kStretch = size_t(64) << 10;  // bytes of text a stretch starts lines in
    static constexpr size_t kFirst = size_t(64) << 10;    // bytes the scan reads alone before the thread

    // A line read ahead: where it and the next one start, and its values (`count` of
    // them from `at`; -1 when it is not a plain line of reals); whether read_entry_line
    // takes it as an `id, value` entry (`pair`, `first` its id). A range line's
    // identifiers are left to the scan, which meets such a line once in about twenty.
    struct Line {
        const char* start;
        const char* next;
        int32_t count;
        uint32_t at;
        int32_t first;
        bool pair;
    };

    // A value buffer's elements are left as they are by resize: a batch's room is
    // written by the reader, then cut to what it read.
    template <class T>
    struct Uninitialised : std::allocator<T> {
        template <class U>
        struct rebind {
            using other = Uninitialised<U>;
        };
        template <class U, class... A>
        void construct(U* p, A&&... a) {
            if constexpr (sizeof...(A) == 0) ::new (static_cast<void*>(p)) U;
            else ::new (static_cast<void*>(p)) U(std::forward<A>(a)...);
        }
    };
    using Values = std::vector<double, Uninitialised<double>>;
    static constexpr size_t kValueRoom = 4096;  // values a batch of lines may bring

    // For the lines of a block of text that ends at `end`, whose bytes up to `readable` may be read.
    ReadAhead(const char* end, const char* readable) noexcept : end_(end), readable_(readable) {}
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    ~ReadAhead() {
        stop();
        return_buffers();
    }

    // Lines read ahead, and the values their `at` counts from.
    struct Lines {
        std::span<const Line> lines;
        const double* values = nullptr;
    };
    // Told by the scan that it is at the line starting at p (before reading it).
    // Returns the lines read ahead from p on to the end of their stretch, when p is
    // the start of one in a stretch of the thread's (waiting for it to be read); else
    // none, and `own_end` is where the scan's own part ends (a line that starts there
    // is the thread's).
    Lines at(const char* p, const char*& own_end);
    // Whether the thread was started.
    bool started() const noexcept { return base_ != nullptr; }
    // Told by the scan that it took the first `r` of the lines `at` returned.
    void took(size_t r) noexcept { hint_ += r; }

private:
    // A stretch is Pending until the thread or the scan claims it to read ahead
    // (Claimed, then Ready) or the scan gets there and reads it in place (Own): the
    // scan never waits for a stretch no one has begun.
    enum State : int { Pending, Claimed, Ready, Own };
    // The lines of stretches read ahead, stretch j in buffer j % kBuffers; their memory
    // is kept for the next read-ahead (a pool), so it is not faulted in anew every call.
    struct Buffer {
        std::vector<Line> lines;
        Values values;
    };
    void borrow_buffers();
    void return_buffers() noexcept;
    static constexpr size_t kBuffers = 8;  // stretches read ahead may reach this far past the scan's
    Buffer& buffer_of(size_t j) { return buffers_[j % kBuffers]; }
    // The first Pending stretch after the scan's stretch `at` that may be read ahead
    // (its buffer free), or SIZE_MAX.
    size_t next_to_read(size_t at) const noexcept;
    // Claims stretch k, if still Pending, and reads it ahead; false when out of memory
    // (it is then Own: the scan reads it in place).
    bool read_stretch(size_t k) noexcept;

    // How long the scan waits for a stretch the thread is reading before it reads it
    // itself: about twice what a stretch takes. Past that the thread is not running
    // (a virtual processor the host took away), and may not be for milliseconds.
    static constexpr std::chrono::microseconds kPatience{150};
    // The state of stretch j once it is no longer Claimed, reading stretches ahead
    // meanwhile while there are any to read; or Claimed after kPatience of waiting.
    int wait_while_claimed(size_t j) noexcept;
    void start(const char* p);
    void run();
    void read(Buffer& s, const char* b, const char* e);
    void stop() noexcept;
    size_t stretch_of(const char* p) const { return size_t(p - base_) / kStretch; }
    // Where the lines that start in stretch j end.
    const char* stretch_end(size_t j) const { return j + 1 < n_stretches_ ? base_ + (j + 1) * kStretch : end_; }

    const char* end_;
    const char* readable_;
    const char* first_ = nullptr;  // where the scan was first told about
    const char* base_ = nullptr;   // start of stretch 0, once the thread runs
    bool tried_ = false;
    std::unique_ptr<std::atomic<int>[]> states_;  // of each stretch
    Buffer buffers_[kBuffers];
    size_t n_stretches_ = 0;
    size_t told_ = 0;                  // the last stretch scan_at_ was told
    size_t hint_stretch_ = SIZE_MAX, hint_ = 0;  // where the lines taken last end
    size_t gave_up_ = SIZE_MAX;                  // the stretch the scan stopped waiting for
    std::atomic<size_t> scan_at_{0};  // the stretch the scan is in
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace femap
