// fmod for the self-contained libxml.so, so that it does not load libm.
#pragma once

namespace xml_store {

// x - n * y, n being x / y truncated toward zero, computed exactly as the C
// library's fmod does, NaN and infinity cases included (floating-point
// exception flags aside).
double truncated_remainder(double x, double y);

}  // namespace xml_store
