// Pieces every extractor shares: walking each block of one identifier, and the
// title of a record.
#pragma once
#include "parser.hpp"
#include "py_build.hpp"

namespace femap {

// Fetches get_blocks(block_id) through the override check and runs
// walk(BlockLines&) -> bool over each block in list order.
template <class Walk>
bool walk_each_block(FEMAPParserObject* self, int32_t block_id, BlockLines::NoneLines none_lines, Walk&& walk) {
    Ref all = Ref::steal(fetch_blocks(self, block_id));
    if (!all) return false;
    GcPause pause;
    BlockLines lines;
    return for_each_block(all.get(), [&](FEMAPBlockObject* block) {
        return lines.bind(block, none_lines) && walk(lines);
    });
}

// The cleaned title of line `index` (white space off both ends, then trailing
// commas off; "<NULL>" is ""), or "" for index -1. New reference.
PyObject* title_at(BlockLines& lines, int64_t index);

// title_at into `title` inside a record's guard: Reject for a ValueError or
// IndexError raised by the line's own methods, Fail for any other error.
inline Conv take_title(Ref& title, BlockLines& lines, int64_t index) {
    title = Ref::steal(title_at(lines, index));
    return title ? Conv::Ok : reject_on_value_error();
}

}  // namespace femap
