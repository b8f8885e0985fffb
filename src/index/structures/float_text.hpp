#pragma once
// Text of a double as the debug form shows it: the shortest decimal that reads
// back to the same double, ".0" on integral values, exponent form at or above
// 1e16 and below 1e-4, and "NaN", "inf", "-inf" for the special values.
#include <string>

namespace vorlane {

std::string float_text(double value);

// Text in double quotes with backslash escapes for quotes, backslashes and control characters.
std::string quoted_text(std::string_view text);

}  // namespace vorlane
