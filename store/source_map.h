// Where each parsed node lies in the bytes it was parsed from, so that a save
// can copy everything it did not change byte for byte.
#pragma once

#include <pugixml.hpp>

#include <cstddef>
#include <optional>
#include <string_view>

namespace xml_store {

// Byte positions of one element in the source.
struct ElementSpan {
    bool self_closing;     // written as <name/> or <name .../>
    size_t content_begin;  // just after the start tag's ">" (or "/>")
    size_t content_end;    // the "</" of its end tag; content_begin when self-closing
};

// Valid for nodes parsed from exactly these bytes.  Elements added to the
// tree since are passed over: they have no place in the source.
class SourceMap {
  public:
    static bool is_parsed(pugi::xml_node node) { return node.offset_debug() >= 0; }
    static pugi::xml_node last_parsed_child(pugi::xml_node node);

    explicit SourceMap(std::string_view source) : src_(source) {}

    size_t begin(pugi::xml_node node) const;
    // Just past the node's last byte, its end tag included.
    size_t end(pugi::xml_node node) const;
    ElementSpan element(pugi::xml_node element) const;

    // The blanks and line ends directly before pos.
    std::string_view whitespace_before(size_t pos) const;
    // The blanks before pos when pos starts a line, else nothing.
    std::optional<std::string_view> indentation_at(size_t pos) const;
    bool is_whitespace(size_t from, size_t to) const;

  private:
    size_t start_tag_close(pugi::xml_node element) const;
    size_t skip_whitespace(size_t pos) const;
    size_t find(std::string_view what, size_t from) const;
    size_t leaf_end(pugi::xml_node node) const;

    std::string_view src_;
};

}  // namespace xml_store
