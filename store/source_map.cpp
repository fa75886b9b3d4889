#include "source_map.h"

#include <cstring>

namespace xml_store {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

size_t offset(pugi::xml_node node) {
    return static_cast<size_t>(node.offset_debug());
}

}  // namespace

pugi::xml_node SourceMap::last_parsed_child(pugi::xml_node node) {
    pugi::xml_node last = node.last_child();
    while (last && !is_parsed(last)) last = last.previous_sibling();
    return last;
}

size_t SourceMap::find(std::string_view what, size_t from) const {
    const size_t at = src_.find(what, from);
    return at == std::string_view::npos ? src_.size() : at;
}

size_t SourceMap::skip_whitespace(size_t pos) const {
    const size_t at = src_.find_first_not_of(kBlanks, pos);
    return at == std::string_view::npos ? src_.size() : at;
}

bool SourceMap::is_whitespace(size_t from, size_t to) const {
    return skip_whitespace(from) >= to;
}

// pugixml reports where a node's name or value starts; the markup that opens
// it stands right before, at a length fixed by the node's kind.  A comment's
// or CDATA's own text may hold '<', so no search back for one would do.
size_t SourceMap::begin(pugi::xml_node node) const {
    const size_t at = offset(node);
    switch (node.type()) {
        case pugi::node_element:
            return at - 1;  // "<"
        case pugi::node_pi:
        case pugi::node_declaration:
            return at - 2;  // "<?"
        case pugi::node_comment:
            return at - 4;  // "<!--"
        case pugi::node_cdata:
            return at - 9;  // "<![CDATA["
        case pugi::node_doctype: {
            // "<!DOCTYPE", then blanks, then the value; no '<' among them.
            const size_t open = src_.rfind('<', at);
            return open == std::string_view::npos ? 0 : open;
        }
        default:
            return at;  // text starts at its first byte
    }
}

// Attribute values may hold '>', so quoted text is skipped; names cannot
// hold quotes.
size_t SourceMap::start_tag_close(pugi::xml_node element) const {
    char quote = 0;
    for (size_t i = offset(element); i < src_.size(); ++i) {
        const char c = src_[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return src_.size();
}

size_t SourceMap::leaf_end(pugi::xml_node node) const {
    const size_t at = offset(node);
    switch (node.type()) {
        case pugi::node_pcdata:
            return find("<", at);
        case pugi::node_cdata:
            return find("]]>", at) + 3;
        case pugi::node_comment:
            return find("-->", at) + 3;
        case pugi::node_pi:
        case pugi::node_declaration:
            return find("?>", at) + 2;
        // The parser keeps a DOCTYPE's text unchanged, internal subset and all.
        case pugi::node_doctype:
            return at + std::strlen(node.value()) + 1;
        default:
            return src_.size();
    }
}

// Walks down the chain of last children, then climbs back over one end tag
// per level: no recursion, however deep the document nests.
size_t SourceMap::end(pugi::xml_node node) const {
    size_t open = 0;
    size_t pos;
    for (;;) {
        if (node.type() != pugi::node_element) {
            pos = leaf_end(node);
            break;
        }
        const size_t close = start_tag_close(node);
        if (close > 0 && close < src_.size() && src_[close - 1] == '/') {
            pos = close + 1;
            break;
        }
        ++open;
        const pugi::xml_node last = last_parsed_child(node);
        if (!last) {
            pos = find("<", close + 1);
            break;
        }
        node = last;
    }
    for (; open > 0 && pos < src_.size(); --open) pos = find(">", skip_whitespace(pos)) + 1;
    return pos > src_.size() ? src_.size() : pos;
}

ElementSpan SourceMap::element(pugi::xml_node element) const {
    ElementSpan span{};
    const size_t close = start_tag_close(element);
    span.self_closing = close > 0 && src_[close - 1] == '/';
    span.content_begin = close + 1;
    if (span.self_closing) {
        span.content_end = span.content_begin;
        return span;
    }
    const pugi::xml_node last = last_parsed_child(element);
    span.content_end = last ? skip_whitespace(end(last)) : find("<", span.content_begin);
    return span;
}

std::string_view SourceMap::whitespace_before(size_t pos) const {
    const size_t last = src_.find_last_not_of(kBlanks, pos == 0 ? 0 : pos - 1);
    const size_t from = pos == 0 || last == std::string_view::npos ? 0 : last + 1;
    return src_.substr(from, pos - from);
}

std::optional<std::string_view> SourceMap::indentation_at(size_t pos) const {
    size_t from = pos;
    while (from > 0 && (src_[from - 1] == ' ' || src_[from - 1] == '\t')) --from;
    if (from > 0 && src_[from - 1] != '\n') return std::nullopt;
    return src_.substr(from, pos - from);
}

}  // namespace xml_store
