// The field splitter on ASCII text: trailing commas off, white space off both ends,
// then comma-separated (empty pieces dropped) when a comma is left, else split at
// runs of white space. Fields are views into the line.
#pragma once
#include <string_view>
#include <vector>

#include "text_bytes.hpp"

namespace femap {

using FieldViews = std::vector<std::string_view>;

inline void split_fields_ascii(std::string_view line, FieldViews& out) {
    out.clear();
    size_t e = line.size();
    while (e > 0 && line[e - 1] == ',') --e;
    std::string_view s = strip_space(line.substr(0, e));
    if (s.empty()) return;
    const char* p = s.data();
    const char* end = p + s.size();
    if (std::memchr(p, ',', s.size())) {
        // Pieces are short: one pass over the bytes beats a memchr call per comma.
        const char* piece = p;
        for (const char* q = p;; ++q) {
            if (q != end && *q != ',') continue;
            const char* b = piece;
            const char* e = q;
            while (b < e && is_space(static_cast<unsigned char>(*b))) ++b;
            while (e > b && is_space(static_cast<unsigned char>(e[-1]))) --e;
            if (e > b) out.emplace_back(b, static_cast<size_t>(e - b));
            if (q == end) break;
            piece = q + 1;
        }
        return;
    }
    while (p < end) {
        while (p < end && is_space(static_cast<unsigned char>(*p))) ++p;
        const char* b = p;
        while (p < end && !is_space(static_cast<unsigned char>(*p))) ++p;
        if (p > b) out.emplace_back(b, static_cast<size_t>(p - b));
    }
}

}  // namespace femap
