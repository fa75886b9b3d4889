// Replacing a file so that a power cut leaves either the old or the new
// content, never a mix.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace xml_store {

// Reads the whole regular file at path.  False when it cannot be opened, is
// not a regular file, or a read fails.
bool read_regular_file(const std::string &path, std::string &content);

// Replaces the content of the file at path.  A symbolic link is followed and
// stays a link.  The new content goes into a temporary file beside the target,
// is flushed, takes the target's mode (and owner, when run as root), and is
// renamed over the target; then the folder is flushed.  On failure the target
// is as it was and no temporary file is left.
// The content is the pieces one after the other.
bool replace_file(const std::string &path, const std::vector<std::string_view> &content);

}  // namespace xml_store
