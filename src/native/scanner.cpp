// The constructor's scan: opens the file through the built-in open(), reads its
// bytes once when the stream's encoding allows, and cuts them into blocks whose
// lines stay a view of those bytes. Any other stream is read with readlines().
#include <cstring>

#include "parser.hpp"
#include "py_errors.hpp"
#include "text/block_scan.hpp"
#include "text/file_read.hpp"
#include "text/grow_buffer.hpp"
#include "text/threads.hpp"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/stat.h>
#include <unistd.h>
#define FEMAP_HAVE_FSTAT 1
#endif

namespace femap {

namespace {

// Encodings whose decoding of ASCII bytes is the bytes themselves.
bool ascii_compatible(std::string_view codec) {
    return codec == "ascii" || codec.starts_with("iso8859-") || codec.starts_with("cp125") ||
           codec == "mac-roman" || codec == "koi8-r" || codec == "koi8-u";
}

enum class ReadMode { Lines, Utf8Bytes, AsciiBytes };

// How to read the open stream: its bytes directly when it is the host's own text
// file, its codec is UTF-8 or ASCII-compatible and it can seek back (to let the host
// decode text that is not ASCII in a codec of its own). The host's own text file
// decodes bytes that are not valid text as lone surrogates (errors="surrogateescape")
// instead of refusing the file. Any other object returned by open() only sees
// readlines().
bool choose_mode(PyObject* io, PyObject* f, ReadMode& mode) {
    mode = ReadMode::Lines;
    Ref text_file = Ref::steal(PyObject_GetAttrString(io, "TextIOWrapper"));
    if (!text_file) return false;
    if (reinterpret_cast<PyObject*>(Py_TYPE(f)) != text_file.get()) return true;
    // One lasting name: the host's reconfigure() keeps a reference to the `errors` it
    // is given, so a new string per call would be lost each time.
    static PyObject* surrogateescape = nullptr;
    if (!surrogateescape && !(surrogateescape = PyUnicode_InternFromString("surrogateescape"))) return false;
    Ref reconfigure = Ref::steal(PyObject_GetAttrString(f, "reconfigure"));
    Ref no_args = Ref::steal(PyTuple_New(0));
    Ref errors = Ref::steal(Py_BuildValue("{sO}", "errors", surrogateescape));
    if (!reconfigure || !no_args || !errors) return false;
    if (!Ref::steal(PyObject_Call(reconfigure.get(), no_args.get(), errors.get()))) return false;
    Ref encoding = Ref::steal(PyObject_GetAttrString(f, "encoding"));
    if (!encoding) return false;
    if (!PyUnicode_Check(encoding.get())) return true;
    Ref codecs = Ref::steal(PyImport_ImportModule("codecs"));
    if (!codecs) return false;
    Ref info = Ref::steal(PyObject_CallMethod(codecs.get(), "lookup", "O", encoding.get()));
    if (!info) return false;
    Ref name = Ref::steal(PyObject_GetAttrString(info.get(), "name"));
    if (!name) return false;
    const char* codec = PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : "";
    if (!codec) return false;
    ReadMode wanted = std::strcmp(codec, "utf-8") == 0 ? ReadMode::Utf8Bytes
                      : ascii_compatible(codec)        ? ReadMode::AsciiBytes
                                                       : ReadMode::Lines;
    if (wanted == ReadMode::Lines) return true;
    Ref seekable = Ref::steal(PyObject_CallMethod(f, "seekable", nullptr));
    if (!seekable) return false;
    int ok = PyObject_IsTrue(seekable.get());
    if (ok < 0) return false;
    if (ok) mode = wanted;
    return true;
}

// int() of an identifier line by the host: Ok with `id` set, Reject for "-1" or no
// integer, Fail on error (the OverflowError of the narrowing).
Conv identify_exact(PyObject* line, int32_t& id) {
    Ref stripped = Ref::steal(PyObject_CallMethod(line, "strip", nullptr));
    if (!stripped) return Conv::Fail;
    if (PyUnicode_Check(stripped.get()) && PyUnicode_CompareWithASCIIString(stripped.get(), "-1") == 0)
        return Conv::Reject;
    Ref value = Ref::steal(PyLong_FromUnicodeObject(stripped.get(), 10));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return Conv::Fail;
        PyErr_Clear();
        return Conv::Reject;
    }
    return narrow_to_int32(value.get(), id) ? Conv::Ok : Conv::Fail;
}

// Appends a block to the list stored under its identifier, storing a new list first.
bool store_block(PyObject* blocks, int32_t id, PyObject* block) {
    Ref owned_block = Ref::steal(block);
    if (!owned_block) return false;
    Ref key = Ref::steal(PyLong_FromLong(id));
    if (!key) return false;
    Ref list = Ref::borrow(PyDict_GetItemWithError(blocks, key.get()));
    if (!list) {
        if (PyErr_Occurred()) return false;
        list = Ref::steal(PyList_New(0));
        if (!list || PyDict_SetItem(blocks, key.get(), list.get()) < 0) return false;
    }
    if (PyList_CheckExact(list.get())) return PyList_Append(list.get(), owned_block.get()) == 0;
    Ref r = Ref::steal(PyObject_CallMethod(list.get(), "append", "O", owned_block.get()));
    return static_cast<bool>(r);
}

// UTF-8 text, any bytes that do not decode read as lone surrogates; a byte order
// mark at the start is not part of the first line.
bool scan_bytes(PyObject* bytes, bool ascii, bool has_cr, PyObject* blocks) {
    const char* data = PyBytes_AS_STRING(bytes);
    size_t size = static_cast<size_t>(PyBytes_GET_SIZE(bytes));
    const size_t start = !ascii && size >= 3 && std::memcmp(data, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    uint8_t flags = (ascii ? FEMAP_TEXT_ASCII : 0) | (has_cr ? FEMAP_TEXT_HAS_CR : 0);
    auto identify = [&](std::string_view line, int32_t& id) -> Conv {
        if (ascii || is_ascii(line)) {
            int64_t v = 0;
            switch (classify_identifier_ascii(line, v)) {
                case Parse::Ok:
                    if (v < INT32_MIN || v > INT32_MAX) {
                        raise_int_overflow();
                        return Conv::Fail;
                    }
                    id = static_cast<int32_t>(v);
                    return Conv::Ok;
                case Parse::Invalid: return Conv::Reject;
                case Parse::Unsure: break;
            }
        }
        Ref s = Ref::steal(line_str(line, ascii || is_ascii(line)));
        return s ? identify_exact(s.get(), id) : Conv::Fail;
    };
    auto emit = [&](int32_t id, const BodySpan& span) {
        return store_block(blocks, id, new_lazy_block(id, bytes, span.begin, span.end, span.n_lines, flags));
    };
    return scan_blocks(data, size, start, has_cr, identify, emit);
}

// A line of readlines() without its trailing line feeds.
PyObject* without_newlines(PyObject* line) {
    if (!PyUnicode_Check(line)) return PyObject_CallMethod(line, "rstrip", "s", "\n");
    Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    while (n > 0 && PyUnicode_READ_CHAR(line, n - 1) == '\n') --n;
    return PyUnicode_Substring(line, 0, n);
}

// The line without its line feeds in `text`, and whether that is the delimiter line.
// False with an error set on failure.
bool read_line_text(PyObject* line, Ref& text, bool& delimiter) {
    text = Ref::steal(without_newlines(line));
    if (!text) return false;
    delimiter = PyUnicode_Check(text.get()) && PyUnicode_CompareWithASCIIString(text.get(), kDelimiter) == 0;
    return true;
}

// The lines of readlines(); a byte order mark at the start of the first line is
// not part of it.
bool scan_lines(PyObject* lines, PyObject* blocks) {
    Ref own;  // a copy with the mark removed: the list read may belong to someone else
    if (PyList_GET_SIZE(lines) > 0) {
        PyObject* first = PyList_GET_ITEM(lines, 0);
        if (PyUnicode_Check(first) && PyUnicode_GET_LENGTH(first) > 0 && PyUnicode_READ_CHAR(first, 0) == 0xFEFF) {
            own = Ref::steal(PyList_GetSlice(lines, 0, PyList_GET_SIZE(lines)));
            PyObject* rest = own ? PyUnicode_Substring(first, 1, PyUnicode_GET_LENGTH(first)) : nullptr;
            if (!rest || PyList_SetItem(own.get(), 0, rest) < 0) return false;
            lines = own.get();
        }
    }
    Ref text;
    bool delimiter;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines);) {
        if (!read_line_text(PyList_GET_ITEM(lines, i), text, delimiter)) return false;
        if (!delimiter) { ++i; continue; }
        if (i + 1 >= PyList_GET_SIZE(lines)) break;
        int32_t id = 0;
        Ref next = Ref::borrow(PyList_GET_ITEM(lines, i + 1));
        Conv c = identify_exact(next.get(), id);
        if (c == Conv::Fail) return false;
        if (c == Conv::Reject) { ++i; continue; }
        Ref body = Ref::steal(PyList_New(0));
        if (!body) return false;
        for (i += 2; i < PyList_GET_SIZE(lines);) {
            if (!read_line_text(PyList_GET_ITEM(lines, i), text, delimiter)) return false;
            ++i;
            if (delimiter) break;
            if (PyList_Append(body.get(), text.get()) < 0) return false;
        }
        if (!store_block(blocks, id, new_block(id, body.get()))) return false;
    }
    return true;
}

