// One configuration file in memory: its bytes as read, the element tree
// parsed from them, and the writes made since.  A save copies every byte that
// no write touched, so comments, quoting, entity references, indentation and
// line ends survive unchanged.  Values are held in UTF-8 and written in the
// encoding the file declares; names in the tree are in that encoding.
#pragma once

#include <pugixml.hpp>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "config_file.h"
#include "encoding.h"
#include "source_map.h"

namespace xml_store {

enum class WriteResult {
    written,
    unchanged,         // the element already holds this value
    bad_path,          // empty, an empty component, not an XML name, or too deep
    wrong_root,        // first component is not the root element's name
    has_children,      // the element holds elements; a value would wipe them
    parent_has_value,  // a new element would be mixed into an element's text
    bad_value,         // not UTF-8, or a character XML cannot hold
    failed,            // no memory or an internal error: nothing changed, and no save follows
};

class Document {
  public:
    // Empty unless the file holds one well-formed XML document with a root
    // element and nothing but blanks, comments and processing instructions
    // around it, in an encoding that spells markup as ASCII does.
    static std::unique_ptr<Document> open(const char *path);

    // Changes nothing unless it returns written.  entry and value are UTF-8
    // or, where the document declares another encoding, bytes valid in it.
    WriteResult write(std::string_view entry, std::string_view value);

    // Writes the document back to the file it was opened from when that
    // changes its bytes.  False when the file is not the one opened or last
    // saved, after a failed write, and on any error.
    bool save();

  private:
    // Where a save puts new text in place of the source's bytes [begin, end).
    struct Splice {
        enum class Kind {
            content,           // the element's content
            after_last_child,  // new elements after the element's children
            self_closing,      // "/>" made into an end tag around the content
        };
        size_t begin, end;
        pugi::xml_node element;
        Kind kind;
    };
    // A crowded element's child elements sorted by name, those of one name
    // in document order: 16 bytes an entry, about a third of what a hash map
    // node and its bucket take; at tens of thousands of settings that is
    // megabytes of heap.
    struct ChildIndex {
        using Entry = std::pair<std::string_view, pugi::xml_node_struct *>;
        std::vector<Entry> by_name;
        bool holds_text = false;
        std::vector<Entry>::iterator first_of(std::string_view name);
    };

    Document() : map_({}) {}
    bool parse();
    void learn_layout();
    bool is_whole() const;

    WriteResult change(std::string_view entry, std::string_view value);
    WriteResult add_elements(pugi::xml_node parent, std::string_view value);
    pugi::xml_node find_element(pugi::xml_node parent, std::string_view name);
    std::optional<std::string_view> as_utf8(std::string_view bytes, std::string &converted) const;
    bool in_document_encoding();
    bool holds_text(pugi::xml_node element) const;
    bool text_equals(pugi::xml_node element, std::string_view value) const;
    std::optional<std::string> parsed_utf8(pugi::xml_node element) const;
    std::string_view value_of(pugi::xml_node element) const;
    std::string file_text(std::string_view value) const;

    std::vector<Splice> plan() const;
    void splice_text(const Splice &splice, std::string &text) const;
    void render_new(std::string &out, pugi::xml_node top, std::string indent, bool block) const;
    bool emit(const std::vector<Splice> &splices, FILE *out) const;

    ConfigFile file_;
    pugi::xml_document dom_;
    SourceMap map_;
    std::optional<Encoding> encoding_;
    std::string line_end_;
    std::string indent_unit_;
    // Written values, of parsed and of new elements.
    std::unordered_map<pugi::xml_node_struct *, std::string> values_;
    // Parsed elements a save rewrites: given a value or new children.
    std::unordered_set<pugi::xml_node_struct *> touched_;
    // Built on the first lookup among a crowded element's children.
    std::unordered_map<pugi::xml_node_struct *, ChildIndex> indexes_;
    std::vector<std::string_view> parts_;  // of the entry path being written
    std::vector<std::string> names_;       // those parts in the document's encoding
    bool dirty_ = false;                   // a value changed since the last save
    bool file_holds_source_ = true;
    bool failed_ = false;
};

}  // namespace xml_store
