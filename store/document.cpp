#include "document.h"

#include <algorithm>
#include <cctype>
#include <new>

#include "entry_path.h"
#include "text.h"

namespace xml_store {
namespace {

// Comments, processing instructions and DOCTYPE become nodes so that every
// byte of the file belongs to a node or lies between nodes.  A lone blank
// text is kept: it is an element's value.  Text that starts an element is
// kept in the element itself, which halves the nodes of a settings file.
constexpr unsigned kParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_eol |
                                 pugi::parse_comments | pugi::parse_pi | pugi::parse_declaration |
                                 pugi::parse_doctype | pugi::parse_ws_pcdata_single |
                                 pugi::parse_embed_pcdata;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool is_element(pugi::xml_node node) {
    return node.type() == pugi::node_element;
}

// The last child that the file holds and that is not blank text.
pugi::xml_node last_markup_child(pugi::xml_node element) {
    pugi::xml_node last = SourceMap::last_parsed_child(element);
    while (last.type() == pugi::node_pcdata && !has_text(last.value()))
        last = last.previous_sibling();
    return last;
}

bool is_text(pugi::xml_node node) {
    return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The text of a parsed element as the parser decoded it.
std::string parsed_text(pugi::xml_node element) {
    std::string text = element.value();
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling())
        if (is_text(child)) text += child.value();
    return text;
}

// Whether a parsed element holds text, without a copy of it.
bool has_parsed_text(pugi::xml_node element) {
    return has_text(element.value()) || element.find_child([](pugi::xml_node child) {
        return is_text(child) && has_text(child.value());
    });
}

// Lookups in one element before the next builds its table.  Measured with
// callgrind on the benchmark (50,000 settings, 1,000 writes to each of the
// three files), the instructions of all writes with 1, 2 and 4 scans first:
// 25.4, 19.1 and 14.6 million in sections of 100, 50.4, 53.3 and 58.3
// million in sections of 2,500.  A scan costs pugixml's loop, about half
// the children; a build about 250 instructions a child (pugixml's calls,
// the name's length and hash, placing it, the table's growth).
constexpr unsigned kScansBeforeTable = 2;

}  // namespace

std::unique_ptr<Document> Document::open(const char *path) {
    std::unique_ptr<Document> doc(new Document);
    if (!doc->file_.open(path) || !doc->parse()) return nullptr;
    return doc;
}

// Read byte by byte as if it were UTF-8, which reads every encoding the
// store takes right (Encoding's constructor says which).  UTF-16 and UTF-32
// need no test of their own: a byte order mark or a NUL beside each byte of
// ASCII, read so, make no whole document.  The parser does not check that
// the bytes are characters of the encoding: the store does, where the C
// library knows it.  Other faults the parser does not see are taken, as the
// README lists them: finding them would take a second parse.
bool Document::parse() {
    const std::string &bytes = file_.bytes();
    if (!dom_.load_buffer(bytes.data(), bytes.size(), kParseFlags, pugi::encoding_utf8) ||
        !is_whole())
        return false;
    // A whole document holds a declaration at its start alone.  The parser
    // takes "<?XML" in any letter case for one, which XML does not: such a
    // file has none, and is UTF-8.  It expands references in the values,
    // where XML allows none: "&#73;SO-8859-1" names no encoding.
    const pugi::xml_node declaration = dom_.first_child();
    const SourceMap map = source_map();
    if (declaration.type() == pugi::node_declaration &&
        bytes.compare(map.begin(declaration), 5, "<?xml") == 0) {
        if (bytes.find('&', map.begin(declaration)) < map.end(declaration)) return false;
        if (const pugi::xml_attribute declared = declaration.attribute("encoding"))
            encoding_ = Encoding(declared.value());
    }
    if (!encoding_.ascii_compatible() || !encoding_.holds_only_characters(bytes)) return false;
    learn_layout();
    return true;
}

// New elements take the file's line ends, and new nesting levels are
// indented like the file's first indented line.
void Document::learn_layout() {
    const std::string_view bytes = file_.bytes();
    const size_t lf = bytes.find('\n');
    line_end_ = lf != std::string::npos && lf > 0 && bytes[lf - 1] == '\r' ? "\r\n" : "\n";
    indent_unit_ = "\t";
    for (size_t at = lf; at != std::string::npos; at = bytes.find('\n', at + 1)) {
        const char c = at + 1 < bytes.size() ? bytes[at + 1] : '\0';
        if (c != ' ' && c != '\t') continue;
        const size_t run = bytes.find_first_not_of(c, at + 1);
        indent_unit_.assign((run == std::string::npos ? bytes.size() : run) - at - 1, c);
        break;
    }
}

// The parser accepts several root elements, an XML declaration after other
// nodes, a DOCTYPE after the root or twice, and drops stray text around the
// root; each means the file is not one whole document.
bool Document::is_whole() const {
    const std::string_view bytes = file_.bytes();
    const SourceMap map = source_map();
    size_t pos =
        bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark ? kByteOrderMark.size() : 0;
    const size_t start = pos;
    int roots = 0, doctypes = 0;
    for (pugi::xml_node node = dom_.first_child(); node; node = node.next_sibling()) {
        if (is_element(node)) ++roots;
        const size_t begin = map.begin(node);
        if (node.type() == pugi::node_declaration && begin != start) return false;
        if (node.type() == pugi::node_doctype && (roots > 0 || ++doctypes > 1)) return false;
        if (begin < pos || !map.is_whitespace(pos, begin)) return false;
        pos = map.end(node);
    }
    return roots == 1 && map.is_whitespace(pos, bytes.size());
}

// First match in document order either way: a scan stops at the first, and
// a table keeps the first of each name it is given in that order.
Document::Lookup Document::find_element(pugi::xml_node parent, std::string_view name) {
    ChildIndex &index = indexes_[parent.internal_object()];
    if (index.lookups > kScansBeforeTable) {
        const pugi::xml_node child = index.by_name.find(name);
        return {child, !child && index.holds_text};
    }
    if (++index.lookups > kScansBeforeTable) return build_index(parent, index, name);
    name_.assign(name);
    pugi::xml_node child = parent.child(name_.c_str());
    // A processing instruction is named too: past one, elements only.
    while (child && !is_element(child)) child = child.next_sibling(name_.c_str());
    return {child, !child && has_parsed_text(parent)};
}

// The walk that builds the table is also this lookup's: no second one.
Document::Lookup Document::build_index(pugi::xml_node parent, ChildIndex &index,
                                       std::string_view name) {
    bool text = has_text(parent.value());
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling()) {
        if (is_element(child))
            index.by_name.insert(child);
        else if (!text && is_text(child))
            text = has_text(child.value());
    }
    index.holds_text = text;
    const pugi::xml_node child = index.by_name.find(name);
    return {child, !child && text};
}

