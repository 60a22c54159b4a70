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

bool is_valid_utf8(const char* data, size_t size) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(data);
    size_t i = first_non_ascii(data, size);
    while (i < size) {
        unsigned char c = s[i];
        if (c < 0x80) {
            size_t skip = first_non_ascii(data + i, size - i);
            i += skip;
            continue;
        }
        if (c >= 0xc2 && c <= 0xdf) {
            if (i + 1 >= size || (s[i + 1] & 0xc0) != 0x80) return false;
            i += 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            if (i + 2 >= size) return false;
            unsigned char c1 = s[i + 1], c2 = s[i + 2];
            if ((c1 & 0xc0) != 0x80 || (c2 & 0xc0) != 0x80) return false;
            if (c == 0xe0 && c1 < 0xa0) return false;   // overlong
            if (c == 0xed && c1 >= 0xa0) return false;  // surrogate
            i += 3;
        } else if (c >= 0xf0 && c <= 0xf4) {
            if (i + 3 >= size) return false;
            unsigned char c1 = s[i + 1], c2 = s[i + 2], c3 = s[i + 3];
            if ((c1 & 0xc0) != 0x80 || (c2 & 0xc0) != 0x80 || (c3 & 0xc0) != 0x80) return false;
            if (c == 0xf0 && c1 < 0x90) return false;   // overlong
            if (c == 0xf4 && c1 >= 0x90) return false;  // above U+10FFFF
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace femap
