#include "file_read.hpp"

#include <atomic>
#include <cerrno>
#include "threads.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#define FEMAP_HAVE_PREAD 1
#endif

namespace femap {

#if defined(FEMAP_HAVE_PREAD)

namespace {

constexpr size_t kPiece = size_t(4) << 20;

// pread, again when a signal interrupted it.
ssize_t pread_at(int fd, char* out, size_t n, uint64_t at) noexcept {
    ssize_t r;
    do r = pread(fd, out, n, static_cast<off_t>(at));
    while (r < 0 && errno == EINTR);
    return r;
}

// All of [at, at + n) of fd into out; false on an error or the end of the file.
bool read_exactly(int fd, uint64_t at, char* out, size_t n) noexcept {
    while (n > 0) {
        ssize_t r = pread_at(fd, out, n, at);
        if (r <= 0) return false;
        out += r, at += static_cast<uint64_t>(r), n -= static_cast<size_t>(r);
    }
    return true;
}

}  // namespace

bool read_file_parallel(int fd, uint64_t offset, char* out, size_t size, size_t threads, ReadFacts& facts) noexcept {
    const size_t pieces = (size + kPiece - 1) / kPiece;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false}, non_ascii{false}, cr{false};
    auto work = [&](size_t) {
        ReadFacts mine;
        for (size_t k; !failed.load(std::memory_order_relaxed) && (k = next.fetch_add(1)) < pieces;) {
            const size_t begin = k * kPiece, n = std::min(kPiece, size - begin);
            char* piece = out + begin;
            if (!read_exactly(fd, offset + begin, piece, n)) {
                failed = true;
                break;
            }
            mine.add(piece, n);
        }
        if (!mine.ascii) non_ascii = true;
        if (mine.has_cr) cr = true;
    };
    try {
        run_each(std::min(std::max<size_t>(threads, 1), std::max<size_t>(pieces, 1)), work);
    } catch (...) {
        return false;
    }
    char after;  // nothing after the bytes read: the file did not grow meanwhile
    if (failed || pread_at(fd, &after, 1, offset + size) != 0) return false;
    facts.ascii = !non_ascii;
    facts.has_cr = cr;
    return true;
}

#else

bool read_file_parallel(int, uint64_t, char*, size_t, size_t, ReadFacts&) noexcept { return false; }

#endif

}  // namespace femap
