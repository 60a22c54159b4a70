// The value scan of the next record, run on a second thread while the caller builds
// the objects of the record before. Started at the line after a record, it takes that
// line as the walk does (a vector start whose header it locates) and scans the values
// over PlainLines. Its pairs are taken where the walk then scans from the same line and
// the scan read them without the host (an ASCII block); anything else is scanned by the
// walk itself, so the result is always the walk's. No Python here.
#pragma once
#include <cstdint>
#include <thread>
#include <utility>

#include "plain_lines.hpp"
#include "record_walks.hpp"
#include "threads.hpp"

namespace femap {

// Pairs: a ScanBuffer-shaped pair sink (ids, values) that swaps with std::swap.
template <class Pairs>
class ScanAhead {
public:
    ~ScanAhead() { join(); }  // (so neither copied nor moved: the thread points at it)

    // Starts the scan of the record at line `from` of `bytes` (an ASCII block whose
    // bytes up to `readable` may be read); the one started before is joined first.
    // Nothing starts where this process may use one processor only.
    void start(const ByteLines& bytes, const char* readable, int64_t from) {
        forget();
        if (worker_threads() < 2) return;
        try {
            thread_ = std::thread([this, bytes, readable, from] { run(bytes, readable, from); });
        } catch (...) {  // no thread: the walk scans alone
        }
    }

    // Waits for the scan started last. When it read the values from line k on to the
    // end of the section, its pairs are swapped into `pairs` and `next` is set past the
    // section; true then.
    bool take(int64_t k, Pairs& pairs, int64_t& next) {
        join();
        const bool read = done_ && k == from_;
        done_ = false;
        if (!read) return false;
        std::swap(pairs, pairs_);
        next = end_.next;
        return true;
    }

    // Waits for the scan started last, and forgets it (before the lines it reads go).
    void forget() noexcept {
        join();
        done_ = false;
    }

private:
    void join() noexcept {
        if (thread_.joinable()) thread_.join();
    }

    void run(ByteLines bytes, const char* readable, int64_t from) noexcept {
        try {
            bytes.read_ahead(nullptr);
            PlainLines lines;
            lines.bind(bytes, readable);
            const int64_t n = lines.size();
            PlainFields f;
            int32_t set_id, vec_id;
            if (from >= n || read_vector_start(lines, from, f, set_id, vec_id) != Conv::Ok) return;
            VectorHeader header;
            if (locate_vector_header(lines, from, header) != Conv::Ok) return;
            from_ = header.result_start;
            pairs_.clear();
            done_ = scan_vector_values(lines, n, from_, pairs_, end_) == Conv::Ok;
        } catch (...) {  // out of memory: the walk scans itself
            done_ = false;
        }
    }

    std::thread thread_;
    bool done_ = false;  // the last scan read its section (set by the thread, read after join)
    int64_t from_ = -1;
    ScanEnd end_;
    Pairs pairs_;
};

}  // namespace femap
