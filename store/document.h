// One configuration file in memory: its bytes as read, the elements parsed
// from them, and the writes made since.  Rendering copies every byte that no
// write touched, so comments, quoting, entity references, indentation and
// line ends survive a save unchanged.
#pragma once

#include <pugixml.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "source_map.h"

namespace xml_store {

enum class WriteResult {
    written,
    unchanged,         // the element already holds this value
    bad_path,          // empty, an empty component, or not an XML name
    wrong_root,        // first component is not the root element's name
    has_children,      // the element holds elements; a value would wipe them
    parent_has_value,  // a new element would be mixed into an element's text
    bad_value,         // not UTF-8, or a character XML cannot hold
};

class Document {
  public:
    // Empty unless bytes hold one well-formed XML document with a root element
    // and nothing but blanks, comments and processing instructions around it.
    static std::unique_ptr<Document> parse(std::string bytes);

    WriteResult write(std::string_view entry, std::string_view value);

    // True after a write that changed a value since the last mark_saved().
    bool dirty() const { return dirty_; }
    // The bytes the file holds: as opened, or as last saved.
    const std::string &saved_bytes() const { return saved_.empty() ? source_ : saved_; }
    void mark_saved(std::string bytes) {
        saved_ = std::move(bytes);
        dirty_ = false;
    }

    std::string render() const;

  private:
    // An element that a write created; it exists only here until rendered.
    struct Added {
        std::string name;
        std::string value;
        std::vector<std::unique_ptr<Added>> children;
    };
    // The writes that fall on one parsed element.
    struct Edit {
        bool has_value = false;
        std::string value;
        std::vector<std::unique_ptr<Added>> added;
    };
    struct Splice {
        size_t begin, end;
        std::string text;
    };

    explicit Document(std::string bytes);
    bool is_whole() const;
    std::string text_of(pugi::xml_node element) const;
    const Edit *edit_of(pugi::xml_node element) const;
    Splice splice_for(pugi::xml_node element, const Edit &edit) const;
    void render_added(std::string &out, const Added &added, const std::string &indent,
                      bool block) const;

    std::string source_;
    pugi::xml_document dom_;
    SourceMap map_;
    std::string line_end_;
    std::string indent_unit_;
    std::unordered_map<pugi::xml_node_struct *, Edit> edits_;
    std::string saved_;
    bool dirty_ = false;
};

}  // namespace xml_store
