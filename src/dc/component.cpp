#include "dc/component.hpp"

#include "core/fault.hpp"

namespace quarvel {

int component_of(const CellComponents& components, unsigned corner) {
    if (corner >= 8) index_fault(8, corner);
    return components.corner[corner];
}

VertexSlots number_vertex_slots(std::span<const CellComponents> components) {
    VertexSlots slots;
    slots.offset.reserve(components.size());
    for (const CellComponents& c : components) {
        slots.offset.push_back(slots.total);
        slots.total += c.count;
    }
    return slots;
}

}  // namespace quarvel
