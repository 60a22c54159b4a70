// Pickling of FEMAPBlock and FEMAPParser: __reduce__, __setstate__ and the module's
// restore functions. A stream names the restore function, a checksum of the field
// list and a state tuple; restoring allocates the object and applies the state.
#include "pickling.hpp"

#include <algorithm>

#include "block_lines.hpp"
#include "method_defs.hpp"
#include "module_state.hpp"
#include "py_errors.hpp"
#include "text/constants.hpp"

using namespace femap;

namespace {

FEMAPBlockObject* as_block(PyObject* o) { return reinterpret_cast<FEMAPBlockObject*>(o); }
FEMAPParserObject* as_parser(PyObject* o) { return reinterpret_cast<FEMAPParserObject*>(o); }

// What differs between the two classes.
struct Format {
    PyTypeObject* type;
    const char* restore;     // module global naming the restore function
    PyObject** checksum;     // the checksum written, as an int: accepted[0]
    const std::array<long, 3>& accepted;
    const char* fields;      // field list named in the checksum error
    bool (*set_state)(PyObject* self, PyObject* state);
};

// ---- Reduce ---------------------------------------------------------------------

// The reduce value of `self` for a state tuple of its fields: the instance dict is
// appended when non-empty, and the state goes apart (applied by __setstate__) when
// it carries anything, else into the restore call itself.
template <class HasFields>
PyObject* reduce_value(PyObject* self, Ref state, HasFields has_fields, const Format& f) {
    Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
    }
    int with_dict = dict && dict.get() != Py_None ? PyObject_IsTrue(dict.get()) : 0;
    if (with_dict < 0) return nullptr;
    bool use_setstate = true;
    if (with_dict) {
        Ref tail = Ref::steal(PyTuple_Pack(1, dict.get()));
        if (!tail) return nullptr;
        state = Ref::steal(PySequence_Concat(state.get(), tail.get()));
        if (!state) return nullptr;
    } else {
        use_setstate = has_fields();
    }
    PyObject* restore = module_global(f.restore);  // borrowed; nothing runs before it is packed
    if (!restore) return nullptr;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate) return Py_BuildValue("(O(OOO)O)", restore, type, *f.checksum, Py_None, state.get());
    return Py_BuildValue("(O(OOO))", restore, type, *f.checksum, state.get());
}

// ---- Set-state ------------------------------------------------------------------

// state[k] (borrowed; the caller holds the tuple).
PyObject* state_item(PyObject* state, Py_ssize_t k) {
    if (k < PyTuple_GET_SIZE(state)) return PyTuple_GET_ITEM(state, k);
    raise_index_error("tuple");
    return nullptr;
}

// self.__dict__.update(item) unless the item is falsy. On an exact dict the
// method found is dict.update itself.
bool merge_instance_dict(PyObject* self, PyObject* item) {
    int truth = PyObject_IsTrue(item);
    if (truth <= 0) return truth == 0;
    Ref dict = Ref::steal(PyObject_GetAttrString(self, "__dict__"));
    Ref name = Ref::steal(PyUnicode_FromString("update"));
    if (!dict || !name) return false;
    return Ref::steal(PyObject_CallMethodOneArg(dict.get(), name.get(), item)).get() != nullptr;
}

// Each field is stored as soon as its item passes its check.
bool block_set_state(PyObject* obj, PyObject* state) {
    FEMAPBlockObject* self = as_block(obj);
    PyObject* item = state_item(state, 0);
    int32_t id;
    if (!item || !int_arg_to_int32(item, id)) return false;
    self->block_id = id;
    item = state_item(state, 1);
    if (!item || !check_exact(item, &PyList_Type)) return false;
    Py_CLEAR(self->text_owner);
    assign_slot(&self->lines, item);
    return PyTuple_GET_SIZE(state) <= 2 || merge_instance_dict(obj, PyTuple_GET_ITEM(state, 2));
}

bool parser_set_state(PyObject* obj, PyObject* state) {
    FEMAPParserObject* self = as_parser(obj);
    const struct { PyObject** slot; PyTypeObject* type; } items[] = {
        {&self->BLOCK_DELIMITER, &PyUnicode_Type}, {&self->blocks, &PyDict_Type}, {&self->filepath, &PyUnicode_Type}};
    for (Py_ssize_t k = 0; k < 3; ++k) {
        PyObject* item = state_item(state, k);
        if (!item || !check_exact(item, items[k].type)) return false;
        assign_slot(items[k].slot, item);
    }
    return PyTuple_GET_SIZE(state) <= 3 || merge_instance_dict(obj, PyTuple_GET_ITEM(state, 3));
}

const Format block_format = {&FEMAPBlock_Type, "__qel_unpickle_FEMAPBlock", &g_state.block_checksum,
                             kBlockChecksums, "block_id, lines", block_set_state};
