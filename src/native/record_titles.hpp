// The title of a record, as the extractors and the companion module read it.
#pragma once
#include "block_lines.hpp"
#include "py_build.hpp"

namespace femap {

// The cleaned title of line `index` (white space off both ends, then trailing
// commas off; "<NULL>" is ""), or "" for index -1. New reference.
PyObject* title_at(BlockLines& lines, int64_t index);
// The same of the ASCII text of a title line.
PyObject* title_of_ascii(std::string_view text);

// title_at into `title` inside a record's guard: Reject for a ValueError or
// IndexError raised by the line's own methods, Fail for any other error.
inline Conv take_title(Ref& title, BlockLines& lines, int64_t index) {
    title = Ref::steal(title_at(lines, index));
    return title ? Conv::Ok : reject_on_value_error();
}

}  // namespace femap
