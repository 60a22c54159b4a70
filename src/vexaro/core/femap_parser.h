/* Declarations of vexaro.core.femap_parser: the fields of FEMAPBlock and
 * FEMAPParser, and the parser's table of operations in its fixed order. */
#ifndef VEXARO_CORE_FEMAP_PARSER_H
#define VEXARO_CORE_FEMAP_PARSER_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One block. `lines` is a list or None. A block made by the scanner may instead
 * hold its lines as a view of the file's bytes (`text_owner` not NULL): its list
 * is made on first use. */
typedef struct {
    PyObject_HEAD
    int32_t block_id;
    PyObject *lines;
    /* lazy lines: text_owner is the bytes object holding the whole file */
    PyObject *text_owner;
    size_t text_begin;
    size_t text_end;
    int64_t text_lines;
    uint8_t text_flags; /* FEMAP_TEXT_ASCII | FEMAP_TEXT_HAS_CR */
} FEMAPBlockObject;

enum { FEMAP_TEXT_ASCII = 1, FEMAP_TEXT_HAS_CR = 2 };

struct FEMAPParserObject;

/* The table of operations. Public entries take `skip_dispatch`: 0 when called from
 * inside the module, so that a Python subclass's override is used. */
typedef struct FEMAPParserVTable {
    int (*_parse)(struct FEMAPParserObject *self);
    PyObject *(*_parse_csv_line_fast)(PyObject *line);
    PyObject *(*_locate_output_vector_header)(PyObject *lines, int32_t start_index);
    PyObject *(*_get_output_vector_blocks)(struct FEMAPParserObject *self);
    PyObject *(*parse)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_blocks)(struct FEMAPParserObject *self, int32_t block_id, int skip_dispatch);
    PyObject *(*get_header)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_nodes)(struct FEMAPParserObject *self, int force_2d, int skip_dispatch);
    PyObject *(*get_nodes_arrays)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_properties)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_elements)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_elements_arrays)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_materials)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_output_sets)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_output_vectors)(struct FEMAPParserObject *self, int skip_dispatch);
    PyObject *(*get_output_vectors_arrays)(struct FEMAPParserObject *self, int32_t set_id_filter,
                                           int32_t vec_id_filter, int skip_dispatch);
} FEMAPParserVTable;

typedef struct FEMAPParserObject {
    PyObject_HEAD
    FEMAPParserVTable *vtab;
    PyObject *filepath;        /* str or None */
    PyObject *blocks;          /* dict or None */
    PyObject *BLOCK_DELIMITER; /* str or None */
} FEMAPParserObject;

#ifdef __cplusplus
}
#endif

#endif
