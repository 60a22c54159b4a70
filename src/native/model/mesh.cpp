// Nodes and elements as the parser's get_nodes_arrays and get_elements_arrays give
// them, walked on threads of their own from the blocks' bytes while this thread reads
// the vector table. A walk whose blocks are not all byte views of ASCII text, or that
// meets what only the host reads, is left to the parser's own call.
#include "model.hpp"
#include "text/array_sinks.hpp"
#include "text/constants.hpp"
#include "text/threads.hpp"

namespace femap::model {

namespace {

// One record walk over the blocks of one identifier, without the host.
template <class Sink>
struct PlainWalk {
    struct View {
        ByteLines lines;
        const char* readable;  // how far its bytes may be read
        Ref keep;              // the bytes it reads
    };
    std::vector<View> views;
    bool ok = false;  // the walk was done
    Sink sink;

    // The byte views of get_blocks(block_id); false when any block has none.
    bool collect(FEMAPParserObject* parser, int32_t block_id) {
        Ref all = Ref::steal(parser->vtab->get_blocks(parser, block_id, 0));
        if (!all || !PyList_CheckExact(all.get())) {
            PyErr_Clear();  // the parser's own call meets it again
            return false;
        }
        try {
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(all.get()); ++k) {
                PyObject* item = PyList_GET_ITEM(all.get(), k);
                BlockLines lines;
                if (!PyObject_TypeCheck(item, block_type) ||
                    !lines.bind(reinterpret_cast<FEMAPBlockObject*>(item), NoneUse::Len)) {
                    PyErr_Clear();
                    return false;
                }
                if (!lines.byte_view() || !lines.all_ascii()) return false;
                views.push_back({*lines.byte_view(), lines.file_end(), Ref::borrow(lines.byte_owner())});
            }
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    template <class Walk>
    void run(Walk&& walk) noexcept {
        try {
            if (!sink.start()) return;
            PlainLines lines;
            for (View& v : views) {
                lines.bind(v.lines, v.readable);
                if (!walk(lines, sink)) return;
            }
            ok = true;
        } catch (...) {
        }
    }
};

PyObject* node_arrays(NodeColumns<GrowBuffer>& s) {
    return build_tuple({adopt_array(std::move(s.ids)), adopt_array(std::move(s.coords), 3)});
}

PyObject* element_arrays(ElementColumns<GrowBuffer>& s) {
    return build_tuple({adopt_array(std::move(s.ids)), adopt_array(std::move(s.props)), adopt_array(std::move(s.topos)),
                        adopt_array(std::move(s.connectivity)), adopt_array(std::move(s.offsets))});
}

}  // namespace

PyObject* read_arrays(FEMAPParserObject* parser, size_t threads, size_t part_bytes) {
    PlainWalk<NodeColumns<GrowBuffer>> nodes;
    PlainWalk<ElementColumns<GrowBuffer>> elements;
    Ref node_result, element_result;
    Threads started;  // declared after the walks: joined before they go
    if (threads > 1 && Py_TYPE(parser) == parser_type) {
        // No overrides on the parser's own class: the blocks are those its calls walk.
        if (nodes.collect(parser, block_id::kNodes))
            started.start([&](size_t) { nodes.run([](PlainLines& l, auto& s) { return walk_nodes(l, s); }); }, 0);
        if (elements.collect(parser, block_id::kElements))
            started.start([&](size_t) { elements.run([](PlainLines& l, auto& s) { return walk_elements(l, s); }); }, 0);
    } else {
        // In the order of the parser's calls, which overrides may observe.
        node_result = Ref::steal(parser->vtab->get_nodes_arrays(parser, 0));
        if (!node_result) return nullptr;
        element_result = Ref::steal(parser->vtab->get_elements_arrays(parser, 0));
        if (!element_result) return nullptr;
    }
    Ref table = Ref::steal(read_vectors(parser, threads, part_bytes));
    started.join();
    // The nodes' and the elements' errors come before the table's, as their calls do.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    if (!node_result)
        node_result = Ref::steal(nodes.ok ? node_arrays(nodes.sink) : parser->vtab->get_nodes_arrays(parser, 0));
    if (node_result && !element_result)
        element_result =
            Ref::steal(elements.ok ? element_arrays(elements.sink) : parser->vtab->get_elements_arrays(parser, 0));
    if (!node_result || !element_result) {
        Py_XDECREF(type), Py_XDECREF(value), Py_XDECREF(trace);
        return nullptr;
    }
    PyErr_Restore(type, value, trace);
    if (!table) return nullptr;
    return build_tuple({node_result.release(), element_result.release(), table.release()});
}

}  // namespace femap::model
