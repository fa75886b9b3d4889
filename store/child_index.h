// The first child element of each name of a crowded element, in an open
// addressing hash table: a write costs a lookup along its path, not a scan
// of thousands of siblings.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace xml_store {

class ChildIndex {
  public:
    struct Child {
        pugi::xml_node_struct *node;
        uint32_t hash;
    };
    // Nothing for an element with few child elements, where a scan is cheaper
    // than building a table.  children is room to work in, which the caller
    // keeps from one build to the next.
    static std::optional<ChildIndex> build(pugi::xml_node parent, std::vector<Child> &children);

    pugi::xml_node find(std::string_view name) const;
    // Text beside the children, which a new child would be mixed into.
    bool has_text() const { return has_text_; }

  private:
    std::vector<pugi::xml_node_struct *> slots_;  // a power of two, null when free
    std::vector<uint8_t> tags_;  // a byte of each slot's hash: most mismatches cost no compare
    bool has_text_ = false;
};

}  // namespace xml_store
