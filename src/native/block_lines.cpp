#include "block_lines.hpp"

#include <cstring>

namespace femap {

PyObject* line_str(std::string_view bytes, bool ascii) {
    if (!ascii) return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "surrogateescape");
    PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127);
    if (s) std::memcpy(PyUnicode_1BYTE_DATA(s), bytes.data(), bytes.size());
    return s;
}

static std::string_view ascii_view(PyObject* str) {
    return {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
}

PyObject* split_fields_exact(PyObject* line) {
    Ref no_commas = Ref::steal(PyObject_CallMethod(line, "rstrip", "s", ","));
    if (!no_commas) return nullptr;
    Ref stripped = Ref::steal(PyObject_CallMethod(no_commas.get(), "strip", nullptr));
    if (!stripped) return nullptr;
    Py_ssize_t comma = PyUnicode_FindChar(stripped.get(), ',', 0, PyUnicode_GET_LENGTH(stripped.get()), 1);
    if (comma == -2) return nullptr;
    if (comma < 0) return PyUnicode_Split(stripped.get(), nullptr, -1);
    Ref sep = Ref::steal(PyUnicode_FromString(","));
    if (!sep) return nullptr;
    Ref pieces = Ref::steal(PyUnicode_Split(stripped.get(), sep.get(), -1));
    if (!pieces) return nullptr;
    Ref parts = Ref::steal(PyList_New(0));
    if (!parts) return nullptr;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pieces.get()); ++k) {
        Ref piece = Ref::steal(PyObject_CallMethod(PyList_GET_ITEM(pieces.get(), k), "strip", nullptr));
        if (!piece) return nullptr;
        if (PyUnicode_GET_LENGTH(piece.get()) > 0 && PyList_Append(parts.get(), piece.get()) < 0) return nullptr;
    }
    return parts.release();
}

PyObject* split_fields(PyObject* line) {
    LineFields f;
    if (!f.assign_str(line)) return nullptr;
    return f.to_list();
}

bool LineFields::is(size_t k, std::string_view text) const {
    if (!exact_) return views_[k] == text;
    PyObject* s = item(k);
    return PyUnicode_IS_ASCII(s) && ascii_view(s) == text;
}

bool LineFields::starts_with(size_t k, char c) const {
    if (!exact_) return !views_[k].empty() && views_[k][0] == c;
    PyObject* s = item(k);
    return PyUnicode_GET_LENGTH(s) > 0 && PyUnicode_READ_CHAR(s, 0) == Py_UCS4(c);
}

bool LineFields::assign_str(PyObject* line, size_t limit) {
    line_ = Ref::borrow(line);
    if (PyUnicode_IS_ASCII(line)) {
        exact_.reset();
        split_fields_ascii(ascii_view(line), views_, limit);
        return true;
    }
    views_.clear();
    exact_ = Ref::steal(split_fields_exact(line));
    return static_cast<bool>(exact_);
}

bool LineFields::assign_bytes(std::string_view line, bool ascii, size_t limit) {
    if (ascii || is_ascii(line)) {
        line_.reset();
        exact_.reset();
        split_fields_ascii(line, views_, limit);
        return true;
    }
    Ref s = Ref::steal(line_str(line, false));
    return s && assign_str(s.get());
}

PyObject* LineFields::to_list() const {
    if (exact_) {
        Py_INCREF(exact_.get());
        return exact_.get();
    }
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(views_.size())));
    if (!list) return nullptr;
    for (size_t k = 0; k < views_.size(); ++k) {
        PyObject* s = line_str(views_[k], true);
        if (!s) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), s);
    }
    return list.release();
}

bool BlockLines::bind(FEMAPBlockObject* block, NoneUse none_use) {
    if (block->text_owner) {
        owner_ = Ref::borrow(block->text_owner);
        list_ = false;
        bytes_.bind(PyBytes_AS_STRING(block->text_owner), block->text_begin, block->text_end, block->text_lines,
                    block->text_flags & FEMAP_TEXT_HAS_CR);
        ascii_ = block->text_flags & FEMAP_TEXT_ASCII;
        return true;
    }
    if (block->lines == Py_None) {
        raise_none_use(none_use);
        return false;
    }
    bind_list(block->lines);
    return true;
}

