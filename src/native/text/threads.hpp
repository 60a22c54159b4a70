// Threads for work that touches no Python: started for one call and joined when it
// ends, however it ends.
#pragma once
#include <algorithm>
#include <cstddef>
#include <thread>
#include <vector>

namespace femap {

class Threads {
public:
    Threads() = default;
    Threads(const Threads&) = delete;
    Threads& operator=(const Threads&) = delete;
    ~Threads() { join(); }
    // Starts f(k) on a thread of its own; false when none can be started.
    template <class F>
    bool start(const F& f, size_t k) {
        try {
            threads_.emplace_back(f, k);
            return true;
        } catch (...) {
            return false;
        }
    }
    // Starts f(k) for k in [0, n) on threads of their own, up to the first that cannot
    // be started; returns how many were.
    template <class F>
    size_t start_each(size_t n, const F& f) {
        size_t k = 0;
        while (k < n && start(f, k)) ++k;
        return k;
    }
    void join() {
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }

private:
    std::vector<std::thread> threads_;
};

// Runs f(k) for k in [0, n): k = 0 on this thread, the others on threads of their
// own where they can be started, else here too.
template <class F>
void run_each(size_t n, const F& f) {
    if (n == 0) return;
    Threads threads;
    size_t k = 1 + threads.start_each(n - 1, [&f](size_t j) { f(j + 1); });
    f(0);
    for (; k < n; ++k) f(k);
}

// The processors this process may run on (at least 1).
size_t usable_processors() noexcept;

// Threads a call uses by default: one per usable processor, at most 8 (asked once).
inline size_t worker_threads() noexcept {
    static const size_t threads = std::min<size_t>(usable_processors(), 8);
    return threads;
}

// The least bytes of text worth a part of their own on another thread. Sanitizer builds
// make it small, so that every test and fuzz input runs the threaded paths.
#ifndef FEMAP_PART_BYTES
#define FEMAP_PART_BYTES (size_t(512) << 10)
#endif
inline constexpr size_t kPartBytes = FEMAP_PART_BYTES;

}  // namespace femap