std::string_view Document::value_of(pugi::xml_node element) const {
    const auto it = values_.find(element.internal_object());
    return it == values_.end() ? std::string_view() : std::string_view(it->second);
}

// The one place that decides whether an element holds text, written or
// parsed (as its lookup found it): a value would wipe its children, a new
// child would be mixed into it.
bool Document::holds_text(pugi::xml_node element, bool parsed_holds_text) const {
    const auto it = values_.find(element.internal_object());
    if (it != values_.end()) return has_text(it->second);
    return SourceMap::is_parsed(element) && parsed_holds_text;
}

// value is UTF-8; so is what the element is compared by, unless its text
// can only be compared as the file spells it.
bool Document::text_equals(pugi::xml_node element, std::string_view value) const {
    const auto written = values_.find(element.internal_object());
    if (written != values_.end()) return written->second == value;
    return parsed_text_equals(element, value);
}

// The same, for the text the element was parsed with, whatever was written.
bool Document::parsed_text_equals(pugi::xml_node element, std::string_view value) const {
    if (!SourceMap::is_parsed(element)) return value.empty();
    // Most settings: all their text kept in the element, no reference in it
    // and UTF-8 already; compared where it lies.
    if (!element.first_child()) {
        const std::string_view held = element.value();
        if (held.find('&') == std::string_view::npos && encoding_.reads_as_utf8(held))
            return held == value;
    }
    if (const std::optional<std::string> held = parsed_utf8(element)) return *held == value;
    const ElementSpan span = source_map().element(element);
    return file_text(value) ==
           file_.bytes().substr(span.content_begin, span.content_end - span.content_begin);
}

