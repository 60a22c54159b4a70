// The parser's entries as the rest of the module calls them.
#pragma once
#include "block_lines.hpp"
#include "module_state.hpp"
#include "py_build.hpp"
#include "py_errors.hpp"

namespace femap {

// The table of operations shared by every parser.
extern FEMAPParserVTable parser_vtable;

// A new FEMAPBlock holding `lines` (a list), or a view of a file's bytes.
PyObject* new_block(int32_t block_id, PyObject* lines);
PyObject* new_lazy_block(int32_t block_id, PyObject* owner, size_t begin, size_t end, int64_t n_lines,
                         uint8_t flags);

// get_blocks(block_id) as extractors call it: through the override check.
inline PyObject* fetch_blocks(FEMAPParserObject* self, int32_t block_id) {
    return self->vtab->get_blocks(self, block_id, 0);
}

// The entry of a block list as a FEMAPBlock; null with TypeError for anything else.
inline FEMAPBlockObject* as_block(PyObject* item) {
    if (PyObject_TypeCheck(item, &FEMAPBlock_Type)) return reinterpret_cast<FEMAPBlockObject*>(item);
    raise_cannot_convert(item, &FEMAPBlock_Type);
    return nullptr;
}

// Calls fn(block) for each entry of a block list, as `for block in all_blocks`
// with entries typed FEMAPBlock. False with an error set on failure.
template <class Fn>
bool for_each_block(PyObject* all_blocks, Fn&& fn) {
    if (all_blocks == Py_None) {
        raise_none_use(NoneUse::Iter);
        return false;
    }
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(all_blocks); ++k) {
        Ref item = Ref::borrow(PyList_GET_ITEM(all_blocks, k));
        FEMAPBlockObject* block = as_block(item.get());
        if (!block || !fn(block)) return false;
    }
    return true;
}

// Fetches get_blocks(block_id) through the override check and runs
// walk(BlockLines&) -> bool over each block in list order.
template <class Walk>
bool walk_each_block(FEMAPParserObject* self, int32_t block_id, NoneUse none_use, Walk&& walk) {
    Ref all = Ref::steal(fetch_blocks(self, block_id));
    if (!all) return false;
    GcPause pause;
    BlockLines lines;
    return for_each_block(all.get(), [&](FEMAPBlockObject* block) {
        return lines.bind(block, none_use) && walk(lines);
    });
}

// The scan of the constructor (the table's _parse).
int scan_file(FEMAPParserObject* self);

// Extractors: the module's own implementations of the public entries.
PyObject* extract_header(FEMAPParserObject* self);
PyObject* extract_nodes(FEMAPParserObject* self, bool force_2d);
PyObject* extract_nodes_arrays(FEMAPParserObject* self);
PyObject* extract_properties(FEMAPParserObject* self);
PyObject* extract_elements(FEMAPParserObject* self);
PyObject* extract_elements_arrays(FEMAPParserObject* self);
PyObject* extract_materials(FEMAPParserObject* self);
PyObject* extract_output_sets(FEMAPParserObject* self);
PyObject* gather_output_vector_blocks(FEMAPParserObject* self);
PyObject* locate_output_vector_header(PyObject* lines, int32_t start_index);
PyObject* extract_output_vectors(FEMAPParserObject* self);
PyObject* extract_output_vectors_arrays(FEMAPParserObject* self, int32_t set_id_filter, int32_t vec_id_filter);

}  // namespace femap
