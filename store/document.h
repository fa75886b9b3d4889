// One configuration file in memory: its bytes as read, the element tree
// parsed from them, and the writes made since.  A save copies every byte that
// no write touched, so comments, quoting, entity references, indentation and
// line ends survive unchanged.  Values are held in UTF-8 and written in the
// encoding the file declares; names in the tree are in that encoding.
#pragma once

#include <tsl/robin_map.h>
#include <pugixml.hpp>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "child_table.h"
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
    // around it, in an encoding the store takes (Encoding's constructor).
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
    // Node pointers as keys: nodes are eight pointers, 64 bytes apart on a
    // 64-bit target and 32 on a 32-bit one, so the pointer itself would fill
    // one bucket in 64 (or 32) of a table that masks its low bits.  The high
    // bits of its product with an odd constant depend on all the others.
    struct NodeHash {
        size_t operator()(const pugi::xml_node_struct *node) const {
            return static_cast<size_t>(
                reinterpret_cast<uintptr_t>(node) * UINT64_C(0x9E3779B97F4A7C15) >> 16);
        }
    };
    // What the lookups among one element's children have learned: the first
    // few scan (pugixml's own loop, the cheapest walk there is); the next
    // builds a table of them in its walk, once scans have cost about as much.
    struct ChildIndex {
        unsigned lookups = 0;     // past kScansBeforeTable: by_name is built
        bool holds_text = false;  // parsed text in the element, once built
        ChildTable by_name;
    };
    struct Lookup {
        pugi::xml_node child;
        bool parent_holds_text;  // parsed text in the parent; set when no child is found
    };

    Document() = default;
    SourceMap source_map() const { return SourceMap(file_.bytes()); }
    bool parse();
    void learn_layout();
    bool is_whole() const;

    WriteResult change(std::string_view entry, std::string_view value);
    WriteResult add_elements(pugi::xml_node parent, bool parsed_holds_text, std::string_view names,
                             std::string_view value);
    Lookup find_element(pugi::xml_node parent, std::string_view name);
    Lookup build_index(pugi::xml_node parent, ChildIndex &index, std::string_view name);
    std::optional<std::string_view> as_utf8(std::string_view bytes, std::string &converted) const;
    std::optional<std::string_view> in_document_encoding(std::string_view path,
                                                         std::string &spelled) const;
    bool holds_text(pugi::xml_node element, bool parsed_holds_text) const;
    bool text_equals(pugi::xml_node element, std::string_view value) const;
    bool parsed_text_equals(pugi::xml_node element, std::string_view value) const;
    std::optional<std::string> parsed_utf8(pugi::xml_node element) const;
    std::string_view value_of(pugi::xml_node element) const;
    std::string file_text(std::string_view value) const;

    std::vector<Splice> plan() const;
    void splice_text(const Splice &splice, std::string &text) const;
    void render_new(std::string &out, pugi::xml_node top, std::string indent, bool block) const;
    bool emit(const std::vector<Splice> &splices, FILE *out) const;

    ConfigFile file_;
    pugi::xml_document dom_;
    Encoding encoding_;  // UTF-8 until the declaration names another
    std::string line_end_;
    std::string indent_unit_;
    // Written values, of parsed and of new elements: all a save rewrites.
    // Open addressing again: a write's record costs no allocation but its
    // value's own.
    tsl::robin_map<pugi::xml_node_struct *, std::string, NodeHash> values_;
    // Of elements whose children a lookup had to pass over in numbers.
    tsl::robin_map<pugi::xml_node_struct *, ChildIndex, NodeHash> indexes_;
    std::string name_;    // one part of an entry path, ended by a NUL for pugixml
    bool dirty_ = false;  // a value changed since the last save
    bool file_holds_source_ = true;
    bool failed_ = false;
};

}  // namespace xml_store