// A parsed element's text in UTF-8, or nothing when only the file's own
// spelling can tell: an entity that the DOCTYPE declares, which the parser
// leaves as written, or bytes its encoding does not hold.
std::optional<std::string> Document::parsed_utf8(pugi::xml_node element) const {
    // Decoded text holds '&' only from "&amp;" or an entity left as written.
    // The parser keeps a blank text only as an element's sole child: beside
    // a comment, CDATA or a processing instruction, blanks of the element's
    // text are missing from the tree.
    std::string text = parsed_text(element);
    const bool whole = !element.first_child();
    if (whole && text.find('&') == std::string::npos && encoding_.reads_as_utf8(text)) return text;
    const ElementSpan span = source_map().element(element);
    const std::string_view raw =
        std::string_view(file_.bytes())
            .substr(span.content_begin, span.content_end - span.content_begin);
    if (refers_to_declared_entity(raw)) return std::nullopt;
    const bool utf8_bytes = encoding_.reads_as_utf8(raw);
    if (whole && utf8_bytes) return text;
    // Take the text again, blanks kept, from the file's bytes converted whole
    // before their references are read (the parser wrote references as
    // UTF-8 among bytes of the file's own encoding).
    const std::optional<std::string> utf8 =
        utf8_bytes ? std::optional<std::string>(raw) : encoding_.to_utf8(raw);
    if (!utf8) return std::nullopt;
    pugi::xml_document fragment;
    const std::string wrapped = "<x>" + *utf8 + "</x>";
    if (!fragment.load_buffer(wrapped.data(), wrapped.size(),
                              (kParseFlags & ~pugi::parse_ws_pcdata_single) | pugi::parse_ws_pcdata,
                              pugi::encoding_utf8))
        return std::nullopt;
    return parsed_text(fragment.document_element());
}

// What value, in UTF-8, is as the file's text: escaped, in its encoding, with
// a reference for each character the encoding lacks.
std::string Document::file_text(std::string_view value) const {
    std::string escaped;
    append_escaped(escaped, value);
    return encoding_.is_utf8() ? escaped : encoding_.from_utf8(escaped).value();
}

// The bytes a write was handed, as UTF-8: UTF-8 as they are, else, in a
// document of another encoding, bytes valid there, converted.
std::optional<std::string_view> Document::as_utf8(std::string_view bytes,
                                                  std::string &converted) const {
    if (is_utf8(bytes)) return bytes;
    if (encoding_.is_utf8()) return std::nullopt;
    std::optional<std::string> utf8 = encoding_.to_utf8(bytes);
    if (!utf8) return std::nullopt;
    converted = std::move(*utf8);
    return std::string_view(converted);
}

// The entry path as the document spells it, in spelled when that is not
// path itself; nothing when its encoding cannot spell a name (a name holds
// no references), or spells it with a byte below 0x80 that ends a name for
// the parser (a second byte '\\' or '|' in Shift_JIS or Big5): the saved
// file would not open.  Each name is converted alone, and a '.' among its
// bytes would split it.
std::optional<std::string_view> Document::in_document_encoding(std::string_view path,
                                                               std::string &spelled) const {
    if (encoding_.is_utf8()) return path;
    const auto ends_a_name = [](char c) {
        return static_cast<unsigned char>(c) < 0x80 &&
               !std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ':' && c != '-';
    };
    while (!path.empty()) {
        const std::optional<std::string> name =
            encoding_.from_utf8(take_component(path), Encoding::Missing::refuse);
        if (!name || std::any_of(name->begin(), name->end(), ends_a_name)) return std::nullopt;
        spelled.append(*name).append(path.empty() ? "" : ".");
    }
    return std::string_view(spelled);
}

WriteResult Document::write(std::string_view entry, std::string_view value) {
    try {
        return change(entry, value);
    } catch (...) {
        // Whatever the update meant for this file, it is not all here: a save
        // must not make it look done.
        failed_ = true;
        return WriteResult::failed;
    }
}

