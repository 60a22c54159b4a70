// Lines of one block as the record walks see them: a view of the file's bytes for a
// block whose list was never made, else the block's list of str. ASCII lines are
// split in place; any other line goes through the host's own string methods.
#pragma once
#include "field_numbers.hpp"
#include "femap_parser.h"
#include "pyref.hpp"
#include "py_errors.hpp"
#include "text/byte_lines.hpp"
#include "text/field_split.hpp"
#include "text/number_syntax.hpp"

namespace femap {

// The field list of one line.
class LineFields {
public:
    size_t size() const { return exact_ ? size_t(PyList_GET_SIZE(exact_.get())) : views_.size(); }
    Conv to_int32(size_t k, int32_t& out) { return exact_ ? int32_of(item(k), out) : int32_of(views_[k], out); }
    Conv to_double(size_t k, double& out) { return exact_ ? double_of(item(k), out) : double_of(views_[k], out); }
    Conv check_int(size_t k) { return exact_ ? is_int(item(k)) : is_int(views_[k]); }
    Conv to_int64_clamped(size_t k, int64_t& out) {
        return exact_ ? int64_clamped_of(item(k), out) : int64_clamped_of(views_[k], out);
    }
    bool is(size_t k, std::string_view text) const;
    bool starts_with(size_t k, char c) const;

    // Fills the list from a str line (exact type already checked).
    bool assign_str(PyObject* line, size_t limit = SIZE_MAX);
    // Fills the list from line bytes; `ascii` tells that no byte is >= 0x80. At most
    // `limit` fields of ASCII lines are split.
    bool assign_bytes(std::string_view line, bool ascii, size_t limit);
    // The field list as a new Python list.
    PyObject* to_list() const;

    friend void swap(LineFields& a, LineFields& b) noexcept {
        std::swap(a.views_, b.views_);
        std::swap(a.line_, b.line_);
        std::swap(a.exact_, b.exact_);
    }

private:
    PyObject* item(size_t k) const { return PyList_GET_ITEM(exact_.get(), static_cast<Py_ssize_t>(k)); }
    FieldViews views_;
    Ref line_;   // keeps the str that views_ points into
    Ref exact_;  // list of str for lines that are not ASCII
};

// The exact splitter on any str, through the host's string methods.
PyObject* split_fields_exact(PyObject* line);
// The field splitter on a str (ASCII in place, else exact).
PyObject* split_fields(PyObject* line);

class BlockLines {
public:
    using Fields = LineFields;

    // Binds the lines of `block`; false with an error set when they are None: the
    // error of `none_use` (NoneUse::Len or Iter), which the walk's Python form meets first.
    bool bind(FEMAPBlockObject* block, NoneUse none_use);
    // Binds a list of lines (caller-made).
    void bind_list(PyObject* list);

