// The lines of a block as a view of the file's bytes, by index: line i found from
// the nearest line visited before (the last one, or one of a few marks), so that
// walks forward and short steps back cost nothing. No Python here.
#pragma once
#include <algorithm>
#include <array>
#include <span>
#include <cstdint>
#include <string_view>

#include "read_ahead.hpp"
#include "real_runs.hpp"
#include "text_bytes.hpp"

namespace femap {

class ByteLines {
public:
    // The lines of data[begin, end): n_lines of them; `has_cr` when a "\r" may end one.
    void bind(const char* data, size_t begin, size_t end, int64_t n_lines, bool has_cr) noexcept {
        data_ = data, begin_ = begin, end_ = end, n_lines_ = n_lines, has_cr_ = has_cr;
        n_marks_ = mark_slot_ = 0;
        have_cursor_ = false;
        ahead_ = nullptr;
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

    // Passes over the lines from line i on that a value section's skip walk only
    // counts: at most `most` fields (as count_fields_ascii counts them: blanks only in
    // lines of two fields or more, split at their commas) whose field 0 cannot read as
    // -1: lines without white space first, then any, as pass_lines does.
    int64_t skip_short_lines(int64_t i, int64_t n, unsigned most, const char* readable) noexcept {
#if defined(__SSE2__)
        const int64_t k = skip_bare_short_lines(i, n, most, readable);
        return pass_lines(k, n, readable, [most](int64_t fields, bool blanks) {
            return fields <= int64_t(most) && (!blanks || fields >= 2) ? Take::Pass : Take::Stop;
        });
#else
        (void)n, (void)most, (void)readable;
        return i;
#endif
    }

    // Passes over the lines from line i on whose fields a value section's skip walk
    // counts while a range line wants more values: lines of two fields or more (split
    // at their commas) whose field 0 cannot read as -1, as pass_lines does. Adds their
    // fields to `have` and stops after the line that brings it to `wanted`.
    int64_t count_value_lines(int64_t i, int64_t n, int64_t wanted, int64_t& have, const char* readable) noexcept {
#if defined(__SSE2__)
        if (have >= wanted) return i;
        return pass_lines(i, n, readable, [&](int64_t fields, bool) {
            if (fields < 2) return Take::Stop;
            have += fields;
            return have >= wanted ? Take::Last : Take::Pass;
        });
#else
        (void)n, (void)wanted, (void)have, (void)readable;
        return i;
#endif
    }

    // Reads the lines from line i on (before line n) that are plain `id,value` entries
    // (read_pair_lines), in batches into pairs(span of ids, span of values) -> bool.
    // Returns the first line not read, its text then at hand, or -1 when pairs failed. Bytes up to `readable` may be read.
    template <class Pairs>
    int64_t read_plain_pairs(int64_t i, int64_t n, const char* readable, Pairs&& pairs) {
        if (has_cr_ || i >= n) return i;
        line(i);
        const char* p = data_ + cursor_.offset;
        const char* last = p;
        int64_t k = i;
        constexpr size_t kBatch = 64;
        int32_t ids[kBatch];
        double values[kBatch];
        while (k < n) {
            const char* end = data_ + end_;
            if (ahead_) {
                // the `id, value` lines a second thread read, where p starts one; else up to its next ones
                const ReadAhead::Lines a = ahead_->at(p, end);
                size_t r = 0, got = 0;
                for (; r < a.lines.size() && k < n; ++r, ++k) {
                    const ReadAhead::Line& l = a.lines[r];
                    if (!l.pair) break;
                    ids[got] = l.first;
                    values[got] = a.values[l.at + 1];
                    last = l.start;
                    p = l.next;
                    if (++got == kBatch && !pairs(std::span<const int32_t>(ids, got), std::span<const double>(values, got)))
                        return -1;
                    got %= kBatch;
                }
                if (got && !pairs(std::span<const int32_t>(ids, got), std::span<const double>(values, got))) return -1;
                ahead_->took(r);
                if (r) continue;
                if (!a.lines.empty()) break;
            }
            const size_t got = read_pair_lines(p, end, readable, std::min<int64_t>(kBatch, n - k), ids, values, last);
            if (got && !pairs(std::span<const int32_t>(ids, got), std::span<const double>(values, got))) return -1;
            k += int64_t(got);
            if (got < kBatch && !(got && ahead_ && p == end)) break;
        }
        return settle(i, k, n, p, last);
    }

    // Reads the lines from line i on (before line n) that are plain lines of reals
    // (read_real_lines) while fewer than `want` values are read, in batches into
    // push(span of values) -> bool. Returns the first line not read, its text then at
    // hand, or -1 when push failed. Bytes up to `readable` may be read.
    template <class Push>
    int64_t read_plain_reals(int64_t i, int64_t n, size_t want, const char* readable, Push&& push) {
        if (has_cr_ || i >= n) return i;
        line(i);
        const char* p = data_ + cursor_.offset;
        const char* last = p;
        int64_t k = i;
        for (size_t total = 0; k < n && total < want;) {
            const char* end = data_ + end_;
            if (ahead_) {
                // the lines a second thread read, where p starts one; else up to its next ones
                const ReadAhead::Lines a = ahead_->at(p, end);
                size_t r = 0, got = 0;
                for (; r < a.lines.size() && k < n && total + got < want && a.lines[r].count >= 0; ++r, ++k) {
                    got += size_t(a.lines[r].count);
                    last = a.lines[r].start;
                    p = a.lines[r].next;
                }
                if (got && !push(std::span<const double>(a.values + a.lines[0].at, got))) return -1;
                total += got;
                ahead_->took(r);
                if (r) continue;
                if (!a.lines.empty()) break;
            }
            constexpr size_t kRoom = 256;
            double values[kRoom];
            size_t lines;
            bool full;
            const size_t got = read_real_lines(p, end, readable, want - total, size_t(n - k), values, kRoom, lines, last, full);
            if (got && !push(std::span<const double>(values, got))) return -1;
            total += got;
            k += int64_t(lines);
            if (lines == 0 || !(full || (ahead_ && p == end))) break;
        }
        return settle(i, k, n, p, last);
    }

    // Line i read as an entry line (read_entry_line) from the lines a second thread
    // read, where it is one of them; NotSimple otherwise.
    template <class Push>
    RealLine read_entry_ahead(int64_t i, EntryLine& out, Push&& push) {
        if (!ahead_) return RealLine::NotSimple;
        line(i);
        const char* own_end;
        const ReadAhead::Lines a = ahead_->at(data_ + cursor_.offset, own_end);
        if (a.lines.empty() || a.lines[0].count < 0) return RealLine::NotSimple;
        const ReadAhead::Line& l = a.lines[0];
        const double* v = a.values + l.at;
        out.range = !l.pair;
        if (l.pair) {
            out.first = l.first;
            out.value = v[1];
        } else {
            const char* rest;  // (l.next - 1: its "\n")
            if (read_entry_head(l.start, trailing_commas_off(l.start, l.next - 1), out, rest) != EntryHead::Range)
                return RealLine::NotSimple;
            for (int32_t j = 2; j < l.count; ++j)
                if (!push(v[j])) return RealLine::PushFailed;
        }
        ahead_->took(1);
        return RealLine::Read;
    }

    // A second thread that reads lines of reals ahead for read_plain_reals, or none.
    void read_ahead(ReadAhead* ahead) noexcept { ahead_ = ahead; }

private:
#if defined(__SSE2__)
    // The end of a bulk pass from line i that stopped before line k (its start at
    // `start`; `last`, the start of the line before it): the cursor left at line k, or at
    // the last line when k is n. Returns k.
    int64_t passed(int64_t i, int64_t k, int64_t n, size_t start, size_t last) noexcept {
        if (k == i) return i;
        const size_t at = k < n ? start : last;
        const LineEnd le = find_line_end(data_, end_, at, has_cr_);
        cursor_ = {k < n ? k : k - 1, at, le.text_end, le.next_start};
        return k;
    }

    // What a bulk pass does with a line: passes over it, passes over it and stops, or
    // stops before it.
    enum class Take { Pass, Last, Stop };

    // The bulk pass of a value section's skip walk over the lines from line i on (before
    // n), 64 bytes at a time: take(fields, blanks) -> Take for each line that holds no
    // byte below 0x20 but its line end nor any >= 0x80, ends before the block does and
    // whose field 0 cannot read as -1 (may_be_minus_one), with its comma-separated
    // fields counted as count_comma_fields counts them and whether it holds a blank;
    // any other line stops it. Returns the first line not passed over (n at most), its
    // text then at hand; bytes up to `readable` may be read.
    template <class TakeLine>
    int64_t pass_lines(int64_t i, int64_t n, const char* readable, TakeLine&& take) noexcept {
        if (i >= n) return i;
        line(i);
        size_t start = cursor_.offset;  // of line k
        size_t last = start;            // start of the line before it, once one was passed
        int64_t k = i, fields = 0;      // fields: of line k in the windows looked at
        bool odd_line = false, blank_line = false;
        uint64_t in = 1;      // a field may start at the window's first byte (a carry over blanks)
        uint64_t cr_in = 0;   // the byte before the window is a "\r"
        for (size_t q = start; readable - (data_ + q) >= 64; q += 64) {
            uint64_t lfs = 0, crs = 0, commas = 0, blanks = 0, low = 0;
            for (int h = 0; h < 4; ++h) {
                const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data_ + q + 16 * h));
                auto bits = [h](__m128i m) { return uint64_t(uint32_t(_mm_movemask_epi8(m))) << (16 * h); };
                lfs |= bits(_mm_cmpeq_epi8(c, _mm_set1_epi8('\n')));
                if (has_cr_) crs |= bits(_mm_cmpeq_epi8(c, _mm_set1_epi8('\r')));
                commas |= bits(_mm_cmpeq_epi8(c, _mm_set1_epi8(',')));
                blanks |= bits(_mm_cmpeq_epi8(c, _mm_set1_epi8(' ')));
                low |= bits(_mm_cmplt_epi8(c, _mm_set1_epi8(0x20)));  // >= 0x80 too (signed)
            }
            // line ends: "\n", "\r", and "\r\n" as one at its "\r"
            const uint64_t lf_of_crlf = lfs & ((crs << 1) | cr_in);
            uint64_t ends = (lfs | crs) & ~lf_of_crlf;
            const uint64_t odd = low & ~(lfs | crs);
            cr_in = crs >> 63;
            // A field starts at the first byte after a comma or a line start, past blanks,
            // that is none of them.
            const uint64_t separators = commas | lfs | crs;
            uint64_t sum;
            const bool carry = __builtin_add_overflow((separators << 1) | in, blanks, &sum);
            const uint64_t starts = sum & ~(separators | blanks);
            in = (separators >> 63) | uint64_t(carry);
            for (unsigned s = unsigned(start - std::min(start, q)); s < 64;) {  // line k starts at q + s, or before q
                const unsigned e = ends ? unsigned(__builtin_ctzll(ends)) : 64;
                const uint64_t in_line = (e == 64 ? ~uint64_t(0) : (uint64_t(1) << e) - 1) & (~uint64_t(0) << s);
                fields += popcount64(starts & in_line);
                odd_line |= (odd & in_line) != 0;
                blank_line |= (blanks & in_line) != 0;
                if (e == 64) break;  // line k goes on in the next window
                const size_t stop = q + e;
                if (stop >= end_ || odd_line) goto done;
                const char* first = blank_line ? skip_blanks(data_ + start, data_ + stop, readable) : data_ + start;
                if ((*first == '-' || *first == ',') && may_be_minus_one({data_ + start, stop - start})) goto done;
                const Take t = take(fields, blank_line);
                if (t == Take::Stop) goto done;
                last = start;
                start = stop + 1 + (has_cr_ && data_[stop] == '\r' && stop + 1 < end_ && data_[stop + 1] == '\n');
                ++k, fields = 0, odd_line = blank_line = false;
                if (t == Take::Last || k >= n) goto done;
                ends &= ends - 1;
                s = unsigned(start - q);
            }
        }
    done:
        return passed(i, k, n, start, last);
    }

