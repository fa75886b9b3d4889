// The child elements of one crowded element, found by name.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <string_view>
#include <vector>

namespace xml_store {

// Node pointers in open addressing (linear probing), each slot with the
// hash of its node's name: two arrays for all children, no allocation a
// child, 12 bytes a slot on a 64-bit target, names compared only where the
// hashes match, and growth that never reads a name again.  The sorted list
// it replaces compared names in a sort.  A tsl::robin_set of the same
// pointers, tried first, cost about as much a child (164 instructions
// against about 210 here with growth, measured with different hashes): the
// time goes to pugixml's calls and to reading names, not to the table.
class ChildTable {
  public:
    // Keeps the first node of a name: children added in document order
    // make every lookup the first match.
    void insert(pugi::xml_node node);
    pugi::xml_node find(std::string_view name) const;

  private:
    void grow();

    std::vector<pugi::xml_node_struct *> nodes_;  // nullptr: a free slot
    std::vector<uint32_t> hashes_;
    size_t used_ = 0;
};

}  // namespace xml_store
