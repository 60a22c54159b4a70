// The lines of a block as a view of the file's bytes, by index: line i found from
// the nearest line visited before (the last one, or one of a few marks), so that
// walks forward and short steps back cost nothing. No Python here.
#pragma once
#include <array>
#include <cstdint>
#include <string_view>

#include "text_bytes.hpp"

namespace femap {

class ByteLines {
public:
    // The lines of data[begin, end): n_lines of them; `has_cr` when a "\r" may end one.
    void bind(const char* data, size_t begin, size_t end, int64_t n_lines, bool has_cr) noexcept {
        data_ = data, begin_ = begin, end_ = end, n_lines_ = n_lines, has_cr_ = has_cr;
        n_marks_ = mark_slot_ = 0;
        have_cursor_ = false;
    }
    int64_t size() const noexcept { return n_lines_; }
    const char* data() const noexcept { return data_; }
    size_t end() const noexcept { return end_; }
    bool has_cr() const noexcept { return has_cr_; }

    // The text of line i (0 <= i < size()), without its line end.
    std::string_view line(int64_t i) noexcept {
        if (!have_cursor_ || i != cursor_.index) seek(i);
        return {data_ + cursor_.offset, cursor_.text_end - cursor_.offset};
    }
    // Where line i starts in data (the end for i == size()).
    size_t offset(int64_t i) noexcept {
        if (i >= n_lines_) return end_;
        line(i);
        return cursor_.offset;
    }

private:
    void seek(int64_t i) noexcept {
        int64_t idx = 0;
        size_t off = begin_;
        if (have_cursor_ && i > cursor_.index) {
            idx = cursor_.index + 1;
            off = cursor_.next_start;
        } else {
            for (size_t m = 0; m < n_marks_; ++m)
                if (marks_[m].index <= i && marks_[m].index >= idx) idx = marks_[m].index, off = marks_[m].offset;
        }
        if (idx < i && !has_cr_)
            off = skip_lf_lines(data_, end_, off, i - idx);
        else
            for (; idx < i; ++idx) off = find_line_end(data_, end_, off, has_cr_).next_start;
        LineEnd le = find_line_end(data_, end_, off, has_cr_);
        cursor_ = {i, off, le.text_end, le.next_start};
        have_cursor_ = true;
        marks_[mark_slot_] = {i, off};
        mark_slot_ = (mark_slot_ + 1) % marks_.size();
        if (n_marks_ < marks_.size()) ++n_marks_;
    }

    const char* data_ = nullptr;
    size_t begin_ = 0, end_ = 0;
    int64_t n_lines_ = 0;
    bool has_cr_ = false;
    struct Mark { int64_t index; size_t offset; };
    std::array<Mark, 16> marks_{};
    size_t n_marks_ = 0, mark_slot_ = 0;
    struct Cursor { int64_t index; size_t offset, text_end, next_start; };
    Cursor cursor_{};
    bool have_cursor_ = false;
};

// The number of lines of data[begin, end) as ByteLines counts them: without "\r",
// the line feeds (64 bytes at a time), and one more for text after the last.
inline int64_t count_lines(const char* data, size_t begin, size_t end, bool has_cr) noexcept {
    int64_t n = 0;
    if (has_cr) {
        for (size_t p = begin; p < end; ++n) p = find_line_end(data, end, p, has_cr).next_start;
        return n;
    }
    size_t p = begin;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n');
    for (; p + 64 <= end; p += 64) {
        uint64_t lf = 0;
        for (int k = 0; k < 4; ++k)
            lf |= uint64_t(uint32_t(_mm_movemask_epi8(
                      _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p + 16 * k)), nl))))
                  << (16 * k);
        n += popcount64(lf);
    }
#endif
    for (; p < end; ++p) n += data[p] == '\n';
    return n + (end > begin && data[end - 1] != '\n');
}

}  // namespace femap
