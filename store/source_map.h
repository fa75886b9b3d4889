// Where each parsed node lies in the bytes it was parsed from, so that a save
// can copy everything it did not change byte for byte.
#pragma once

#include <pugixml.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "source_file.h"

namespace xml_store {

// Byte positions of one element in the source.
struct ElementSpan {
    size_t begin;          // its '<'
    size_t tag_close;      // the '>' of its start tag
    bool self_closing;     // written as <name/> or <name .../>
    size_t content_begin;  // just after the start tag
    size_t content_end;    // the "</" of its end tag; content_begin when self-closing
};

// Valid for a document parsed from exactly the source's bytes and never
// modified.
class SourceMap {
  public:
    explicit SourceMap(const SourceFile &source) : src_(source) {}

    size_t begin(pugi::xml_node node) const;
    // Just past the node's last byte, its end tag included.
    size_t end(pugi::xml_node node) const;
    ElementSpan element(pugi::xml_node element) const;

    // The blanks and line ends directly before pos.
    std::string whitespace_before(size_t pos) const;
    // The blanks before pos when pos starts a line, else nothing.
    std::optional<std::string> indentation_at(size_t pos) const;
    bool is_whitespace(size_t from, size_t to) const;

  private:
    size_t offset(pugi::xml_node node) const { return static_cast<size_t>(node.offset_debug()); }
    size_t start_tag_close(pugi::xml_node element) const;
    size_t skip_whitespace(size_t pos) const;
    size_t text_end(size_t pos) const;
    size_t find(std::string_view what, size_t from) const;
    size_t leaf_end(pugi::xml_node node) const;

    const SourceFile &src_;
};

}  // namespace xml_store
