#include "read_ahead.hpp"

#include <algorithm>
#include <cstring>

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
    if (gone_ || p < base_) return {};
    const size_t j = stretch_of(p);
    if (j >= n_stretches_) return {};
    if (j != told_) {
        told_ = j;
        scan_at_.store(j, std::memory_order_release);
        scan_at_.notify_one();
    }
    if (j % kCycle == 0) {  // the scan's own stretch
        own_end = j + 1 < n_stretches_ ? base_ + (j + 1) * kStretch : end_;
        return {};
    }
    std::atomic<int>& ready = states_[j];
    int state;
    while ((state = ready.load(std::memory_order_acquire)) == Pending) ready.wait(Pending, std::memory_order_acquire);
    if (state == Gone) {
        gone_ = true;
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
    if (r == s.lines.size() || s.lines[r].start != p) {  // not a line start the thread saw: read here
        own_end = j + 1 < n_stretches_ ? base_ + (j + 1) * kStretch : end_;
        return {};
    }
    hint_stretch_ = j, hint_ = r;
    return {std::span<const Line>(s.lines.data() + r, s.lines.size() - r), s.values.data()};
}

void ReadAhead::start(const char* p) {
    tried_ = true;
    const size_t n = (size_t(end_ - p) + kStretch - 1) / kStretch;
    if (n < 2 || worker_threads() < 2) return;  // one processor: the scan reads alone
    try {
        states_ = std::make_unique<std::atomic<int>[]>(n);
        for (size_t j = 0; j < n; ++j) states_[j].store(Pending, std::memory_order_relaxed);
        n_stretches_ = n;
        base_ = p;
        thread_ = std::thread([this] { run(); });
    } catch (...) {  // no thread: the scan reads alone
        base_ = nullptr;
    }
}

void ReadAhead::run() {
    size_t j = 1;
    auto next = [](size_t k) { return (k + 1) % kCycle ? k + 1 : k + 2; };
    try {
        for (; j < n_stretches_ && !stop_.load(std::memory_order_relaxed); j = next(j)) {
            // no further ahead of the scan than its buffers allow: the stretch that used
            // this one's last is behind the scan (stop() sets scan_at_ to its most)
            for (size_t at; (at = scan_at_.load(std::memory_order_acquire)) < j &&
                            thread_index(j) >= at - (at + kCycle - 1) / kCycle + kBuffers;)
                scan_at_.wait(at, std::memory_order_acquire);
            if (stop_.load(std::memory_order_relaxed)) break;
            const char* b = base_ + j * kStretch;
            read(buffer_of(j), b, size_t(end_ - b) > kStretch ? b + kStretch : end_);
            states_[j].store(Ready, std::memory_order_release);
            states_[j].notify_one();
        }
    } catch (...) {  // out of memory: the scan reads the rest
    }
    for (; j < n_stretches_; j = next(j)) {
        states_[j].store(Gone, std::memory_order_release);
        states_[j].notify_one();
    }
}

// The lines that start in [b, e): each read as read_real_lines reads one, or marked
// as not a plain line of reals; up to the block's last line, which is left alone.
void ReadAhead::read(Buffer& s, const char* b, const char* e) {
    s.lines.clear();
    s.values.clear();
    const char* p = b;
    if (p[-1] != '\n') {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end_ - p)));
        if (!nl) return;
        p = nl + 1;
    }
    s.lines.reserve(4096);
    s.values.reserve(8192);
    constexpr size_t kRoom = 256;
    double values[kRoom];
    int32_t ids[kRoom];
    const char* nexts[kRoom];
    for (unsigned k = 1; p < e; ++k) {
        if (k % 256 == 0 && stop_.load(std::memory_order_relaxed)) return;
        const char* q = p;
        const char* last;
        // plain `id, value` lines in one pass, as read_entry_head and read_real_lines take them
        if (const size_t got = read_pair_lines(q, end_, readable_, kRoom, ids, values, last, nexts)) {
            for (size_t r = 0; r < got && p < e; ++r) {
                s.lines.push_back({p, nexts[r], 2, uint32_t(s.values.size()), EntryHead::Pair, ids[r], 0});
                s.values.push_back(double(ids[r]));
                s.values.push_back(values[r]);
                p = nexts[r];
            }
            continue;
        }
        size_t lines;
        bool full;
        const size_t got = read_real_lines(q, end_, readable_, SIZE_MAX, 1, values, kRoom, lines, last, full);
        if (lines == 1) {
            const char* e = q - 1;  // its "\n"
            while (e > p && e[-1] == ',') --e;
            EntryLine entry;
            const char* rest;
            const EntryHead head = read_entry_head(p, e, entry, rest);
            s.lines.push_back({p, q, int32_t(got), uint32_t(s.values.size()), head, entry.first, entry.second});
            s.values.insert(s.values.end(), values, values + got);
            p = q;
            continue;
        }
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(end_ - p)));
        if (!nl) return;
        s.lines.push_back({p, nl + 1, -1, uint32_t(s.values.size()), EntryHead::NotSimple, 0, 0});
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
