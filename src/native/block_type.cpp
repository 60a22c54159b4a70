// FEMAPBlock: a block identifier and its body lines.
#include "block_lines.hpp"
#include "parser.hpp"
#include "module_state.hpp"
#include "py_errors.hpp"

using namespace femap;

namespace {

void drop_text_view(FEMAPBlockObject* self) { Py_CLEAR(self->text_owner); }

PyObject* block_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = reinterpret_cast<FEMAPBlockObject*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->block_id = 0;
    Py_INCREF(Py_None);
    self->lines = Py_None;
    return reinterpret_cast<PyObject*>(self);
}

int block_traverse(FEMAPBlockObject* self, visitproc visit, void* arg) {
    Py_VISIT(self->lines);
    return 0;
}

int block_clear(FEMAPBlockObject* self) {
    drop_text_view(self);
    assign_slot(&self->lines, Py_None);
    return 0;
}

void block_dealloc(FEMAPBlockObject* self) {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(self->text_owner);
    Py_CLEAR(self->lines);
    Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int block_init(FEMAPBlockObject* self, PyObject* args, PyObject* kwargs) {
    static const char* kwlist[] = {"block_id", "lines", nullptr};
    PyObject *id_obj, *lines;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:__init__", const_cast<char**>(kwlist), &id_obj, &lines))
        return -1;
    int32_t id;
    if (!int_arg_to_int32(id_obj, id)) return -1;
    if (!check_argument(lines, &PyList_Type, "lines")) return -1;
    self->block_id = id;
    drop_text_view(self);
    assign_slot(&self->lines, lines);
    return 0;
}

PyObject* block_repr(FEMAPBlockObject* self) {
    long long n;
    if (self->text_owner) {
        n = self->text_lines;
    } else if (self->lines == Py_None) {
        raise_none_use(NoneUse::Len);
        return nullptr;
    } else {
        n = PyList_GET_SIZE(self->lines);
    }
    return PyUnicode_FromFormat("FEMAPBlock(id=%d, lines=%lld)", static_cast<int>(self->block_id), n);
}

PyObject* get_block_id(FEMAPBlockObject* self, void*) { return PyLong_FromLong(self->block_id); }

int set_block_id(FEMAPBlockObject* self, PyObject* value, void*) {
    if (!value) {
        raise_no_deleter();
        return -1;
    }
    int32_t id;
    if (!int_arg_to_int32(value, id)) return -1;
    self->block_id = id;
    return 0;
}

PyObject* get_lines(FEMAPBlockObject* self, void*) {
    if (!materialize_lines(self)) return nullptr;
    Py_INCREF(self->lines);
    return self->lines;
}

int set_lines(FEMAPBlockObject* self, PyObject* value, void*) {
    if (value && !check_exact(value, &PyList_Type)) return -1;
    drop_text_view(self);
    assign_slot(&self->lines, value ? value : Py_None);
    return 0;
}

PyGetSetDef block_getset[] = {
    {"block_id", reinterpret_cast<getter>(get_block_id), reinterpret_cast<setter>(set_block_id), nullptr, nullptr},
    {"lines", reinterpret_cast<getter>(get_lines), reinterpret_cast<setter>(set_lines), nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject FEMAPBlock_Type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "vexaro.core.femap_parser.FEMAPBlock";
    t.tp_basicsize = sizeof(FEMAPBlockObject);
    t.tp_dealloc = reinterpret_cast<destructor>(block_dealloc);
    t.tp_repr = reinterpret_cast<reprfunc>(block_repr);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "Represents a single FEMAP data block.";
    t.tp_traverse = reinterpret_cast<traverseproc>(block_traverse);
    t.tp_clear = reinterpret_cast<inquiry>(block_clear);
    t.tp_getset = block_getset;
    t.tp_init = reinterpret_cast<initproc>(block_init);
    t.tp_new = block_new;
    return t;
}();

namespace femap {

PyObject* new_block(int32_t block_id, PyObject* lines) {
    auto* self = reinterpret_cast<FEMAPBlockObject*>(block_new(&FEMAPBlock_Type, nullptr, nullptr));
    if (!self) return nullptr;
    self->block_id = block_id;
    assign_slot(&self->lines, lines);
    return reinterpret_cast<PyObject*>(self);
}

PyObject* new_lazy_block(int32_t block_id, PyObject* owner, size_t begin, size_t end, int64_t n_lines,
                         uint8_t flags) {
    auto* self = reinterpret_cast<FEMAPBlockObject*>(block_new(&FEMAPBlock_Type, nullptr, nullptr));
    if (!self) return nullptr;
    self->block_id = block_id;
    Py_INCREF(owner);
    self->text_owner = owner;
    self->text_begin = begin;
    self->text_end = end;
    self->text_lines = n_lines;
    self->text_flags = flags;
    return reinterpret_cast<PyObject*>(self);
}

}  // namespace femap
