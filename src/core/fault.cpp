#include "core/fault.hpp"

namespace quarvel {

void index_fault(std::size_t len, std::size_t index, std::source_location where) {
    throw Fault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                    std::to_string(index),
                where);
}

}  // namespace quarvel