WriteResult Document::change(std::string_view entry_bytes, std::string_view value_bytes) {
    std::string converted_entry, spelled_entry, converted_value;
    const std::optional<std::string_view> entry = as_utf8(entry_bytes, converted_entry);
    const std::optional<std::string_view> path =
        entry && is_entry_path(*entry) ? in_document_encoding(*entry, spelled_entry) : std::nullopt;
    if (!path) return WriteResult::bad_path;
    const std::optional<std::string_view> utf8 = as_utf8(value_bytes, converted_value);
    if (!utf8 || !is_storable_value(*utf8)) return WriteResult::bad_value;
    const std::string_view value = *utf8;
    pugi::xml_node element = dom_.document_element();
    std::string_view rest = *path;
    if (take_component(rest) != element.name()) return WriteResult::wrong_root;
    while (!rest.empty()) {
        const std::string_view names = rest;
        const Lookup found = find_element(element, take_component(rest));
        if (!found.child) return add_elements(element, found.parent_holds_text, names, value);
        element = found.child;
    }
    if (element.find_child(is_element)) return WriteResult::has_children;
    if (text_equals(element, value)) return WriteResult::unchanged;
    // Written back to its parsed text, an element is spliced as parsed again:
    // its comments, references and self-closing form stay, and a save that
    // has nothing else to do leaves the file alone.
    const auto written = values_.find(element.internal_object());
    if (written != values_.end() && SourceMap::is_parsed(element) &&
        parsed_text_equals(element, value)) {
        values_.erase(written);
        dirty_ = true;
        return WriteResult::written;
    }

    std::string copy(value);
    values_[element.internal_object()] = std::move(copy);
    dirty_ = true;
    return WriteResult::written;
}

// Creates the chain of elements names (a path's components) under parent,
// the last holding value.
WriteResult Document::add_elements(pugi::xml_node parent, bool parsed_holds_text,
                                   std::string_view names, std::string_view value) {
    if (holds_text(parent, parsed_holds_text)) return WriteResult::parent_has_value;
    // Until the end, a failure takes out everything added.
    struct Undo {
        Document &doc;
        pugi::xml_node parent, top, leaf;
        void note_leaf(pugi::xml_node last) { leaf = last; }
        void keep() { top = {}; }
        ~Undo() {
            if (!top) return;
            doc.values_.erase(leaf.internal_object());
            doc.indexes_.erase(parent.internal_object());
            parent.remove_child(top);
        }
    } undo{*this, parent, {}, {}};
    std::string copy(value);
    pugi::xml_node node = parent;
    while (!names.empty()) {
        node = node.append_child(pugi::node_element);
        if (!undo.top) undo.top = node;
        if (!node || !node.set_name(std::string(take_component(names)).c_str()))
            throw std::bad_alloc();
    }
    undo.note_leaf(node);
    values_[node.internal_object()] = std::move(copy);
    const auto indexed = indexes_.find(parent.internal_object());
    if (indexed != indexes_.end() && indexed->second.lookups > kScansBeforeTable)
        indexed.value().by_name.insert(undo.top);
    undo.keep();
    dirty_ = true;
    return WriteResult::written;
}

bool Document::save() {
    if (failed_) return false;
    if (!dirty_) return true;
    try {
        const std::vector<Splice> splices = plan();
        // Flash wears with every write: a file whose bytes would not change
        // is left alone.
        bool same_as_source = true;
        std::string text;
        for (const Splice &splice : splices) {
            splice_text(splice, text);
            same_as_source = text == file_.bytes().substr(splice.begin, splice.end - splice.begin);
            if (!same_as_source) break;
        }
        if (!(same_as_source && file_holds_source_)) {
            // What the file holds after a failed replace is not known here.
            file_holds_source_ = false;
            if (!file_.replace([&](FILE *out) { return emit(splices, out); })) return false;
        }
        file_holds_source_ = same_as_source;
        dirty_ = false;
        return true;
    } catch (...) {
        return false;
    }
}

