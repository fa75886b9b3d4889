// The store's bounds, each refused like any other bad input.
#pragma once

#include <cstddef>

namespace xml_store {

// A device's configuration is tens of kilobytes; anything near this is not
// one, and refusing it at open keeps every size within 32 bits on every
// target.
constexpr long long kMaxFileSize = 64LL * 1024 * 1024;

// Components of an entry path, the root's included.  The tool's paths have at
// most 34.  The store's own walks over new elements are loops, but pugixml
// removes a failed write's new elements by recursion, a call a level: the
// bound keeps that shallow enough for a small thread stack.
constexpr size_t kMaxEntryDepth = 128;

}  // namespace xml_store
