#include "record_titles.hpp"

#include "py_errors.hpp"

namespace femap {

namespace {

PyObject* empty_str() { return PyUnicode_New(0, 0); }

}  // namespace

// strip, then rstrip(","), then "<NULL>" as "", on ASCII text.
PyObject* title_of_ascii(std::string_view text) {
    std::string_view t = strip_space(text);
    while (!t.empty() && t.back() == ',') t.remove_suffix(1);
    if (t == "<NULL>") return empty_str();
    return line_str(t, true);
}

PyObject* title_at(BlockLines& lines, int64_t index) {
    if (index < 0) return empty_str();
    std::string_view text;
    if (lines.ascii_text(index, text)) return title_of_ascii(text);
    Ref line = Ref::steal(lines.line_object(index));
    if (!line) return nullptr;
    Ref title;
    {
        GcResume python_runs;  // a line made by the caller may be any object
        title = Ref::steal(PyObject_CallMethod(line.get(), "strip", nullptr));
    }
    if (!title || !check_exact(title.get(), &PyUnicode_Type)) return nullptr;
    if (title.get() == Py_None) {
        raise_none_attribute("rstrip");
        return nullptr;
    }
    title = Ref::steal(PyObject_CallMethod(title.get(), "rstrip", "s", ","));
    if (!title) return nullptr;
    if (PyUnicode_CompareWithASCIIString(title.get(), "<NULL>") == 0) return empty_str();
    return title.release();
}

}  // namespace femap
