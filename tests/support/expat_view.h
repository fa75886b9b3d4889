// What an independent parser, libexpat, reads from a document's bytes: the
// store's own parser is pugixml, and a check made with the parser that built
// the store's view of a file would share its blind spots.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct ExpatElement {
    // Entry-path style: "DVR_CFG.NET.IP"; a name that is not the first of its
    // name among its siblings carries "#n", n counted from 0.
    std::string path;
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;  // as written, values decoded
    std::string text;     // the character data directly inside, references expanded
    size_t children = 0;  // elements directly inside
    // Offsets into ExpatView::utf8: the start tag from begin to tag_end, the
    // content to content_end, the end tag to end.
    size_t begin = 0, tag_end = 0, content_end = 0, end = 0;
    bool self_closing = false;
};

struct ExpatView {
    bool well_formed = false;
    std::string error;  // expat's message and line, when not well-formed
    // The document in UTF-8: its own bytes, or converted with iconv from the
    // encoding its declaration names, which expat then parses.
    std::string utf8;
    std::vector<ExpatElement> elements;  // in document order

    const ExpatElement *find(const std::string &path) const;
};

ExpatView parse_with_expat(const std::string &bytes);
// The text of the element at path as libexpat reads it from bytes, or a note
// why there is none.
std::string expat_text(const std::string &bytes, const std::string &path);

// The encoding a document's declaration names, read with a regular
// expression; "UTF-8" without one.
// bytes converted from one encoding to another with the C library's iconv;
// false when the conversion is unknown or the bytes are not whole and valid.
bool transcode(const std::string &bytes, const std::string &from, const std::string &to,
               std::string &out);

std::string encoding_declared_in(const std::string &bytes);

}  // namespace testing_support
