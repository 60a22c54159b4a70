#include "read_ahead.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>

#include "real_runs.hpp"
#include "threads.hpp"

namespace femap {

ReadAhead::Lines ReadAhead::at(const char* p, const char*& own_end) {
    own_end = end_;
    if (!base_) {
        if (!first_) first_ = p;
        if (tried_ || size_t(p - first_) < kFirst) return {};
        start(p);
        if (!base_) return {};
    }
    if (p < base_) return {};
    const size_t j = stretch_of(p);
    if (j >= n_stretches_) return {};
    if (j != told_) {
        told_ = j;
        scan_at_.store(j, std::memory_order_release);
        scan_at_.notify_one();
    }
    std::atomic<int>& state_j = states_[j];
    int state = state_j.load(std::memory_order_acquire);
    if (state == Pending && state_j.compare_exchange_strong(state, Own, std::memory_order_acq_rel)) state = Own;
    if (state == Claimed && gave_up_ != j) state = wait_while_claimed(j);
    if (state == Claimed) {  // the thread is held up: read here, and take its lines if they come
        gave_up_ = j;
        state = Own;
    }
    if (state == Own) {  // not begun by the thread, or held up there: read here
        own_end = stretch_end(j);
        return {};
    }
    const Buffer& s = buffer_of(j);
    // the line at p: mostly the one after those taken last, or the one after that
    const size_t h = hint_stretch_ == j ? hint_ : 0;
    size_t r = h;
    while (r < s.lines.size() && s.lines[r].start < p && r < h + 2) ++r;
    if (r == s.lines.size() || s.lines[r].start != p)
        r = size_t(std::lower_bound(s.lines.begin(), s.lines.end(), p,
                                    [](const Line& l, const char* q) { return l.start < q; }) -
                   s.lines.begin());
    if (r == s.lines.size() || s.lines[r].start != p) {  // not a line start read ahead: read here
        own_end = stretch_end(j);
        return {};
    }
    hint_stretch_ = j, hint_ = r;
    return {std::span<const Line>(s.lines.data() + r, s.lines.size() - r), s.values.data()};
}

size_t ReadAhead::next_to_read(size_t at) const noexcept {
    const size_t most = std::min(n_stretches_, at + kBuffers);
    for (size_t k = at + 1; k < most; ++k) {
        if (states_[k].load(std::memory_order_acquire) != Pending) continue;
        // the stretch that used its buffer last may still be read by a thread the scan gave up on
        if (k < kBuffers || states_[k - kBuffers].load(std::memory_order_acquire) != Claimed) return k;
        return SIZE_MAX;
    }
    return SIZE_MAX;
}

bool ReadAhead::read_stretch(size_t k) noexcept {
    int pending = Pending;
    if (!states_[k].compare_exchange_strong(pending, Claimed, std::memory_order_acq_rel)) return true;
    int done = Own;
    try {
        read(buffer_of(k), base_ + k * kStretch, stretch_end(k));
        done = Ready;
    } catch (...) {  // out of memory: the scan reads this stretch in place
    }
    states_[k].store(done, std::memory_order_release);
    return done == Ready;
}

int ReadAhead::wait_while_claimed(size_t j) noexcept {
    const std::atomic<int>& state = states_[j];
    int now;
    // stretches further on read here while the thread is at this one
    while ((now = state.load(std::memory_order_acquire)) == Claimed) {
        const size_t k = next_to_read(j);
        if (k == SIZE_MAX) break;
        read_stretch(k);
    }
    const auto give_up = std::chrono::steady_clock::now() + kPatience;
    for (unsigned k = 1; (now = state.load(std::memory_order_acquire)) == Claimed; ++k) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();  // (leaves the core to the thread where the two share one)
#endif
        if (k % 64 == 0 && std::chrono::steady_clock::now() >= give_up) break;
    }
    return now;
}

void ReadAhead::start(const char* p) {
    tried_ = true;
    const size_t n = (size_t(end_ - p) + kStretch - 1) / kStretch;
    if (n < 2 || worker_threads() < 2) return;  // one processor: the scan reads alone
    try {
        states_ = std::make_unique<std::atomic<int>[]>(n);
        for (size_t j = 0; j < n; ++j) states_[j].store(Pending, std::memory_order_relaxed);
        n_stretches_ = n;
        borrow_buffers();
        base_ = p;
        thread_ = std::thread([this] { run(); });
    } catch (...) {  // no thread: the scan reads alone
        base_ = nullptr;
    }
}