// Files below this size are read through the stream: threads would not pay.
constexpr int64_t kDirectReadBytes = int64_t(16) << 20;

// The same bytes as buffer.read(), read from a duplicate of the file's descriptor on
// threads when the stream is the host's own buffered reader over a large regular
// file. nullptr with no error set when that does not apply or the file changed while
// it was read: the caller then reads through the stream.
PyObject* read_directly(PyObject* io, PyObject* buffer, ReadFacts& facts) {
#if defined(FEMAP_HAVE_FSTAT)
    Ref reader = Ref::steal(PyObject_GetAttrString(io, "BufferedReader"));
    Ref file_io = Ref::steal(PyObject_GetAttrString(io, "FileIO"));
    Ref raw = reader && reinterpret_cast<PyObject*>(Py_TYPE(buffer)) == reader.get()
                  ? Ref::steal(PyObject_GetAttrString(buffer, "raw"))
                  : Ref();
    Ref fileno = raw && file_io && reinterpret_cast<PyObject*>(Py_TYPE(raw.get())) == file_io.get()
                     ? Ref::steal(PyObject_CallMethod(raw.get(), "fileno", nullptr))
                     : Ref();
    Ref position = fileno ? Ref::steal(PyObject_CallMethod(buffer, "tell", nullptr)) : Ref();
    long fd = fileno && PyLong_Check(fileno.get()) ? PyLong_AsLong(fileno.get()) : -1;
    long long offset = position && PyLong_Check(position.get()) ? PyLong_AsLongLong(position.get()) : -1;
    PyErr_Clear();  // any failure above: the stream's own read() tells
    struct stat st;
    if (fd < 0 || fd > INT32_MAX || offset < 0 || fstat(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size - offset < kDirectReadBytes || st.st_size - offset > PY_SSIZE_T_MAX - 64)
        return nullptr;
    const size_t size = static_cast<size_t>(st.st_size - offset);
    Ref bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes) {
        PyErr_Clear();
        return nullptr;
    }
    advise_huge_pages(PyBytes_AS_STRING(bytes.get()), size);
    bool ok = false;
    Py_BEGIN_ALLOW_THREADS
    // A descriptor of our own: another thread closing the stream cannot hand its
    // number to a different file while this one reads.
    int own = dup(static_cast<int>(fd));
    if (own >= 0) {
        ok = read_file_parallel(own, static_cast<uint64_t>(offset), PyBytes_AS_STRING(bytes.get()), size,
                                std::min<size_t>(worker_threads(), 4), facts);
        close(own);
    }
    Py_END_ALLOW_THREADS
    return ok ? bytes.release() : nullptr;
#else
    (void)io, (void)buffer, (void)facts;
    return nullptr;
#endif
}

