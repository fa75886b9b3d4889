#include "expat_view.h"

#include <expat.h>
#include <iconv.h>

#include <map>
#include <regex>

namespace testing_support {
namespace {

struct Builder {
    XML_Parser parser;
    ExpatView *view;
    std::vector<size_t> open;                       // indexes into view->elements
    std::vector<std::map<std::string, int>> named;  // per open element: names seen inside
};

void on_start(void *data, const XML_Char *name, const XML_Char **attributes) {
    auto &b = *static_cast<Builder *>(data);
    ExpatElement element;
    element.name = name;
    if (b.open.empty()) {
        element.path = name;
    } else {
        ExpatElement &parent = b.view->elements[b.open.back()];
        ++parent.children;
        const int seen = b.named.back()[name]++;
        element.path = parent.path + "." + name + (seen ? "#" + std::to_string(seen) : "");
    }
    for (const XML_Char **a = attributes; *a; a += 2) element.attributes.emplace_back(a[0], a[1]);
    element.begin = static_cast<size_t>(XML_GetCurrentByteIndex(b.parser));
    element.tag_end = element.begin + static_cast<size_t>(XML_GetCurrentByteCount(b.parser));
    b.view->elements.push_back(element);
    b.open.push_back(b.view->elements.size() - 1);
    b.named.emplace_back();
}

void on_end(void *data, const XML_Char *) {
    auto &b = *static_cast<Builder *>(data);
    ExpatElement &element = b.view->elements[b.open.back()];
    const auto count = static_cast<size_t>(XML_GetCurrentByteCount(b.parser));
    element.self_closing = count == 0;
    element.content_end = element.self_closing
                              ? element.tag_end
                              : static_cast<size_t>(XML_GetCurrentByteIndex(b.parser));
    element.end = element.content_end + count;
    b.open.pop_back();
    b.named.pop_back();
}

void on_text(void *data, const XML_Char *text, int length) {
    auto &b = *static_cast<Builder *>(data);
    if (!b.open.empty()) b.view->elements[b.open.back()].text.append(text, length);
}

}  // namespace

bool transcode(const std::string &bytes, const std::string &from, const std::string &to,
               std::string &out) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.assign(bytes.size() * 4 + 16, '\0');
    char *in = const_cast<char *>(bytes.data()), *at = out.data();
    size_t left = bytes.size(), room = out.size();
    const bool whole = iconv(cd, &in, &left, &at, &room) != static_cast<size_t>(-1) &&
                       iconv(cd, nullptr, nullptr, &at, &room) != static_cast<size_t>(-1);
    iconv_close(cd);
    out.resize(out.size() - room);
    return whole;
}

std::string encoding_declared_in(const std::string &bytes) {
    static const std::regex declaration(
        "^(\xEF\xBB\xBF)?<\\?xml[ \t\r\n][^?]*encoding[ \t\r\n]*=[ "
        "\t\r\n]*[\"']([A-Za-z0-9._-]+)[\"']");
    std::smatch match;
    const std::string head = bytes.substr(0, 200);
    return std::regex_search(head, match, declaration) ? match[2].str() : "UTF-8";
}

const ExpatElement *ExpatView::find(const std::string &path) const {
    for (const ExpatElement &element : elements)
        if (element.path == path) return &element;
    return nullptr;
}

ExpatView parse_with_expat(const std::string &bytes) {
    ExpatView view;
    const std::string encoding = encoding_declared_in(bytes);
    const bool utf16 = bytes.size() >= 2 && (bytes.compare(0, 2, "\xFF\xFE") == 0 ||
                                             bytes.compare(0, 2, "\xFE\xFF") == 0);
    if (utf16 || encoding == "UTF-8" || encoding == "utf-8") {
        view.utf8 = bytes;
    } else if (!transcode(bytes, encoding, "UTF-8", view.utf8)) {
        view.error = "not " + encoding;
        return view;
    }
    // The declaration names the bytes' encoding, not that of view.utf8.
    XML_Parser parser = XML_ParserCreate(utf16 ? nullptr : "UTF-8");
    Builder builder{parser, &view, {}, {}};
    XML_SetUserData(parser, &builder);
    XML_SetElementHandler(parser, on_start, on_end);
    XML_SetCharacterDataHandler(parser, on_text);
    view.well_formed = XML_Parse(parser, view.utf8.data(), static_cast<int>(view.utf8.size()),
                                 XML_TRUE) == XML_STATUS_OK;
    if (!view.well_formed)
        view.error = std::string(XML_ErrorString(XML_GetErrorCode(parser))) + " at line " +
                     std::to_string(XML_GetCurrentLineNumber(parser));
    XML_ParserFree(parser);
    return view;
}

std::string expat_text(const std::string &bytes, const std::string &path) {
    const ExpatView view = parse_with_expat(bytes);
    if (!view.well_formed) return "<not well-formed: " + view.error + ">";
    const ExpatElement *element = view.find(path);
    return element ? element->text : "<no " + path + ">";
}

}  // namespace testing_support
