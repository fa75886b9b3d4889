// pugixml's XPath, which the store never runs, is the only user of libm in a
// self-contained libxml.so.  Defining its one function here keeps libm out of
// every process that loads the store: on x86-64 that is half a MiB of mapped
// pages, a fifth of the tool's peak memory.  Hidden, like everything but the
// four operations (exports.map), so no other library's fmod is replaced.
#include "remainder.h"

extern "C" double fmod(double x, double y) {
    return xml_store::truncated_remainder(x, y);
}