void BlockLines::bind_list(PyObject* list) {
    owner_ = Ref::borrow(list);
    list_ = true;
}

static bool index_error() {
    raise_index_error("list");
    return false;
}

bool BlockLines::split(int64_t i, LineFields& f, size_t limit) {
    if (!list_) return f.assign_bytes(byte_line(i), ascii_, limit);
    if (i < 0 || i >= PyList_GET_SIZE(owner_.get())) return index_error();
    PyObject* line = PyList_GET_ITEM(owner_.get(), static_cast<Py_ssize_t>(i));
    if (!PyUnicode_CheckExact(line)) {
        raise_expected("str", line);
        return false;
    }
    return f.assign_str(line, limit);
}

Conv BlockLines::split_if_text(int64_t i, LineFields& f, size_t limit) {
    if (i < 0 || i >= size()) return Conv::Reject;
    if (list_ && !PyUnicode_CheckExact(PyList_GET_ITEM(owner_.get(), static_cast<Py_ssize_t>(i)))) return Conv::Reject;
    return split(i, f, limit) ? Conv::Ok : Conv::Fail;
}

bool BlockLines::count_fields(int64_t i, size_t limit, size_t& count, bool& minus_one) {
    std::string_view text;
    if (ascii_text(i, text)) {
        // a byte view may read on into the file's bytes
        count = count_fields_ascii(text, limit, readable_end(text));
        minus_one = may_be_minus_one(text);
        return true;
    }
    if (!split(i, scratch_, limit)) return false;
    count = scratch_.size();
    minus_one = count > 0 && scratch_.starts_with(0, '-');
    return true;
}

bool BlockLines::ascii_text(int64_t i, std::string_view& text) {
    if (!list_) {
        text = byte_line(i);
        return ascii_ || is_ascii(text);
    }
    if (i < 0 || i >= PyList_GET_SIZE(owner_.get())) return false;
    PyObject* line = PyList_GET_ITEM(owner_.get(), static_cast<Py_ssize_t>(i));
    if (!PyUnicode_CheckExact(line) || !PyUnicode_IS_ASCII(line)) return false;
    text = ascii_view(line);
    return true;
}

PyObject* BlockLines::line_object(int64_t i) {
    if (!list_) return line_str(byte_line(i), ascii_);
    if (i < 0 || i >= PyList_GET_SIZE(owner_.get())) return index_error(), nullptr;
    PyObject* line = PyList_GET_ITEM(owner_.get(), static_cast<Py_ssize_t>(i));
    Py_INCREF(line);
    return line;
}

bool materialize_lines(FEMAPBlockObject* block) {
    if (!block->text_owner) return true;
    Ref keep = Ref::borrow(block->text_owner);  // finalizers may drop the view meanwhile
    const char* data = PyBytes_AS_STRING(keep.get());
    bool ascii = block->text_flags & FEMAP_TEXT_ASCII;
    bool has_cr = block->text_flags & FEMAP_TEXT_HAS_CR;
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(block->text_lines)));
    if (!list) return false;
    size_t off = block->text_begin;
    for (int64_t k = 0; k < block->text_lines; ++k) {
        LineEnd le = find_line_end(data, block->text_end, off, has_cr);
        PyObject* s = line_str({data + off, le.text_end - off}, ascii);
        if (!s) return false;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), s);
        off = le.next_start;
    }
    if (block->text_owner != keep.get()) return true;
    PyObject* owner = block->text_owner;
    block->text_owner = nullptr;
    PyObject* old = block->lines;
    block->lines = list.release();
    Py_XDECREF(old);
    Py_DECREF(owner);
    return true;
}

}  // namespace femap
