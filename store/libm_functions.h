// The three libm functions pugixml calls, for the self-contained libxml.so,
// so that it does not load libm.  Exact, like the C library's.
#pragma once

namespace xml_store {

// x - n * y, n being x / y truncated toward zero: fmod (floating-point
// exception flags aside).
double truncated_remainder(double x, double y);
// The largest integer not above x: floor.
double round_down(double x);
// The smallest integer not below x: ceil.
double round_up(double x);

}  // namespace xml_store