    // skip_short_lines over lines without white space (FEMAP's `id,value` lines), windows
    // taken from each line start on: at most `most` comma-separated fields, no byte
    // <= 0x20 or >= 0x80, a field 0 that does not start with '-'.
    int64_t skip_bare_short_lines(int64_t i, int64_t n, unsigned most, const char* readable) noexcept {
        if (i >= n) return i;
        line(i);
        size_t off = cursor_.offset;  // start of line k
        size_t last = off;            // start of the line before it, once one was passed
        int64_t k = i;
        while (k < n && readable - (data_ + off) >= 64) {
            uint64_t ends = 0, commas = 0, odd = 0;
            for (int q = 0; q < 4; ++q) {
                const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data_ + off + 16 * q));
                __m128i end = _mm_cmpeq_epi8(c, _mm_set1_epi8('\n'));
                if (has_cr_) end = _mm_or_si128(end, _mm_cmpeq_epi8(c, _mm_set1_epi8('\r')));
                ends |= uint64_t(uint32_t(_mm_movemask_epi8(end))) << (16 * q);
                commas |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(c, _mm_set1_epi8(','))))) << (16 * q);
                // white space, control bytes and bytes >= 0x80 (negative as signed)
                odd |= uint64_t(uint32_t(_mm_movemask_epi8(_mm_cmplt_epi8(c, _mm_set1_epi8(0x21))))) << (16 * q);
            }
            unsigned s = 0;  // start of line k in the window
            while (k < n && ends) {
                const unsigned e = unsigned(__builtin_ctzll(ends));
                if (off + e >= end_) break;  // the block ends first: left to line()
                const uint64_t in_line = ((uint64_t(1) << e) - 1) & ~((uint64_t(1) << s) - 1);
                const uint64_t text = in_line & ~commas;
                const uint64_t starts = text & ((commas << 1) | (uint64_t(1) << s));
                if ((odd & in_line) || popcount64(starts) > most || (text && data_[off + __builtin_ctzll(text)] == '-'))
                    break;
                unsigned next = e + 1;
                if (data_[off + e] == '\r' && off + next < end_ && data_[off + next] == '\n') ++next;
                last = off + s;
                ++k;
                s = next;
                ends = next >= 64 ? 0 : ends & ~((uint64_t(2) << (next - 1)) - 1);
            }
            if (s == 0) break;  // no line passed in this window
            off += s;
            if (ends && k < n) break;  // stopped at a line that ends in this window
        }
        return passed(i, k, n, off, last);
    }
#endif

    // After a one-pass read from line i to line k (p its start, `last` the start of
    // the line before): the cursor on line k, or on the last line where k is n.
    int64_t settle(int64_t i, int64_t k, int64_t n, const char* p, const char* last) noexcept {
        if (k == i) return i;
        const size_t at = size_t((k < n ? p : last) - data_);
        const LineEnd le = find_line_end(data_, end_, at, false);
        cursor_ = {k < n ? k : k - 1, at, le.text_end, le.next_start};
        return k;
    }
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
    ReadAhead* ahead_ = nullptr;
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