namespace {
// Buffers of finished read-aheads, the memory of one at most; never freed (no
// destruction at exit while a thread may read ahead).
struct BufferPool {
    std::mutex mutex;
    std::vector<std::vector<ReadAhead::Line>> lines;
    std::vector<ReadAhead::Values> values;
};
BufferPool& buffer_pool() {
    static BufferPool* pool = new BufferPool;
    return *pool;
}
// Kept in the pool: buffers of ordinary stretches (a stretch of lines of one short
// value each would need far more).
constexpr size_t kPooledLines = 2048, kPooledValues = 32768;
}  // namespace

void ReadAhead::borrow_buffers() {
    BufferPool& pool = buffer_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (Buffer& b : buffers_) {
        if (!pool.lines.empty()) b.lines.swap(pool.lines.back()), pool.lines.pop_back();
        if (!pool.values.empty()) b.values.swap(pool.values.back()), pool.values.pop_back();
    }
}

void ReadAhead::return_buffers() noexcept {
    if (!base_) return;
    BufferPool& pool = buffer_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    try {
        for (Buffer& b : buffers_) {
            if (pool.lines.size() < kBuffers && b.lines.capacity() && b.lines.capacity() <= kPooledLines)
                pool.lines.push_back(std::move(b.lines));
            if (pool.values.size() < kBuffers && b.values.capacity() && b.values.capacity() <= kPooledValues)
                pool.values.push_back(std::move(b.values));
        }
    } catch (...) {  // out of memory: the rest are freed
    }
}

void ReadAhead::run() {
    while (!stop_.load(std::memory_order_relaxed)) {
        const size_t at = scan_at_.load(std::memory_order_acquire);
        if (at == SIZE_MAX) break;  // stopped
        const size_t k = next_to_read(at);
        if (k == SIZE_MAX) {
            if (at + 1 >= n_stretches_) break;  // nothing left past the scan
            // nothing to read within reach of the buffers: wait for the scan to move on
            scan_at_.wait(at, std::memory_order_acquire);
            continue;
        }
        if (!read_stretch(k)) break;
    }
}

// The lines that start in [b, e): read as read_pair_lines or read_real_lines read
// them, many at a time, or marked as not a plain line of reals; up to the block's last
// line, which is left alone.
void ReadAhead::read(Buffer& s, const char* b, const char* e) {
    s.lines.clear();
    s.values.clear();
    const char* p = b;
    if (p[-1] != '\n') {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end_ - p)));
        if (!nl) return;
        p = nl + 1;
    }
    constexpr size_t kRoom = 64;  // lines a batch (the thread sees a stop between batches)
    double values[kRoom];
    int32_t ids[kRoom];
    uint32_t counts[kRoom];
    const char* nexts[kRoom];
    while (p < e && !stop_.load(std::memory_order_relaxed)) {
        const char* q = p;
        const char* last;
        // plain `id, value` lines, then plain lines of reals; those that end past e one by one
        if (const size_t got = read_pair_lines(q, e, readable_, kRoom, ids, values, last, nexts)) {
            for (size_t r = 0; r < got; ++r) {
                s.lines.push_back({p, nexts[r], 2, uint32_t(s.values.size()), ids[r], true});
                s.values.push_back(double(ids[r]));
                s.values.push_back(values[r]);
                p = nexts[r];
            }
            continue;
        }
        // the values straight into the buffer, with room for a batch
        const size_t at = s.values.size();
        s.values.resize(at + kValueRoom);
        double* out = s.values.data() + at;
        size_t lines;
        bool full;
        size_t got = read_real_lines(q, e, readable_, SIZE_MAX, kRoom, out, kValueRoom, lines, last, full, counts, nexts);
        if (!lines)
            got = read_real_lines(q, end_, readable_, SIZE_MAX, 1, out, kValueRoom, lines, last, full, counts, nexts);
        s.values.resize(at + got);
        if (lines) {
            uint32_t line_at = uint32_t(at);
            for (size_t r = 0; r < lines; ++r) {
                Line l{p, nexts[r], int32_t(counts[r]), line_at, 0, false};
                if (counts[r] == 2) {  // an `id, value` entry?
                    EntryLine entry;
                    const char* rest;
                    l.pair = read_entry_head(p, trailing_commas_off(p, nexts[r] - 1), entry, rest) == EntryHead::Pair;
                    l.first = entry.first;
                }
                s.lines.push_back(l);
                line_at += counts[r];
                p = nexts[r];
            }
            continue;
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end_ - p)));
        if (!nl) return;
        s.lines.push_back({p, nl + 1, -1, uint32_t(s.values.size()), 0, false});
        p = nl + 1;
    }
}

void ReadAhead::stop() noexcept {
    if (!thread_.joinable()) return;
    stop_.store(true, std::memory_order_relaxed);
    scan_at_.store(SIZE_MAX, std::memory_order_release);
    scan_at_.notify_all();
    thread_.join();
}

}  // namespace femap
