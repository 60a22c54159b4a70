// The record walks' Lines over the bytes of an ASCII block, read without the host, so
// that a walk can run on a thread of its own. Conversions are the Python-free
// readers'; whatever they leave to the host (a number only int() or float() reads,
// an int32 overflow) fails the walk, for its caller to walk that part again with the
// host. No Python here.
#pragma once
#include <cstdint>
#include <limits>

#include "byte_lines.hpp"
#include "field_split.hpp"
#include "number_syntax.hpp"
#include "outcomes.hpp"

namespace femap {

class PlainFields {
public:
    size_t size() const { return views_.size(); }
    Conv to_int32(size_t k, int32_t& out) const {
        if (parse_small_int(views_[k], out)) return Conv::Ok;
        int64_t v;
        Conv c = decided(parse_int_ascii(views_[k], v));
        if (c != Conv::Ok) return c;
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) return Conv::Fail;
        out = static_cast<int32_t>(v);
        return Conv::Ok;
    }
    Conv to_double(size_t k, double& out) const { return decided(parse_real_ascii(views_[k], out)); }
    Conv to_int64_clamped(size_t k, int64_t& out) const { return decided(parse_int_ascii(views_[k], out)); }
    Conv check_int(size_t k) const {
        int64_t v;
        return to_int64_clamped(k, v);
    }
    bool is(size_t k, std::string_view text) const { return views_[k] == text; }
    bool starts_with(size_t k, char c) const { return !views_[k].empty() && views_[k][0] == c; }
    FieldViews& views() { return views_; }

private:
    static Conv decided(Parse p) { return p == Parse::Ok ? Conv::Ok : p == Parse::Invalid ? Conv::Reject : Conv::Fail; }
    FieldViews views_;
};

class PlainLines {
public:
    using Fields = PlainFields;

    // The lines of data[begin, end) (n_lines of them); bytes up to readable_end may be read.
    void bind(const char* data, size_t begin, size_t end, int64_t n_lines, bool has_cr, const char* readable_end) {
        bytes_.bind(data, begin, end, n_lines, has_cr);
        readable_ = readable_end;
    }
    // The lines of a byte view.
    void bind(const ByteLines& bytes, const char* readable_end) {
        bytes_ = bytes;
        readable_ = readable_end;
    }
    int64_t size() const { return bytes_.size(); }
    std::string_view line(int64_t i) { return bytes_.line(i); }
    size_t offset(int64_t i) { return bytes_.offset(i); }

    bool split(int64_t i, Fields& f, size_t limit = SIZE_MAX) {
        last = i;
        return fill(i, f, limit);
    }
    Conv split_in_guard(int64_t i, Fields& f, size_t limit = SIZE_MAX) { return fill(i, f, limit) ? Conv::Ok : Conv::Fail; }
    Conv split_if_text(int64_t i, Fields& f, size_t limit = SIZE_MAX) {
        return i < 0 || i >= size() ? Conv::Reject : split_in_guard(i, f, limit);
    }
    bool count_fields(int64_t i, size_t limit, size_t& count, bool& minus_one) {
        std::string_view text = bytes_.line(i);
        count = count_fields_ascii(text, limit, readable_);
        minus_one = may_be_minus_one(text);
        return true;
    }
    template <class Push>
    RealLine read_reals(int64_t i, Push&& push) {
        last = i;
        std::string_view text = bytes_.line(i);
        return may_be_minus_one(text) ? RealLine::NotSimple : read_real_line(text, push, readable_);
    }
    template <class Push>
    RealLine read_entry(int64_t i, EntryLine& out, Push&& push) {
        last = i;
        if (RealLine r = bytes_.read_entry_ahead(i, out, push); r != RealLine::NotSimple) return r;
        return read_entry_line(bytes_.line(i), out, push, readable_);
    }
    // The non-zero numbers of a node list line appended without splitting it, where
    // read_int_line takes it; false leaves it to split().
    bool read_node_numbers(int64_t i, std::vector<int32_t>& out) {
        return read_int_line(bytes_.line(i), bytes_.data(), readable_, out);
    }
    int64_t count_value_lines(int64_t i, int64_t n, int64_t wanted, int64_t& have) {
        return bytes_.count_value_lines(i, n, wanted, have, readable_);
    }
    template <class Pairs>
    int64_t read_plain_pairs(int64_t i, int64_t n, Pairs&& pairs) {
        const int64_t k = bytes_.read_plain_pairs(i, n, readable_, pairs);
        if (k > i) last = k - 1;
        return k;
    }
    template <class Push>
    int64_t read_plain_reals(int64_t i, int64_t n, size_t want, Push&& push) {
        const int64_t k = bytes_.read_plain_reals(i, n, want, readable_, push);
        if (k > i) last = k - 1;
        return k;
    }

    // Lines of reals read ahead on a second thread, while `ahead` is set.
    void read_ahead(ReadAhead* ahead) { bytes_.read_ahead(ahead); }

    int64_t last = -1;  // the line split, or read whole, last

private:
    bool fill(int64_t i, Fields& f, size_t limit) {
        split_fields_ascii(bytes_.line(i), f.views(), limit);
        return true;
    }
    ByteLines bytes_;
    const char* readable_ = nullptr;
};

}  // namespace femap