std::vector<Document::Splice> Document::plan() const {
    // A save rewrites each parsed element given a value, and each one that
    // new elements, the written ones and those above them, hang from.
    std::vector<pugi::xml_node_struct *> rewritten;
    rewritten.reserve(values_.size());
    for (const auto &written : values_) {
        pugi::xml_node element(written.first);
        while (!SourceMap::is_parsed(element)) element = element.parent();
        rewritten.push_back(element.internal_object());
    }
    std::sort(rewritten.begin(), rewritten.end());
    rewritten.erase(std::unique(rewritten.begin(), rewritten.end()), rewritten.end());

    const SourceMap map = source_map();
    std::vector<Splice> splices;
    splices.reserve(rewritten.size());
    for (pugi::xml_node_struct *node : rewritten) {
        const pugi::xml_node element(node);
        const bool valued = values_.count(node) != 0;
        // New elements go after the last child that is not blank text, before
        // the blanks that close the element, whether the file spells them
        // as such or as references.  With no such child, they take the place
        // of the element's content.
        if (const pugi::xml_node anchor = last_markup_child(element); !valued && anchor) {
            const size_t at = map.end(anchor);
            splices.push_back({at, at, element, Splice::Kind::after_last_child});
            continue;
        }
        const ElementSpan span = map.element(element);
        if (span.self_closing)
            splices.push_back(
                {span.content_begin - 2, span.content_begin, element, Splice::Kind::self_closing});
        else
            splices.push_back(
                {span.content_begin, span.content_end, element, Splice::Kind::content});
    }
    std::sort(splices.begin(), splices.end(),
              [](const Splice &a, const Splice &b) { return a.begin < b.begin; });
    return splices;
}

// Writes top, a new element, and everything below it; each level one
// indent_unit_ deeper when block, else all on one line.  A loop, not a
// recursion, like every walk whose depth a write decides.
void Document::render_new(std::string &out, pugi::xml_node top, std::string indent,
                          bool block) const {
    pugi::xml_node node = top;
    for (;;) {
        out.append("<").append(node.name()).append(">");
        if (const pugi::xml_node child = node.first_child()) {
            indent += indent_unit_;
            if (block) out.append(line_end_).append(indent);
            node = child;
            continue;
        }
        out += file_text(value_of(node));
        for (;;) {
            out.append("</").append(node.name()).append(">");
            if (node == top) return;
            if (const pugi::xml_node next = node.next_sibling()) {
                if (block) out.append(line_end_).append(indent);
                node = next;
                break;
            }
            node = node.parent();
            indent.resize(indent.size() - indent_unit_.size());
            if (block) out.append(line_end_).append(indent);
        }
    }
}

void Document::splice_text(const Splice &splice, std::string &text) const {
    const pugi::xml_node element = splice.element;
    pugi::xml_node added = SourceMap::last_parsed_child(element);
    added = added ? added.next_sibling() : element.first_child();
    text.clear();
    const SourceMap map = source_map();

    if (splice.kind == Splice::Kind::after_last_child) {
        // New elements follow the last child, laid out like it.
        const std::string_view gap = map.whitespace_before(map.begin(last_markup_child(element)));
        const size_t lf = gap.rfind('\n');
        const bool block = lf != std::string_view::npos;
        const std::string indent(block ? gap.substr(lf + 1) : std::string_view());
        for (; added; added = added.next_sibling()) {
            text.append(block ? line_end_ : std::string(gap)).append(block ? indent : "");
            render_new(text, added, indent, block);
        }
        return;
    }

    const bool self_closing = splice.kind == Splice::Kind::self_closing;
    if (self_closing) text += '>';
    if (!added) {
        text += file_text(value_of(element));
    } else {
        // The first children of an element: one level deeper than it, or on
        // its line when it shares a line with other markup.
        const std::optional<std::string_view> outer = map.indentation_at(map.begin(element));
        const std::string indent = outer ? std::string(*outer) + indent_unit_ : std::string();
        for (; added; added = added.next_sibling()) {
            if (outer) text.append(line_end_).append(indent);
            render_new(text, added, indent, outer.has_value());
        }
        if (outer) text.append(line_end_).append(*outer);
    }
    if (self_closing) text.append("</").append(element.name()).append(">");
}

bool Document::emit(const std::vector<Splice> &splices, FILE *out) const {
    const std::string &source = file_.bytes();
    size_t pos = 0;
    std::string text;
    for (const Splice &splice : splices) {
        std::fwrite(source.data() + pos, 1, splice.begin - pos, out);
        splice_text(splice, text);
        std::fwrite(text.data(), 1, text.size(), out);
        pos = splice.end;
    }
    std::fwrite(source.data() + pos, 1, source.size() - pos, out);
    return !std::ferror(out);
}

}  // namespace xml_store
