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
        while (true) {
            const char* c = static_cast<const char*>(std::memchr(p, ',', static_cast<size_t>(end - p)));
            const char* piece_end = c ? c : end;
            std::string_view piece = strip_space(std::string_view(p, static_cast<size_t>(piece_end - p)));
            if (!piece.empty()) out.push_back(piece);
            if (!c) break;
            p = c + 1;
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
