// Decimal texts of doubles, both built on the shortest digits that read back to the same value.
#pragma once

#include <string>

namespace kestro {

// Without exponent and always with a point: 1.0, 0.1, 1e20 -> 100000000000000000000.0.
// For finite values.
std::string plain_decimal(double d);

// As plain_decimal where 1e-4 <= |d| < 1e16 (and for 0); elsewhere in exponent form with a
// lower-case e and no plus sign or leading zeros (5e-5, 1.5e-5, 1e16); NaN, inf and -inf.
std::string shortest_decimal(double d);

}  // namespace kestro
