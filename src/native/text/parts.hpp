// Walks over a large byte view of ASCII text in parts: the parts after the first are
// walked on threads of their own without the host while the caller's lines walk the
// first, and a part is taken only where the one-thread walk would give the same. No
// Python here.
#pragma once
#include <algorithm>
#include <vector>

#include "array_sinks.hpp"
#include "grow_buffer.hpp"
#include "plain_lines.hpp"
#include "record_walks.hpp"
#include "threads.hpp"

namespace femap {

// The line (counted from the view's first) each cut starts, `cuts` being increasing
// line starts after `begin`: the lines between them counted on threads of their own.
inline std::vector<int64_t> lines_before(const ByteLines& view, size_t begin, const std::vector<size_t>& cuts) {
    std::vector<int64_t> lines(cuts.size());
    run_each(cuts.size(), [&](size_t k) {
        lines[k] = count_lines(view.data(), k == 0 ? begin : cuts[k - 1], cuts[k], view.has_cr());
    });
    for (size_t k = 1; k < lines.size(); ++k) lines[k] += lines[k - 1];
    return lines;
}

// A part's nodes handed on to the caller's sink: to columns at once, to any other sink
// one by one in file order.
template <template <class> class Buffer>
bool take_nodes(NodeColumns<Buffer>& sink, const NodeColumns<GrowBuffer>& part) {
    return sink.ids.append(part.ids.values()) && sink.coords.append(part.coords.values());
}
template <class Sink>
bool take_nodes(Sink& sink, const NodeColumns<GrowBuffer>& part) {
    const auto ids = part.ids.values();
    const double* xyz = part.coords.values().data();
    for (size_t r = 0; r < ids.size(); ++r, xyz += 3)
        if (!sink.node(ids[r], xyz[0], xyz[1], xyz[2])) return false;
    return true;
}

// walk_nodes(lines, sink), in parts of `part_bytes` at least on up to `threads` threads
// where `lines` is a byte view of ASCII text: the caller's sink takes the first part as
// it is walked and the others' nodes when their threads are done. A node record is one
// line, so any line starts a part; a part that met anything left to the host is
// walked again with the caller's lines.
template <class Lines, class Sink>
bool walk_nodes_in_parts(Lines& lines, Sink& sink, size_t threads, size_t part_bytes) {
    ByteLines* view = lines.byte_view();
    if (!view || !lines.all_ascii() || threads < 2 || view->size() == 0) return walk_nodes(lines, sink);
    const char* data = view->data();
    const size_t begin = view->offset(0), end = view->end();
    const size_t parts = std::min(threads, (end - begin) / part_bytes);
    struct Part {
        NodeColumns<GrowBuffer> sink;
        bool ok = false;
    };
    std::vector<size_t> cuts;
    std::vector<int64_t> first;  // each part's first line
    std::vector<Part> rest;
    try {
        for (size_t j = 1; j < parts; ++j) {
            const size_t at = find_line_end(data, end, begin + (end - begin) / parts * j, view->has_cr()).next_start;
            if (at < end && (cuts.empty() || at > cuts.back())) cuts.push_back(at);
        }
        first = lines_before(*view, begin, cuts);
        first.push_back(view->size());  // where the last part ends
        rest.resize(cuts.size());
    } catch (const std::bad_alloc&) {
        cuts.clear();
    }
    if (cuts.empty()) return walk_nodes(lines, sink);
    auto walk_part = [&](size_t j) {
        try {
            PlainLines plain;
            plain.bind(data, cuts[j], j + 1 < cuts.size() ? cuts[j + 1] : end, first[j + 1] - first[j],
                       view->has_cr(), lines.file_end());
            rest[j].ok = walk_nodes(plain, rest[j].sink);
        } catch (...) {
            rest[j].ok = false;
        }
    };
    Threads started;
    started.start_each(rest.size(), walk_part);  // the parts not started are walked here below
    bool ok = walk_nodes(lines, sink, 0, first[0]);
    started.join();
    for (size_t j = 0; ok && j < rest.size(); ++j)
        ok = rest[j].ok ? take_nodes(sink, rest[j].sink) : walk_nodes(lines, sink, first[j], first[j + 1]);
    return ok;
}

}  // namespace femap
