// pugixml's XPath, which the store never runs, is the only user of libm in a
// self-contained libxml.so: fmod everywhere, floor and ceil on 32-bit ARM.
// Defining them here keeps libm out of every process that loads the store: on
// x86-64 that is half a MiB of mapped pages, a fifth of the tool's peak
// memory.  Local to the library, like everything but the four operations
// (exports.map), so no other library's are replaced.
#include "libm_functions.h"

extern "C" {

double fmod(double x, double y) {
    return xml_store::truncated_remainder(x, y);
}

double floor(double x) {
    return xml_store::round_down(x);
}

double ceil(double x) {
    return xml_store::round_up(x);
}
}
