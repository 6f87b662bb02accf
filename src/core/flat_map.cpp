#include "core/flat_map.hpp"

#include <random>

namespace quarvel {

std::uint64_t next_table_seed() noexcept {
    static const std::uint64_t base = [] {
        std::random_device device;
        return (std::uint64_t{device()} << 32) ^ device();
    }();
    static std::atomic<std::uint64_t> counter{0};
    return mix64(base + counter.fetch_add(1, std::memory_order_relaxed));
}

}  // namespace quarvel