const Format parser_format = {&FEMAPParser_Type, "__qel_unpickle_FEMAPParser", &g_state.parser_checksum,
                              kParserChecksums, "BLOCK_DELIMITER, blocks, filepath",
                              parser_set_state};

// ---- Python methods -------------------------------------------------------------

PyObject* block_reduce(PyObject* self, PyObject*) {
    FEMAPBlockObject* b = as_block(self);
    if (!materialize_lines(b)) return nullptr;  // the stream holds the list the view stands for
    Ref id = Ref::steal(PyLong_FromLong(b->block_id));
    if (!id) return nullptr;
    Ref state = Ref::steal(PyTuple_Pack(2, id.get(), b->lines));
    if (!state) return nullptr;
    return reduce_value(self, std::move(state), [b] { return b->lines != Py_None; }, block_format);
}

PyObject* parser_reduce(PyObject* self, PyObject*) {
    FEMAPParserObject* p = as_parser(self);
    Ref state = Ref::steal(PyTuple_Pack(3, p->BLOCK_DELIMITER, p->blocks, p->filepath));
    if (!state) return nullptr;
    return reduce_value(self, std::move(state), [p] {
        return p->BLOCK_DELIMITER != Py_None || p->blocks != Py_None || p->filepath != Py_None;
    }, parser_format);
}

PyObject* setstate(PyObject* self, PyObject* args, PyObject* kwargs, const Format& f) {
    static const char* kwlist[] = {"__qel_state", nullptr};
    PyObject* state;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:__setstate__", const_cast<char**>(kwlist), &state))
        return nullptr;
    if (!check_exact(state, &PyTuple_Type)) return nullptr;
    if (state == Py_None) {
        raise_none_use(NoneUse::Subscript);
        return nullptr;
    }
    if (!f.set_state(self, state)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* block_setstate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return setstate(self, args, kwargs, block_format);
}

PyObject* parser_setstate(PyObject* self, PyObject* args, PyObject* kwargs) {
    return setstate(self, args, kwargs, parser_format);
}

// The restore function: checksum conversion, state type, checksum value, then
// `<class>.__new__(__qel_type)` and the state.
PyObject* unpickle(PyObject* args, PyObject* kwargs, const char* parse_format, const Format& f) {
    static const char* kwlist[] = {"__qel_type", "__qel_checksum", "__qel_state", nullptr};
    PyObject *type, *checksum_obj, *state;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, parse_format, const_cast<char**>(kwlist), &type, &checksum_obj,
                                     &state))
        return nullptr;
    int64_t checksum;
    if (!int_arg_to_int64(checksum_obj, checksum)) return nullptr;
    if (!check_argument(state, &PyTuple_Type, "__qel_state")) return nullptr;
    if (std::find(f.accepted.begin(), f.accepted.end(), checksum) == f.accepted.end()) {
        Ref pickle = Ref::steal(PyImport_ImportModule("pickle"));
        Ref error = pickle ? Ref::steal(PyObject_GetAttrString(pickle.get(), "PickleError")) : Ref();
        if (error)
            PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%s))",
                         static_cast<unsigned>(checksum & 0xffffffff), static_cast<unsigned>(f.accepted[0]),
                         static_cast<unsigned>(f.accepted[1]), static_cast<unsigned>(f.accepted[2]), f.fields);
        return nullptr;
    }
    Ref new_fn = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(f.type), "__new__"));
    Ref obj = new_fn ? Ref::steal(PyObject_CallOneArg(new_fn.get(), type)) : Ref();
    if (!obj || (state != Py_None && !f.set_state(obj.get(), state))) return nullptr;
    return obj.release();
}

PyObject* unpickle_block(PyObject*, PyObject* args, PyObject* kwargs) {
    return unpickle(args, kwargs, "OOO:__qel_unpickle_FEMAPBlock", block_format);
}

PyObject* unpickle_parser(PyObject*, PyObject* args, PyObject* kwargs) {
    return unpickle(args, kwargs, "OOO:__qel_unpickle_FEMAPParser", parser_format);
}

}  // namespace

PyMethodDef block_pickle_methods[] = {
    method_noargs("__reduce__", block_reduce, nullptr),
    method_with_keywords("__setstate__", block_setstate, nullptr),
    kEndOfMethods,
};

PyMethodDef parser_pickle_methods[] = {
    method_noargs("__reduce__", parser_reduce, nullptr),
    method_with_keywords("__setstate__", parser_setstate, nullptr),
    kEndOfMethods,
};

PyMethodDef pickle_module_functions[] = {
    method_with_keywords("__qel_unpickle_FEMAPBlock", unpickle_block, nullptr),
    method_with_keywords("__qel_unpickle_FEMAPParser", unpickle_parser, nullptr),
    kEndOfMethods,
};
