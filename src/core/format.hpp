// Numbers in fault messages, written the way callers read them elsewhere.
#pragma once

#include <string>

namespace quarvel {

// Shortest text that reads back as `v`, always recognisable as a float:
// 1 -> "1.0", 0.5 -> "0.5", -0.0 -> "-0.0", 1e20 -> "1e20", 1.5e-7 -> "1.5e-7"
// (exponent form below 1e-4 and from 1e16 on), NaN -> "NaN", "inf" / "-inf".
std::string format_f64(double v);

}  // namespace quarvel
