// The node walk over a large byte view of ASCII text in parts: a node record is one
// line, so the block may be cut at any line. The parts after the first are walked on
// threads of their own without the host into buffers of their own while the caller's
// lines walk the first; a part that met anything left to the host is walked again
// with the caller's lines, so the nodes are always the one-thread walk's. No Python here.
#pragma once
#include <algorithm>
#include <vector>

#include "array_sinks.hpp"
#include "grow_buffer.hpp"
#include "plain_lines.hpp"
#include "record_walks.hpp"
#include "threads.hpp"

namespace femap {

// walk_nodes(lines, sink) into NodeColumns, in parts of `part_bytes` at least on up to
// `threads` threads where `lines` is a byte view of ASCII text.
template <class Lines, template <class> class Buffer>
bool walk_nodes_in_parts(Lines& lines, NodeColumns<Buffer>& sink, size_t threads, size_t part_bytes) {
    ByteLines* view = lines.byte_view();
    if (!view || !lines.all_ascii() || threads < 2 || view->size() == 0) return walk_nodes(lines, sink);
    const char* data = view->data();
    const bool has_cr = view->has_cr();
    const size_t begin = view->offset(0), end = view->end();
    const size_t parts = std::min(threads, (end - begin) / part_bytes);
    struct Part {
        size_t offset = 0;
        int64_t line = 0, lines = 0;
        NodeColumns<GrowBuffer> sink;
        bool ok = false;
    };
    std::vector<Part> rest;
    try {
        rest.reserve(parts);
        for (size_t j = 1; j < parts; ++j) {
            const size_t at = find_line_end(data, end, begin + (end - begin) / parts * j, has_cr).next_start;
            if (at < end && (rest.empty() || at > rest.back().offset)) rest.emplace_back().offset = at;
        }
    } catch (const std::bad_alloc&) {
        rest.clear();
    }
    if (rest.empty()) return walk_nodes(lines, sink);
    for (size_t j = 0; j < rest.size(); ++j) {
        rest[j].line = j ? rest[j - 1].line + rest[j - 1].lines : count_lines(data, begin, rest[0].offset, has_cr);
        rest[j].lines = j + 1 < rest.size() ? count_lines(data, rest[j].offset, rest[j + 1].offset, has_cr)
                                            : view->size() - rest[j].line;
    }
    auto walk_part = [&](size_t j) {
        Part& part = rest[j];
        try {
            PlainLines plain;
            const size_t stop = j + 1 < rest.size() ? rest[j + 1].offset : end;
            plain.bind(data, part.offset, stop, part.lines, has_cr, lines.file_end());
            part.ok = walk_nodes(plain, part.sink);
        } catch (...) {
            part.ok = false;
        }
    };
    Threads started;
    for (size_t j = 0; j < rest.size(); ++j)
        if (!started.start(walk_part, j)) break;  // the parts not started are walked here below
    bool ok = walk_nodes(lines, sink, 0, rest[0].line);
    started.join();
    for (size_t j = 0; ok && j < rest.size(); ++j) {
        Part& part = rest[j];
        ok = part.ok ? sink.ids.append(part.sink.ids.values()) && sink.coords.append(part.sink.coords.values())
                     : walk_nodes(lines, sink, part.line, part.line + part.lines);
    }
    return ok;
}

}  // namespace femap
