#include "text_bytes.hpp"

namespace femap {

size_t first_non_ascii(const char* data, size_t size) noexcept {
    size_t i = 0;
    constexpr uint64_t high = 0x8080808080808080ull;
    for (; i + 32 <= size; i += 32) {
        uint64_t a, b, c, d;
        std::memcpy(&a, data + i, 8);
        std::memcpy(&b, data + i + 8, 8);
        std::memcpy(&c, data + i + 16, 8);
        std::memcpy(&d, data + i + 24, 8);
        if ((a | b | c | d) & high) break;
    }
    for (; i < size; ++i)
        if (static_cast<unsigned char>(data[i]) & 0x80) return i;
    return size;
}

}  // namespace femap
