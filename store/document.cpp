#include "document.h"

#include <algorithm>

#include "entry_path.h"
#include "output.h"
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

bool is_blank_text(pugi::xml_node node) {
    return node.type() == pugi::node_pcdata && !has_text(node.value());
}

bool has_element_child(pugi::xml_node parent) {
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element) return true;
    return false;
}

}  // namespace

Document::Added *Document::AddedList::find(std::string_view name) const {
    if (!items_) return nullptr;
    const auto it = items_->by_name.find(name);
    return it == items_->by_name.end() ? nullptr : it->second;
}

void Document::AddedList::add(std::unique_ptr<Added> added) {
    if (!items_) items_ = std::make_unique<Items>();
    items_->by_name.emplace(added->name, added.get());
    items_->in_order.push_back(std::move(added));
}

const std::vector<std::unique_ptr<Document::Added>> &Document::AddedList::items() const {
    static const std::vector<std::unique_ptr<Added>> kNone;
    return items_ ? items_->in_order : kNone;
}

std::unique_ptr<Document> Document::open(const std::string &path) {
    std::unique_ptr<Document> doc(new Document);
    if (!doc->source_.open(path) || !doc->parse()) return nullptr;
    return doc;
}

std::unique_ptr<Document> Document::load(int fd) {
    std::unique_ptr<Document> doc(new Document);
    if (!doc->source_.adopt(fd) || !doc->parse()) return nullptr;
    return doc;
}

bool Document::parse() {
    const size_t size = source_.size();
    parsed_.reset(new char[size + 1]);
    if (!source_.read_all(parsed_.get())) return false;
    learn_layout(std::string_view(parsed_.get(), size));
    const pugi::xml_parse_result parsed =
        dom_.load_buffer_inplace(parsed_.get(), size, kParseFlags, pugi::encoding_utf8);
    return parsed && is_whole() && !source_.failed();
}

// New elements take the file's line ends, and new nesting levels are
// indented like the file's first indented line.
void Document::learn_layout(std::string_view bytes) {
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

// The parser accepts several root elements and drops stray text around the
// root; either means the file is not one whole document.
bool Document::is_whole() const {
    size_t pos = source_.holds(0, kByteOrderMark) ? kByteOrderMark.size() : 0;
    int roots = 0;
    for (pugi::xml_node node = dom_.first_child(); node; node = node.next_sibling()) {
        if (node.type() == pugi::node_element) ++roots;
        const size_t begin = map_.begin(node);
        if (begin < pos || !map_.is_whitespace(pos, begin)) return false;
        pos = map_.end(node);
    }
    return roots == 1 && map_.is_whitespace(pos, source_.size());
}

const ChildIndex *Document::index_of(pugi::xml_node parent) const {
    auto cached = child_index_.find(parent.internal_object());
    if (cached == child_index_.end())
        cached =
            child_index_.emplace(parent.internal_object(), ChildIndex::build(parent, children_))
                .first;
    return cached->second ? &*cached->second : nullptr;
}

pugi::xml_node Document::find_element(pugi::xml_node parent, std::string_view name) const {
    if (const ChildIndex *index = index_of(parent)) return index->find(name);
    for (pugi::xml_node child = parent.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_element && name == child.name()) return child;
    return {};
}

bool Document::text_equals(pugi::xml_node element, std::string_view value) const {
    if (const Edit *edit = edit_of(element); edit && edit->has_value) return edit->value == value;
    if (!element.first_child()) return value == element.value();
    return text_of(element) == value;
}

bool Document::holds_text(pugi::xml_node element) const {
    if (const Edit *edit = edit_of(element); edit && edit->has_value) return has_text(edit->value);
    if (const ChildIndex *index = index_of(element)) return index->has_text();
    return has_text(text_of(element));
}

const Document::Edit *Document::edit_of(pugi::xml_node element) const {
    const auto it = edits_.find(element.internal_object());
    return it == edits_.end() ? nullptr : &it->second;
}

std::string Document::text_of(pugi::xml_node element) const {
    if (const Edit *edit = edit_of(element); edit && edit->has_value) return edit->value;
    std::string text = element.value();
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling())
        if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata)
            text += child.value();
    return text;
}

WriteResult Document::write(std::string_view entry, std::string_view value) {
    std::vector<std::string_view> &parts = parts_;
    if (!split_entry_path(entry, parts)) return WriteResult::bad_path;
    if (!is_storable_value(value)) return WriteResult::bad_value;
    pugi::xml_node element = dom_.document_element();
    if (parts.front() != element.name()) return WriteResult::wrong_root;

    // Descend through parsed elements, then through elements added earlier.
    Added *added = nullptr;
    size_t depth = 1;
    for (; depth < parts.size() && !added; ++depth) {
        if (pugi::xml_node child = find_element(element, parts[depth])) {
            element = child;
            continue;
        }
        const Edit *edit = edit_of(element);
        added = edit ? edit->added.find(parts[depth]) : nullptr;
        if (!added) break;
    }
    for (; depth < parts.size() && added; ++depth) {
        Added *child = added->children.find(parts[depth]);
        if (!child) break;
        added = child;
    }

    if (depth < parts.size()) {
        if (added ? has_text(added->value) : holds_text(element))
            return WriteResult::parent_has_value;
        auto chain = std::make_unique<Added>();
        Added *leaf = chain.get();
        leaf->name = parts[depth];
        while (++depth < parts.size()) {
            auto child = std::make_unique<Added>();
            child->name = parts[depth];
            Added *next = child.get();
            leaf->children.add(std::move(child));
            leaf = next;
        }
        leaf->value = value;
        (added ? added->children : edits_[element.internal_object()].added).add(std::move(chain));
        dirty_ = true;
        return WriteResult::written;
    }

    if (added) {
        if (!added->children.empty()) return WriteResult::has_children;
        if (added->value == value) return WriteResult::unchanged;
        added->value = value;
    } else {
        const Edit *edit = edit_of(element);
        if (has_element_child(element) || (edit && !edit->added.empty()))
            return WriteResult::has_children;
        if (text_equals(element, value)) return WriteResult::unchanged;
        Edit &changed = edits_[element.internal_object()];
        changed.has_value = true;
        changed.value = value;
    }
    dirty_ = true;
    return WriteResult::written;
}

