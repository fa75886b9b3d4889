// One configuration file in memory: its bytes as read, the elements parsed
// from them, and the writes made since.  Rendering copies every byte that no
// write touched, so comments, quoting, entity references, indentation and
// line ends survive a save unchanged.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "child_index.h"
#include "source_file.h"
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

// What a save writes: the source's bytes with a splice put in wherever writes
// fell.  A splice's text is made as it is written, so that the rendering of
// thousands of changes holds no second copy of their values.
struct Rendering {
    struct Splice {
        enum class Kind : uint8_t {
            content,           // the element's content
            after_last_child,  // new elements after the element's children
            self_closing,      // "/>" made into an end tag around the content
        };
        size_t begin, end;  // the source's bytes it replaces
        pugi::xml_node_struct *element;
        Kind kind;
    };
    std::vector<Splice> splices;  // in source order
    bool same_as_source = true;   // every splice puts back the bytes it replaces
};

class Document {
  public:
    // Empty unless the file holds one well-formed XML document with a root
    // element and nothing but blanks, comments and processing instructions
    // around it.  The file stays open: a save copies from it what no write
    // touched.
    static std::unique_ptr<Document> open(const std::string &path);
    // The same for an open descriptor, which the document takes.
    static std::unique_ptr<Document> load(int fd);

    WriteResult write(std::string_view entry, std::string_view value);

    // True after a write that changed a value since the last mark_saved().
    bool dirty() const { return dirty_; }
    // True while the file holds the bytes the document was parsed from.
    bool file_holds_source() const { return file_holds_source_; }
    void mark_saved(const Rendering &saved) {
        file_holds_source_ = saved.same_as_source;
        dirty_ = false;
    }

    // The rendering is valid until the next write.  It frees the indexes of
    // crowded elements, which the next write builds again where it looks.
    Rendering render() const;
    // Writes the rendered document to fd; false on any read or write error.
    bool write_rendering(int fd, const Rendering &rendering) const;
    std::string rendered_text(const Rendering &rendering) const;
    // False once someone else wrote or resized the file since it was opened,
    // or it could not be read: a save would then mix two versions.
    bool source_intact() const { return !source_.failed() && source_.unchanged(); }

  private:
    struct Added;
    // Elements created under one element, in document order, found by name.
    // A pointer wide until the first item, as most edits add no element.
    class AddedList {
      public:
        Added *find(std::string_view name) const;
        void add(std::unique_ptr<Added> added);
        bool empty() const { return !items_; }
        const std::vector<std::unique_ptr<Added>> &items() const;

      private:
        struct Items {
            std::vector<std::unique_ptr<Added>> in_order;
            std::unordered_map<std::string_view, Added *> by_name;  // the first of each name
        };
        std::unique_ptr<Items> items_;
    };
    // An element that a write created; it exists only here until rendered.
    struct Added {
        std::string name;
        std::string value;
        AddedList children;
    };
    // The writes that fall on one parsed element.
    struct Edit {
        bool has_value = false;
        std::string value;
        AddedList added;
    };

    Document() : map_(source_) {}
    bool parse();
    void learn_layout(std::string_view bytes);
    bool is_whole() const;
    const ChildIndex *index_of(pugi::xml_node parent) const;
    pugi::xml_node find_element(pugi::xml_node parent, std::string_view name) const;
    // True when the element holds text other than blanks, written or parsed.
    bool holds_text(pugi::xml_node element) const;
    std::string text_of(pugi::xml_node element) const;
    bool text_equals(pugi::xml_node element, std::string_view value) const;
    const Edit *edit_of(pugi::xml_node element) const;
    Rendering::Splice place(pugi::xml_node element, const Edit &edit) const;
    // The text of a splice, into text.
    void splice_text(const Rendering::Splice &splice, std::string &text) const;
    // The rendered document in order: each untouched range of the source to
    // copy(from, to), each splice's text to put(text).
    template <typename Copy, typename Put>
    void emit(const Rendering &rendering, Copy copy, Put put) const;
    void render_added(std::string &out, const Added &added, const std::string &indent,
                      bool block) const;

    SourceFile source_;
    std::unique_ptr<char[]> parsed_;  // the parser's copy, changed in place
    pugi::xml_document dom_;
    SourceMap map_;
    std::string line_end_;
    std::string indent_unit_;
    std::unordered_map<pugi::xml_node_struct *, Edit> edits_;
    // Made on the first lookup among an element's children; nothing for an
    // element with few.
    mutable std::unordered_map<pugi::xml_node_struct *, std::optional<ChildIndex>> child_index_;
    mutable std::vector<ChildIndex::Child> children_;  // for building an index
    std::vector<std::string_view> parts_;              // of the entry path being written
    bool dirty_ = false;
    bool file_holds_source_ = true;
};

}  // namespace xml_store