bool read_and_scan(PyObject* f, PyObject* blocks) {
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    ReadMode mode;
    if (!io || !choose_mode(io.get(), f, mode)) return false;
    if (mode != ReadMode::Lines) {
        Ref buffer = Ref::steal(PyObject_GetAttrString(f, "buffer"));
        if (!buffer) return false;
        ReadFacts facts;
        Ref bytes = Ref::steal(read_directly(io.get(), buffer.get(), facts));
        if (!bytes) {
            bytes = Ref::steal(PyObject_CallMethod(buffer.get(), "read", nullptr));
            if (!bytes) return false;
            if (PyBytes_CheckExact(bytes.get()))
                facts.add(PyBytes_AS_STRING(bytes.get()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.get())));
        }
        if (PyBytes_CheckExact(bytes.get()) && (facts.ascii || mode == ReadMode::Utf8Bytes))
            return scan_bytes(bytes.get(), facts.ascii, facts.has_cr, blocks);
        bytes.reset();
        // Let the host decode the text in its own codec.
        Ref pos = Ref::steal(PyObject_CallMethod(f, "seek", "i", 0));
        if (!pos) return false;
    }
    Ref lines = Ref::steal(PyObject_CallMethod(f, "readlines", nullptr));
    if (!lines) return false;
    if (!PyList_Check(lines.get())) {
        raise_expected("list", lines.get());
        return false;
    }
    return scan_lines(lines.get(), blocks);
}

}  // namespace

int scan_file(FEMAPParserObject* self) {
    Ref blocks = Ref::borrow(self->blocks);
    Ref open = Ref::steal(PyImport_ImportModule("builtins"));
    if (!open) return -1;
    open = Ref::steal(PyObject_GetAttrString(open.get(), "open"));
    if (!open) return -1;
    Ref f = Ref::steal(PyObject_CallFunction(open.get(), "Os", self->filepath, "r"));
    if (!f) return -1;
    bool ok = PyDict_Check(blocks.get()) ? read_and_scan(f.get(), blocks.get())
                                         : (PyErr_SetString(PyExc_TypeError, "blocks is not a dict"), false);
    // Close the file also when reading failed, keeping the first error.
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Ref closed = Ref::steal(PyObject_CallMethod(f.get(), "close", nullptr));
    if (type) {
        PyErr_Restore(type, value, tb);
        return -1;
    }
    return (ok && closed) ? 0 : -1;
}

}  // namespace femap
