// Sinks of the node and element walks that gather their arrays in any buffer with
// push(T) and append(span) (false when memory runs out). No Python here.
#pragma once
#include <cstdint>
#include <span>
#include <vector>

namespace femap {

// Node identifiers, and x, y, z three to a row.
template <template <class> class Buffer>
struct NodeColumns {
    Buffer<int32_t> ids;
    Buffer<double> coords;
    bool start() { return true; }
    bool node(int32_t id, double x, double y, double z) {
        const double xyz[3] = {x, y, z};
        return ids.push(id) && coords.append(xyz);
    }
};

// Element identifiers, properties, topologies and connectivity, with the offsets of
// each element's nodes in it (n + 1 of them, from 0): call start() first.
template <template <class> class Buffer>
struct ElementColumns {
    Buffer<int32_t> ids, props, topos, connectivity, offsets;
    uint32_t offset = 0;  // wraps as int32 arithmetic would
    bool start() { return offsets.push(0); }
    bool element(int32_t id, int32_t prop, int32_t topo, const std::vector<int32_t>& nodes) {
        offset += static_cast<uint32_t>(nodes.size());
        return ids.push(id) && props.push(prop) && topos.push(topo) && connectivity.append(nodes) &&
               offsets.push(static_cast<int32_t>(offset));
    }
};

}  // namespace femap