void Document::render_added(std::string &out, const Added &added, const std::string &indent,
                            bool block) const {
    out += '<';
    out += added.name;
    out += '>';
    if (added.children.empty()) {
        append_escaped(out, added.value);
    } else {
        const std::string inner = indent + indent_unit_;
        for (const auto &child : added.children.items()) {
            if (block) out += line_end_ + inner;
            render_added(out, *child, inner, block);
        }
        if (block) out += line_end_ + indent;
    }
    out += "</";
    out += added.name;
    out += '>';
}

Rendering::Splice Document::place(pugi::xml_node element, const Edit &edit) const {
    const pugi::xml_node last = element.last_child();
    if (!edit.has_value && last && !is_blank_text(last)) {
        const size_t at = map_.end(last);
        return {at, at, element.internal_object(), Rendering::Splice::Kind::after_last_child};
    }
    const ElementSpan span = map_.element(element);
    if (!span.self_closing)
        return {span.content_begin, span.content_end, element.internal_object(),
                Rendering::Splice::Kind::content};
    return {span.tag_close - 1, span.content_begin, element.internal_object(),
            Rendering::Splice::Kind::self_closing};
}

void Document::splice_text(const Rendering::Splice &splice, std::string &text) const {
    const pugi::xml_node element(splice.element);
    const Edit &edit = *edit_of(element);
    text.clear();

    if (splice.kind == Rendering::Splice::Kind::after_last_child) {
        // New elements follow the last child, laid out like it.
        const std::string gap = map_.whitespace_before(map_.begin(element.last_child()));
        const size_t lf = gap.rfind('\n');
        const bool block = lf != std::string_view::npos;
        const std::string indent(block ? gap.substr(lf + 1) : std::string_view());
        for (const auto &added : edit.added.items()) {
            text += block ? line_end_ + indent : std::string(gap);
            render_added(text, *added, indent, block);
        }
        return;
    }

    const bool self_closing = splice.kind == Rendering::Splice::Kind::self_closing;
    if (self_closing) text += '>';
    if (edit.added.empty()) {
        append_escaped(text, edit.value);
    } else {
        // The first children of an element: one level deeper than it, or on
        // its line when it shares a line with other markup.
        const std::optional<std::string> outer = map_.indentation_at(map_.begin(element));
        const std::string indent = outer ? std::string(*outer) + indent_unit_ : std::string();
        for (const auto &added : edit.added.items()) {
            if (outer) text += line_end_ + indent;
            render_added(text, *added, indent, outer.has_value());
        }
        if (outer) text += line_end_ + std::string(*outer);
    }
    if (self_closing) {
        text += "</";
        text += element.name();
        text += '>';
    }
}

Rendering Document::render() const {
    // A save looks nothing up: the indexes' memory goes to the rendering, and
    // a later write builds again what it needs.
    child_index_.clear();
    children_ = {};

    // In document order, so that the source is read front to back.
    Rendering rendering;
    rendering.splices.reserve(edits_.size());
    for (const auto &entry : edits_) {
        const pugi::xml_node element(entry.first);
        rendering.splices.push_back({static_cast<size_t>(element.offset_debug()), 0, entry.first,
                                     Rendering::Splice::Kind::content});
    }
    const auto by_position = [](const auto &a, const auto &b) { return a.begin < b.begin; };
    std::sort(rendering.splices.begin(), rendering.splices.end(), by_position);

    std::string text;
    for (Rendering::Splice &splice : rendering.splices) {
        const pugi::xml_node element(splice.element);
        splice = place(element, *edit_of(element));
        if (!rendering.same_as_source) continue;  // one changed splice settles it
        splice_text(splice, text);
        rendering.same_as_source =
            text.size() == splice.end - splice.begin && source_.holds(splice.begin, text);
    }
    // An element's new children go after its last child, past the splices
    // of its descendants; without new elements the order is already right.
    if (!std::is_sorted(rendering.splices.begin(), rendering.splices.end(), by_position))
        std::sort(rendering.splices.begin(), rendering.splices.end(), by_position);
    return rendering;
}

template <typename Copy, typename Put>
void Document::emit(const Rendering &rendering, Copy copy, Put put) const {
    size_t pos = 0;
    std::string text;
    for (const Rendering::Splice &splice : rendering.splices) {
        copy(pos, splice.begin);
        splice_text(splice, text);
        put(std::string_view(text));
        pos = splice.end;
    }
    copy(pos, source_.size());
}

bool Document::write_rendering(int fd, const Rendering &rendering) const {
    Output out(fd);
    emit(
        rendering, [&](size_t from, size_t to) { out.append(source_, from, to); },
        [&](std::string_view text) { out.append(text); });
    return out.flush();
}

std::string Document::rendered_text(const Rendering &rendering) const {
    std::string text;
    emit(
        rendering, [&](size_t from, size_t to) { text += source_.read(from, to - from); },
        [&](std::string_view splice) { text += splice; });
    return text;
}

}  // namespace xml_store
