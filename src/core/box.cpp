#include "core/box.hpp"

#include "core/fault.hpp"
#include "core/format.hpp"

namespace quarvel {

void check_bounds(double lo, double hi) {
    if (lo <= hi) return;
    fault("min > max, or either was NaN. min = " + format_f64(lo) + ", max = " + format_f64(hi));
}

}  // namespace quarvel
