// A large file read straight from its descriptor in pieces on several threads, each
// piece's bytes looked at while they are still in the cache. No Python here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text_bytes.hpp"

namespace femap {

// What the block scan needs to know of a file's bytes.
struct ReadFacts {
    bool ascii = true;    // no byte >= 0x80
    bool has_cr = false;  // some "\r"
    // Takes in n more bytes of the file.
    void add(const char* data, size_t n) noexcept {
        ascii = ascii && first_non_ascii(data, n) == n;
        has_cr = has_cr || std::memchr(data, '\r', n) != nullptr;
    }
};

// Reads `size` bytes of `fd` from `offset` into `out` on up to `threads` threads.
// False when the descriptor cannot be read, or holds fewer bytes or more than
// offset + size (the file changed): then `out` is not to be used.
bool read_file_parallel(int fd, uint64_t offset, char* out, size_t size, size_t threads, ReadFacts& facts) noexcept;

}  // namespace femap