    int64_t size() const { return list_ ? int64_t(PyList_GET_SIZE(owner_.get())) : bytes_.size(); }
    // The fields of line i; with a limit, there may be no more fields than that.
    bool split(int64_t i, LineFields& f, size_t limit = SIZE_MAX);
    // split() inside a record's guard: past the end of a list that Python code
    // shortened meanwhile is the IndexError the guard swallows (Reject).
    Conv split_in_guard(int64_t i, LineFields& f, size_t limit = SIZE_MAX) {
        if (list_ && i >= int64_t(PyList_GET_SIZE(owner_.get()))) return Conv::Reject;
        return split(i, f, limit) ? Conv::Ok : Conv::Fail;
    }
    // split() of a line the walk only peeks at: Reject when line i is missing or is
    // not a str (no error), so that a line the walk never read before cannot fail it.
    Conv split_if_text(int64_t i, LineFields& f, size_t limit = SIZE_MAX);
    // The number of fields of line i, at most `limit`, and whether field 0 may read as
    // -1; ASCII lines are only counted. False with an error set on failure.
    bool count_fields(int64_t i, size_t limit, size_t& count, bool& minus_one);
    // The first line from i on (n at most) that a value section's skip walk must look
    // at (ByteLines::skip_short_lines); i itself for a list.
    int64_t skip_short_lines(int64_t i, int64_t n) {
        return list_ ? i : bytes_.skip_short_lines(i, n, 2, file_end());
    }
    // The lines from line i on whose fields a range line still counts, passed over in
    // bulk (ByteLines::count_value_lines); i itself for a list.
    int64_t count_value_lines(int64_t i, int64_t n, int64_t wanted, int64_t& have) {
        return list_ ? i : bytes_.count_value_lines(i, n, wanted, have, file_end());
    }
    // Line i as ASCII text when it is one (a byte view, or an ASCII str of the list).
    bool ascii_text(int64_t i, std::string_view& text);
    // The fields of line i read as reals into push(double) -> bool without splitting,
    // where it is ASCII text that read_real_line takes and its field 0 cannot read as -1
    // (the start of a terminator); NotSimple leaves the line to split().
    template <class Push>
    RealLine read_reals(int64_t i, Push&& push) {
        std::string_view text;
        if (!ascii_text(i, text) || may_be_minus_one(text)) return RealLine::NotSimple;
        return read_real_line(text, push, readable_end(text));
    }
    // The non-zero numbers of node list line i appended without splitting it, where it
    // is ASCII text that read_int_line takes; false leaves it to split().
    bool read_node_numbers(int64_t i, std::vector<int32_t>& out) {
        std::string_view text;
        return ascii_text(i, text) && read_int_line(text, list_ ? text.data() : bytes_.data(), readable_end(text), out);
    }
    // Line i read as an entry line of a value section (read_entry_line) where it is
    // ASCII text; NotSimple leaves the line to split().
    template <class Push>
    RealLine read_entry(int64_t i, EntryLine& out, Push&& push) {
        if (!list_)
            if (RealLine r = bytes_.read_entry_ahead(i, out, push); r != RealLine::NotSimple) return r;
        std::string_view text;
        return ascii_text(i, text) ? read_entry_line(text, out, push, readable_end(text)) : RealLine::NotSimple;
    }
    // The plain `id, value` lines from line i on (before n) read in one pass
    // (ByteLines::read_plain_pairs); i itself for a list.
    template <class Pairs>
    int64_t read_plain_pairs(int64_t i, int64_t n, Pairs&& pairs) {
        return list_ ? i : bytes_.read_plain_pairs(i, n, file_end(), pairs);
    }
    // The plain lines of reals from line i on (before n) read in one pass while fewer
    // than `want` values are read (ByteLines::read_plain_reals); i itself for a list.
    template <class Push>
    int64_t read_plain_reals(int64_t i, int64_t n, size_t want, Push&& push) {
        return list_ ? i : bytes_.read_plain_reals(i, n, want, file_end(), push);
    }
    // Lines of reals read ahead on a second thread for read_plain_reals, for a byte
    // view, while `ahead` is set (cleared by the caller before it goes).
    void read_ahead(ReadAhead* ahead) {
        if (!list_) bytes_.read_ahead(ahead);
    }
    // Line i as a Python object: a new str for a byte view, the list item itself
    // otherwise. Null with an error set when i is out of range.
    PyObject* line_object(int64_t i);
    // The lines of a byte view (null for a list), whether they are all ASCII, and how
    // far the file's bytes may be read.
    ByteLines* byte_view() { return list_ ? nullptr : &bytes_; }
    bool all_ascii() const { return ascii_; }
    const char* file_end() const { return bytes_.data() + PyBytes_GET_SIZE(owner_.get()); }
    // The bytes object a byte view reads (null for a list).
    PyObject* byte_owner() const { return list_ ? nullptr : owner_.get(); }

private:
    std::string_view byte_line(int64_t i) { return bytes_.line(i); }
    // How far the bytes of a line of this block may be read: to the end of the file's
    // bytes for a byte view, to the line's end for a list item.
    const char* readable_end(std::string_view text) const {
        return list_ ? text.data() + text.size() : file_end();
    }

    LineFields scratch_;  // fields of a line count_fields() cannot count in place
    Ref owner_;  // the bytes of the file, or the list
    bool list_ = false;
    bool ascii_ = true;
    ByteLines bytes_;
};

// Builds the Python list of a block whose lines are a byte view, stores it and drops
// the view. No-op for other blocks. False with an error set on failure.
bool materialize_lines(FEMAPBlockObject* block);
// str of UTF-8 bytes (ASCII when `ascii`); bytes that do not decode become lone
// surrogates (errors="surrogateescape").
PyObject* line_str(std::string_view bytes, bool ascii);

}  // namespace femap
